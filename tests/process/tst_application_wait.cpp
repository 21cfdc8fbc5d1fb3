// Waiting for the host application: the real platform for every outcome the system can give
// here, and scripted answers for the failures it cannot be made to give.

#include "process/process_control.h"
#include "process_test_support.h"
#include "scripted_platform.h"
#include "test_environment.h"
#include "updater.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTest>

#include <atomic>
#include <cerrno>
#include <thread>

#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace process_control;

namespace {

// The identifier of a process that has ended and been reaped.
long long vanishedProcessId() {
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(0);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return pid;
}

} // namespace

class ApplicationWaitTest : public QObject {
    Q_OBJECT

private slots:
    void productLimitIsTwoMinutes();
    void missingProcessContinuesAtOnce_data();
    void missingProcessContinuesAtOnce();
    void runningProcess_data();
    void runningProcess();
    void processAlreadyEnded();
    void refusedOpenIsAFailure();
    void scriptedOutcomes_data();
    void scriptedOutcomes();
};

void ApplicationWaitTest::productLimitIsTwoMinutes() {
    QCOMPARE(kApplicationWaitLimitMs, 120000UL);

    // The limit that reaches the system's wait, and the seconds that the time-out line states.
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    ScriptedPlatform platform;
    platform.script.wait = {WaitStatus::TimedOut, 258, 0};
    Updater updater;
    QVERIFY(!waitForProcessExit(updater, platform, 4242, kApplicationWaitLimitMs));
    QCOMPARE(platform.record->waits, 1);
    QCOMPARE(platform.record->lastLimitMs, 120000UL);
    QCOMPARE(temp.logMessages(),
             QStringList({waitingLine(4242),
                          QStringLiteral("Timed out waiting for application after 120 seconds.")}));
}

void ApplicationWaitTest::missingProcessContinuesAtOnce_data() {
    QTest::addColumn<long long>("pid");
    QTest::newRow("ended and reaped") << vanishedProcessId();
    QTest::newRow("beyond any process identifier") << 4294967295LL;
    QTest::newRow("just beyond a signed 32-bit identifier") << 2147483648LL;
}

void ApplicationWaitTest::missingProcessContinuesAtOnce() {
    QFETCH(long long, pid);
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    Updater updater;

    // Through the product's own entry, with its full limit: it must not wait at all.
    QElapsedTimer clock;
    clock.start();
    QVERIFY(updater.waitForApplication(pid));
    QVERIFY2(clock.elapsed() < 60000, "no wait for a process that does not exist");
    QCOMPARE(temp.logMessages(),
             QStringList({waitingLine(pid),
                          QStringLiteral("Target process no longer exists. Continuing.")}));
}

void ApplicationWaitTest::runningProcess_data() {
    addRunningProcessRows({QStringLiteral("0.3")}, {QStringLiteral("60")});
}

void ApplicationWaitTest::runningProcess() {
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    verifyWaitOnRunningProcess(temp, QStringLiteral("/bin/sleep"));
}

void ApplicationWaitTest::processAlreadyEnded() {
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    // Ended but not yet reaped: the process can still be opened, and has ended.
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(3);
    siginfo_t info = {};
    QCOMPARE(::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT), 0);
    Updater updater;

    const bool result = waitForProcessExit(updater, systemProcessPlatform(), pid, 30000);
    int status = 0;
    ::waitpid(pid, &status, 0);
    QVERIFY(result);
    QCOMPARE(temp.logMessages(),
             QStringList({waitingLine(pid), QStringLiteral("Target application exited.")}));
}

void ApplicationWaitTest::refusedOpenIsAFailure() {
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    // A thread that is not a process's main thread exists, but cannot be opened as a process.
    std::atomic<pid_t> threadId{0};
    std::atomic<bool> done{false};
    std::thread thread([&] {
        threadId = ::gettid();
        while (!done)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
    while (threadId == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // The kernel's refusal differs between versions (EINVAL, later ENOENT); it is never ESRCH.
    errno = 0;
    QCOMPARE(::syscall(SYS_pidfd_open, pid_t(threadId), 0), -1L);
    const ErrorCode refusal = static_cast<ErrorCode>(errno);
    QVERIFY(refusal != ESRCH && refusal != 0);
    Updater updater;

    const bool result = waitForProcessExit(updater, systemProcessPlatform(), threadId, 30000);
    done = true;
    thread.join();

    QVERIFY(!result);
    QCOMPARE(temp.logMessages(),
             QStringList(
                 {waitingLine(threadId), QStringLiteral("OpenProcess failed: %1")
                                             .arg(systemProcessPlatform().errorMessage(refusal))}));
}

void ApplicationWaitTest::scriptedOutcomes_data() {
    QTest::addColumn<int>("openStatus");
    QTest::addColumn<int>("waitStatus");
    QTest::addColumn<qulonglong>("rawResult");
    QTest::addColumn<qulonglong>("error");
    QTest::addColumn<bool>("expected");
    QTest::addColumn<QString>("lastLine");
    QTest::addColumn<int>("waits");

    const int opened = int(OpenStatus::Opened);
    QTest::newRow("access denied")
        << int(OpenStatus::Failed) << 0 << 0ULL << qulonglong(EACCES) << false
        << QStringLiteral("OpenProcess failed: Permission denied (13)") << 0;
    QTest::newRow("no such process")
        << int(OpenStatus::NoSuchProcess) << 0 << 0ULL << qulonglong(ESRCH) << true
        << QStringLiteral("Target process no longer exists. Continuing.") << 0;
    QTest::newRow("ended") << opened << int(WaitStatus::Ended) << 0ULL << 0ULL << true
                           << QStringLiteral("Target application exited.") << 1;
    QTest::newRow("wait failed")
        << opened << int(WaitStatus::Failed) << 4294967295ULL << qulonglong(EBADF) << false
        << QStringLiteral("WaitForSingleObject failed. Result: 4294967295, Windows error: Bad "
                          "file descriptor (9)")
        << 1;
    QTest::newRow("wait failed without an error code")
        << opened << int(WaitStatus::Failed) << 128ULL << 0ULL << false
        << QStringLiteral("WaitForSingleObject failed. Result: 128, Windows error: ERROR_SUCCESS")
        << 1;
}

void ApplicationWaitTest::scriptedOutcomes() {
    QFETCH(int, openStatus);
    QFETCH(int, waitStatus);
    QFETCH(qulonglong, rawResult);
    QFETCH(qulonglong, error);
    QFETCH(bool, expected);
    QFETCH(QString, lastLine);
    QFETCH(int, waits);
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    ScriptedPlatform platform;
    platform.openStatus = static_cast<OpenStatus>(openStatus);
    platform.error = error;
    platform.script.wait = {static_cast<WaitStatus>(waitStatus), rawResult, error};
    Updater updater;

    QCOMPARE(waitForProcessExit(updater, platform, 77, kApplicationWaitLimitMs), expected);
    QCOMPARE(temp.logMessages(), QStringList({waitingLine(77), lastLine}));
    QCOMPARE(platform.record->waits, waits);
    // A process that was opened is released on every way out.
    QCOMPARE(platform.record->released, waits > 0);
}

QTEST_GUILESS_MAIN(ApplicationWaitTest)
#include "tst_application_wait.moc"
