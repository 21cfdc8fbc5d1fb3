#pragma once

// What the process-control tests of every platform share: the log lines they expect, the wait on a
// real running process, and a scoped change of the current directory (the installer and the
// restarted application start in the updater's current directory).

#include "process/process_control.h"
#include "test_environment.h"
#include "updater.h"

#include <QDir>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTest>

inline QString waitingLine(long long pid) {
    return QStringLiteral("Waiting for application process %1 to exit...").arg(pid);
}

// Rows for verifyWaitOnRunningProcess(): a process that ends after a moment and one that outlasts
// the limit, given as the arguments that make the platform's sleeping program last that long.
inline void addRunningProcessRows(const QStringList& briefly, const QStringList& forAMinute) {
    QTest::addColumn<QStringList>("sleepArguments");
    QTest::addColumn<unsigned long>("limitMs");
    QTest::addColumn<bool>("expected");
    QTest::addColumn<QString>("lastLine");
    QTest::newRow("ends after a moment")
        << briefly << 30000UL << true << QStringLiteral("Target application exited.");
    QTest::newRow("outlasts the limit")
        << forAMinute << 1000UL << false
        << QStringLiteral("Timed out waiting for application after 1 seconds.");
}

// Starts sleepProgram with the row's arguments, waits for it through the platform of the build,
// and checks the verdict, that a timed-out application is left running, and the test's log.
inline void verifyWaitOnRunningProcess(const ScopedTemp& temp, const QString& sleepProgram) {
    QFETCH(QStringList, sleepArguments);
    QFETCH(unsigned long, limitMs);
    QFETCH(bool, expected);
    QFETCH(QString, lastLine);
    QProcess host;
    host.start(sleepProgram, sleepArguments);
    QVERIFY(host.waitForStarted());
    const long long pid = host.processId();
    Updater updater;

    const bool result = process_control::waitForProcessExit(
        updater, process_control::systemProcessPlatform(), pid, limitMs);
    // On time-out the application is left running: the wait never ends it.
    const bool stillRunning = host.state() == QProcess::Running && !host.waitForFinished(0);
    if (stillRunning)
        host.kill();
    host.waitForFinished();

    QCOMPARE(result, expected);
    QCOMPARE(stillRunning, !expected);
    QCOMPARE(temp.logMessages(), QStringList({waitingLine(pid), lastLine}));
}

inline QString startLine(const QString& installer) {
    return QStringLiteral("Starting installer with UAC elevation: %1").arg(installer);
}

// The lines of an installer that was started and ran to its end with the given exit code.
inline QStringList ranToEnd(const QString& installer, const QString& exitCode) {
    return {startLine(installer), QStringLiteral("Installer process launched successfully."),
            QStringLiteral("Waiting for installer to finish..."),
            QStringLiteral("Installer exit code: %1").arg(exitCode)};
}

inline const QString kNonZero = QStringLiteral("Installer returned a non-zero exit code.");

// Makes a directory the current one for the scope, and restores the previous one afterwards.
class ScopedCurrentDirectory {
public:
    explicit ScopedCurrentDirectory(const QString& path) : saved_(QDir::currentPath()) {
        QDir::setCurrent(path);
    }
    ~ScopedCurrentDirectory() { QDir::setCurrent(saved_); }
    ScopedCurrentDirectory(const ScopedCurrentDirectory&) = delete;
    ScopedCurrentDirectory& operator=(const ScopedCurrentDirectory&) = delete;

private:
    QString saved_;
};
