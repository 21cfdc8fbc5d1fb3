// Process control through the Win32 calls themselves: OpenProcess and WaitForSingleObject on real
// processes, ShellExecuteExW with "runas" and real programs as the installer, and the detached
// restart. The outcomes that no real system can be made to give (a declined prompt, a failing
// wait) are covered with scripted answers on every platform by the other process suites.

#include "installer_image.h"
#include "process/process_control.h"
#include "process_test_support.h"
#include "program_run.h"
#include "test_environment.h"
#include "updater.h"
#include "wine_check.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <windows.h>

using namespace process_control;

namespace {

// Copies the helper program (see process_helper_win.cpp) to path and returns path.
QString installHelper(const QString& path) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile::remove(path);
    QFile::copy(QStringLiteral(PROCESS_HELPER), path);
    return path;
}

enum class InstallerFile { Image, NotAProgram, Missing };

} // namespace

class WindowsProcessControlTest : public QObject {
    Q_OBJECT

private slots:
    void waitOnARunningProcess_data();
    void waitOnARunningProcess();
    void processThatNoLongerExists_data();
    void processThatNoLongerExists();
    void processEndedButStillOpen();
    void elevatedInstallerRun_data();
    void elevatedInstallerRun();
    void installerGetsNoArgumentsAndTheCurrentDirectory();
    void restartThatCannotStart();
    void restartIsDetached();
};

void WindowsProcessControlTest::waitOnARunningProcess_data() {
    const QString sleep = QStringLiteral("--sleep-ms");
    addRunningProcessRows({sleep, QStringLiteral("300")}, {sleep, QStringLiteral("60000")});
}

void WindowsProcessControlTest::waitOnARunningProcess() {
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    verifyWaitOnRunningProcess(
        temp, installHelper(temp.outsidePath(QStringLiteral("app/application.exe"))));
}

void WindowsProcessControlTest::processThatNoLongerExists_data() {
    QTest::addColumn<long long>("pid");
    // Windows numbers processes in multiples of four, and none of these is in use.
    QTest::newRow("largest identifier") << 4294967295LL;
    QTest::newRow("just beyond a signed 32-bit identifier") << 2147483648LL;
    QTest::newRow("largest multiple of four") << 4294967292LL;
}

void WindowsProcessControlTest::processThatNoLongerExists() {
    QFETCH(long long, pid);
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    // The system's answer that the rest of the operation relies on.
    QVERIFY(OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid)) == nullptr);
    QCOMPARE(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
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

void WindowsProcessControlTest::processEndedButStillOpen() {
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const QString program = installHelper(temp.outsidePath(QStringLiteral("app/application.exe")));
    QProcess host;
    host.start(program, {});
    QVERIFY(host.waitForStarted());
    const long long pid = host.processId();
    // A handle of our own keeps the ended process's identifier in use.
    const HANDLE keep = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    QVERIFY(keep != nullptr);
    QVERIFY(host.waitForFinished());
    Updater updater;

    QElapsedTimer clock;
    clock.start();
    const bool result = waitForProcessExit(updater, systemProcessPlatform(), pid, 30000);
    const qint64 elapsed = clock.elapsed();
    CloseHandle(keep);

    QVERIFY(result);
    QVERIFY2(elapsed < 20000, "an ended process is not waited for");
    QCOMPARE(temp.logMessages(),
             QStringList({waitingLine(pid), QStringLiteral("Target application exited.")}));
}

void WindowsProcessControlTest::elevatedInstallerRun_data() {
    QTest::addColumn<InstallerFile>("file");
    QTest::addColumn<quint32>("exitCode");   // of the image
    QTest::addColumn<quint32>("startError"); // 0: the start succeeds
    QTest::addColumn<bool>("expected");

    QTest::newRow("exit 0") << InstallerFile::Image << 0U << 0U << true;
    QTest::newRow("exit 7") << InstallerFile::Image << 7U << 0U << false;
    QTest::newRow("crash code") << InstallerFile::Image << 3221225477U << 0U << false;
    QTest::newRow("not a program")
        << InstallerFile::NotAProgram << 0U << quint32(ERROR_BAD_EXE_FORMAT) << false;
    QTest::newRow("missing") << InstallerFile::Missing << 0U << quint32(ERROR_FILE_NOT_FOUND)
                             << false;
}

void WindowsProcessControlTest::elevatedInstallerRun() {
    QFETCH(InstallerFile, file);
    QFETCH(quint32, exitCode);
    QFETCH(quint32, startError);
    QFETCH(bool, expected);
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    // The path as the command line hands it over: native separators.
    const QString installer =
        QDir::toNativeSeparators(temp.createStagingDirectory() + QStringLiteral("/installer.exe"));
    if (file == InstallerFile::Image)
        QVERIFY(InstallerImage::write(installer, "exit 0\n", exitCode));
    else if (file == InstallerFile::NotAProgram)
        temp.writeFile(installer, "This is no program.\r\n");
    Updater updater;

    QCOMPARE(updater.runInstaller(installer), expected);

    if (startError != 0 && isRunningUnderWine()) {
        // The refusal is logged in the product's form; only the code is Wine's own.
        static const QRegularExpression refusal(
            QStringLiteral("^ShellExecuteExW failed: .+ \\(\\d+\\)$"));
        const QStringList messages = temp.logMessages();
        QCOMPARE(messages.size(), 2);
        QCOMPARE(messages.first(), startLine(installer));
        QVERIFY2(refusal.match(messages.last()).hasMatch(), qPrintable(messages.last()));
        SKIP_UNDER_WINE("ShellExecuteExW fails with error 1400 (no window for its error dialog) "
                        "instead of the start error");
    }
    QStringList lines{startLine(installer)};
    if (startError != 0) {
        lines << QStringLiteral("ShellExecuteExW failed: %1")
                     .arg(systemProcessPlatform().errorMessage(startError));
    } else {
        lines = ranToEnd(installer, QString::number(exitCode));
        if (exitCode != 0)
            lines << kNonZero;
    }
    QCOMPARE(temp.logMessages(), lines);
}

void WindowsProcessControlTest::installerGetsNoArgumentsAndTheCurrentDirectory() {
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const QString workDir = temp.filePath(QStringLiteral("work dir"));
    QVERIFY(QDir().mkpath(workDir));
    const QString installer =
        installHelper(temp.createStagingDirectory() + QStringLiteral("/installer.exe"));
    Updater updater;

    bool result = false;
    {
        ScopedCurrentDirectory current(workDir);
        result = updater.runInstaller(installer);
    }
    QVERIFY(result);
    QCOMPARE(waitForLines(installer + QStringLiteral(".record"), 2),
             QStringList({QStringLiteral("0"), QDir::toNativeSeparators(workDir)}));
    QCOMPARE(temp.logMessages(), ranToEnd(installer, QStringLiteral("0")));
}

void WindowsProcessControlTest::restartThatCannotStart() {
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const QString path = QDir::toNativeSeparators(
        temp.writeFile(temp.outsidePath(QStringLiteral("App/app.exe")), "This is no program."));

    QVERIFY(!Updater().restartApplication(path));
    QCOMPARE(temp.logMessages(),
             QStringList({QStringLiteral("Restarting application: %1").arg(path),
                          QStringLiteral("QProcess::startDetached failed.")}));
}

void WindowsProcessControlTest::restartIsDetached() {
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const QString workDir = temp.filePath(QStringLiteral("updater dir"));
    QVERIFY(QDir().mkpath(workDir));
    const QString path = QDir::toNativeSeparators(
        installHelper(temp.outsidePath(QStringLiteral("Program Files/App/app.exe"))));
    // The application stays until the test lets it go: the updater returns long before.
    const QString hold = path + QStringLiteral(".hold");
    temp.writeFile(hold, QByteArray());

    bool result = false;
    {
        ScopedCurrentDirectory current(workDir);
        result = Updater().restartApplication(path);
    }
    QVERIFY(result);
    QCOMPARE(temp.logMessages(),
             QStringList{QStringLiteral("Restarting application: %1").arg(path)});
    // Started without arguments, in the updater's current directory, and still running.
    QCOMPARE(waitForLines(path + QStringLiteral(".record"), 2),
             QStringList({QStringLiteral("0"), QDir::toNativeSeparators(workDir)}));
    QVERIFY(QFile::remove(hold));
    QCOMPARE(waitForLines(path + QStringLiteral(".record"), 3).value(2),
             QStringLiteral("released"));
}

QTEST_GUILESS_MAIN(WindowsProcessControlTest)
#include "tst_process_control_win.moc"
