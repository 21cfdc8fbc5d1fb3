#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

class QProcess;

// Small process and file helpers shared by the suites that run helper programs.

struct ProgramRun {
    bool finished = false; // ended normally within the time limit
    int exitCode = -1;
    QByteArray standardOutput;
    QByteArray standardError;
};

// Runs a program to its end (killing it after timeoutMs) and collects its output.
ProgramRun runProgram(const QString& program, const QStringList& arguments,
                      const QString& workingDirectory = QString(), int timeoutMs = 60000);

// Waits, processing events, until a started process has ended; false after timeoutMs (-1: no
// limit). Unlike QProcess::waitForFinished, it leaves noticing the end to Qt's own thread-pool
// wait on the process: under Wine 8.0 the two waits racing each other crashed the waiting program
// in that thread-pool callback (once in about 20 runs of the Windows end-to-end table).
bool waitForExit(QProcess& process, int timeoutMs);

// Ends at once (SIGKILL, TerminateProcess) every process whose executable lies in the directory.
void killProcessesRunningFrom(const QString& directory);

// The whole content of a file; empty when it cannot be read.
QByteArray readFileBytes(const QString& path);
