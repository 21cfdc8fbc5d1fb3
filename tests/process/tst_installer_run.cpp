// The elevated installer run: real installers started directly (the tests run as root), the
// scripted outcomes that need a prompt or a failing system, and the pkexec decisions.

#include "process/process_control.h"
#include "process/process_platform_posix.h"
#include "process_test_support.h"
#include "scripted_platform.h"
#include "test_environment.h"
#include "updater.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <cerrno>

#include <sys/wait.h>
#include <unistd.h>

using namespace process_control;

namespace {

const QFileDevice::Permissions kExecutable = QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                             QFileDevice::ExeOwner | QFileDevice::ReadGroup |
                                             QFileDevice::ExeGroup;
const QFileDevice::Permissions kNotExecutable = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

int exitedWith(int code) {
    return W_EXITCODE(code, 0);
}

int killedBy(int signal) {
    return W_EXITCODE(0, signal);
}

} // namespace

class InstallerRunTest : public QObject {
    Q_OBJECT

private slots:
    void realInstaller_data();
    void realInstaller();
    void installerGetsNoArgumentsAndTheCurrentDirectory();
    void scriptedOutcomes_data();
    void scriptedOutcomes();
    void elevatedCommandLine();
    void authenticatedRunOutcome_data();
    void authenticatedRunOutcome();
};

void InstallerRunTest::realInstaller_data() {
    QTest::addColumn<QByteArray>("content"); // empty: create a directory instead
    QTest::addColumn<bool>("executable");
    QTest::addColumn<bool>("expected");
    QTest::addColumn<QStringList>("tail"); // the lines after the start line

    const QStringList launched = {QStringLiteral("Installer process launched successfully."),
                                  QStringLiteral("Waiting for installer to finish...")};
    QTest::newRow("exit 0") << QByteArray("#!/bin/sh\nexit 0\n") << true << true
                            << launched + QStringList{QStringLiteral("Installer exit code: 0")};
    QTest::newRow("non-zero exit")
        << QByteArray("#!/bin/sh\nexit 3\n") << true << false
        << launched + QStringList{QStringLiteral("Installer exit code: 3"), kNonZero};
    QTest::newRow("largest exit status")
        << QByteArray("#!/bin/sh\nexit 255\n") << true << false
        << launched + QStringList{QStringLiteral("Installer exit code: 255"), kNonZero};
    QTest::newRow("killed by a signal")
        << QByteArray("#!/bin/sh\nkill -KILL $$\n") << true << false
        << launched + QStringList{QStringLiteral("Installer exit code: 137"), kNonZero};
    QTest::newRow("script without interpreter line, exit 0")
        << QByteArray("exit 0\n") << true << true
        << launched + QStringList{QStringLiteral("Installer exit code: 0")};
    QTest::newRow("script without interpreter line, exit 4")
        << QByteArray("true\nexit 4\n") << true << false
        << launched + QStringList{QStringLiteral("Installer exit code: 4"), kNonZero};
    QTest::newRow("not executable")
        << QByteArray("#!/bin/sh\nexit 0\n") << false << false
        << QStringList{QStringLiteral("ShellExecuteExW failed: Permission denied (13)")};
    QTest::newRow("interpreter missing")
        << QByteArray("#!/nonexistent/interpreter\nexit 0\n") << true << false
        << QStringList{QStringLiteral("ShellExecuteExW failed: No such file or directory (2)")};
    QTest::newRow("directory") << QByteArray() << true << false
                               << QStringList{QStringLiteral(
                                      "ShellExecuteExW failed: Permission denied (13)")};
}

void InstallerRunTest::realInstaller() {
    QFETCH(QByteArray, content);
    QFETCH(bool, executable);
    QFETCH(bool, expected);
    QFETCH(QStringList, tail);
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const QString staging = temp.createStagingDirectory();
    QString installer = staging + QStringLiteral("/installer.exe");
    if (content.isEmpty()) {
        QVERIFY(QDir().mkpath(installer));
    } else {
        temp.writeFile(installer, content);
        QVERIFY(QFile::setPermissions(installer, executable ? kExecutable : kNotExecutable));
    }
    Updater updater;

    QCOMPARE(updater.runInstaller(installer), expected);
    QCOMPARE(temp.logMessages(), QStringList{startLine(installer)} + tail);
}

void InstallerRunTest::installerGetsNoArgumentsAndTheCurrentDirectory() {
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const QString workDir = temp.filePath(QStringLiteral("work dir"));
    QVERIFY(QDir().mkpath(workDir));
    const QString report = temp.filePath(QStringLiteral("report.txt"));
    // A script without interpreter line, so the shell fallback is what runs it.
    const QString installer = temp.writeFile(
        QStringLiteral("Quindlebrookware-Update-x/installer.exe"),
        QStringLiteral("streams=$(readlink /proc/$$/fd/0 /proc/$$/fd/1 /proc/$$/fd/2)\n"
                       "printf '%s\\n%s\\n%s\\n' \"$#\" \"$(pwd)\" \"$streams\" > '%1'\n")
            .arg(report)
            .toUtf8());
    QVERIFY(QFile::setPermissions(installer, kExecutable));
    Updater updater;

    bool result = false;
    {
        ScopedCurrentDirectory current(workDir);
        result = updater.runInstaller(installer);
    }
    QVERIFY(result);
    QFile file(report);
    QVERIFY(file.open(QIODevice::ReadOnly));
    // No arguments, the updater's current directory, and none of the updater's standard streams.
    QCOMPARE(QString::fromUtf8(file.readAll()),
             QStringLiteral("0\n%1\n/dev/null\n/dev/null\n/dev/null\n").arg(workDir));
    QCOMPARE(temp.logMessages(), ranToEnd(installer, QStringLiteral("0")));
}

void InstallerRunTest::scriptedOutcomes_data() {
    QTest::addColumn<int>("startStatus");
    QTest::addColumn<qulonglong>("error");
    QTest::addColumn<bool>("withProcess");
    QTest::addColumn<int>("waitStatus");
    QTest::addColumn<qulonglong>("rawResult");
    QTest::addColumn<bool>("exitCodeReadable");
    QTest::addColumn<qulonglong>("exitCode");
    QTest::addColumn<bool>("expected");
    QTest::addColumn<QStringList>("tail");

    const int started = int(StartStatus::Started);
    const int ended = int(WaitStatus::Ended);
    const QString launched = QStringLiteral("Installer process launched successfully.");
    const QString waiting = QStringLiteral("Waiting for installer to finish...");

    QTest::newRow("prompt declined")
        << int(StartStatus::Cancelled) << qulonglong(ECANCELED) << false << ended << 0ULL << true
        << 0ULL << false << QStringList{QStringLiteral("User cancelled UAC elevation.")};
    QTest::newRow("start refused")
        << int(StartStatus::Failed) << qulonglong(EACCES) << false << ended << 0ULL << true << 0ULL
        << false << QStringList{QStringLiteral("ShellExecuteExW failed: Permission denied (13)")};
    QTest::newRow("started without a handle")
        << started << 0ULL << false << ended << 0ULL << true << 0ULL << false
        << QStringList{launched, QStringLiteral("Installer process handle is null.")};
    QTest::newRow("wait failed")
        << started << qulonglong(EINVAL) << true << int(WaitStatus::Failed) << 4294967295ULL << true
        << 0ULL << false
        << QStringList{launched, waiting,
                       QStringLiteral("WaitForSingleObject failed. Result: 4294967295, Windows "
                                      "error: Invalid argument (22)")};
    QTest::newRow("wait returned early")
        << started << 0ULL << true << int(WaitStatus::TimedOut) << 258ULL << true << 0ULL << false
        << QStringList{
               launched, waiting,
               QStringLiteral(
                   "WaitForSingleObject failed. Result: 258, Windows error: ERROR_SUCCESS")};
    QTest::newRow("exit code unreadable")
        << started << qulonglong(ECHILD) << true << ended << 0ULL << false << 0ULL << false
        << QStringList{launched, waiting,
                       QStringLiteral("GetExitCodeProcess failed: No child processes (10)")};
    QTest::newRow("exit 0") << started << 0ULL << true << ended << 0ULL << true << 0ULL << true
                            << QStringList{launched, waiting,
                                           QStringLiteral("Installer exit code: 0")};
    QTest::newRow("exit code 2^31")
        << started << 0ULL << true << ended << 0ULL << true << 2147483648ULL << false
        << QStringList{launched, waiting, QStringLiteral("Installer exit code: 2147483648"),
                       kNonZero};
    QTest::newRow("crash code") << started << 0ULL << true << ended << 0ULL << true << 3221225477ULL
                                << false
                                << QStringList{launched, waiting,
                                               QStringLiteral("Installer exit code: 3221225477"),
                                               kNonZero};
}

void InstallerRunTest::scriptedOutcomes() {
    QFETCH(int, startStatus);
    QFETCH(qulonglong, error);
    QFETCH(bool, withProcess);
    QFETCH(int, waitStatus);
    QFETCH(qulonglong, rawResult);
    QFETCH(bool, exitCodeReadable);
    QFETCH(qulonglong, exitCode);
    QFETCH(bool, expected);
    QFETCH(QStringList, tail);
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    ScriptedPlatform platform;
    platform.startStatus = static_cast<StartStatus>(startStatus);
    platform.error = error;
    platform.withProcess = withProcess;
    platform.script.wait = {static_cast<WaitStatus>(waitStatus), rawResult, error};
    platform.script.exitCodeReadable = exitCodeReadable;
    platform.script.exitCode = exitCode;
    platform.script.exitCodeError = error;
    const QString installer = QStringLiteral("C:/Users/u/AppData/Local/Temp/x/installer.exe");
    Updater updater;

    QCOMPARE(runElevatedInstaller(updater, platform, installer), expected);
    QCOMPARE(temp.logMessages(), QStringList{startLine(installer)} + tail);
    if (withProcess && platform.startStatus == StartStatus::Started) {
        // One wait, without limit, and the handle released on every way out.
        QCOMPARE(platform.record->waits, 1);
        QCOMPARE(platform.record->lastLimitMs, kWaitForever);
        QVERIFY(platform.record->released);
    }
}

void InstallerRunTest::elevatedCommandLine() {
    const QString installer = QStringLiteral("/tmp/Quindlebrookware-Update-x/installer.exe");
    QCOMPARE(posix::elevatedCommandLine(installer, true), QStringList{installer});
    QCOMPARE(
        posix::elevatedCommandLine(installer, false),
        QStringList({QStringLiteral("/usr/bin/pkexec"), QStringLiteral("--keep-cwd"), installer}));
}

void InstallerRunTest::authenticatedRunOutcome_data() {
    QTest::addColumn<int>("waitStatus");
    QTest::addColumn<int>("status");
    QTest::addColumn<qulonglong>("error");
    QTest::addColumn<qulonglong>("exitCode");

    const int started = int(StartStatus::Started);
    QTest::newRow("prompt dismissed")
        << exitedWith(126) << int(StartStatus::Cancelled) << qulonglong(ECANCELED) << 1ULL;
    QTest::newRow("not authorised")
        << exitedWith(127) << int(StartStatus::Failed) << qulonglong(EACCES) << 1ULL;
    QTest::newRow("installer exit 0") << exitedWith(0) << started << 0ULL << 0ULL;
    QTest::newRow("installer exit 125") << exitedWith(125) << started << 0ULL << 125ULL;
    QTest::newRow("installer exit 128") << exitedWith(128) << started << 0ULL << 128ULL;
    QTest::newRow("installer killed") << killedBy(SIGKILL) << started << 0ULL << 137ULL;
    QTest::newRow("installer terminated") << killedBy(SIGTERM) << started << 0ULL << 143ULL;
}

void InstallerRunTest::authenticatedRunOutcome() {
    QFETCH(int, waitStatus);
    QFETCH(int, status);
    QFETCH(qulonglong, error);
    QFETCH(qulonglong, exitCode);

    const posix::AuthenticatedRun run = posix::authenticatedRunOutcome(waitStatus);
    QCOMPARE(int(run.status), status);
    QCOMPARE(qulonglong(run.error), error);
    QCOMPARE(qulonglong(run.exitCode), exitCode);
}

QTEST_GUILESS_MAIN(InstallerRunTest)
#include "tst_installer_run.moc"
