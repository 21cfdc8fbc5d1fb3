#include "program_run.h"

#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTest>
#include <QTimer>

ProgramRun runProgram(const QString& program, const QStringList& arguments,
                      const QString& workingDirectory, int timeoutMs) {
    ProgramRun run;
    QProcess process;
    process.setWorkingDirectory(workingDirectory);
    process.start(program, arguments);
    run.finished =
        process.waitForFinished(timeoutMs) && process.exitStatus() == QProcess::NormalExit;
    if (!run.finished) {
        process.kill();
        process.waitForFinished();
    }
    run.exitCode = process.exitCode();
    run.standardOutput = process.readAllStandardOutput();
    run.standardError = process.readAllStandardError();
    return run;
}

bool waitForExit(QProcess& process, int timeoutMs) {
    QEventLoop loop;
    QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    if (timeoutMs >= 0)
        limit.start(timeoutMs);
    if (process.state() != QProcess::NotRunning)
        loop.exec();
    return process.state() == QProcess::NotRunning;
}

QByteArray readFileBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool waitForFile(const QString& path, int timeoutMs) {
    for (int waited = 0; !QFileInfo::exists(path); waited += 50) {
        if (waited >= timeoutMs)
            return false;
        QTest::qWait(50);
    }
    return true;
}

QStringList waitForLines(const QString& path, int count, int timeoutMs) {
    QStringList lines;
    for (int waited = 0;; waited += 20) {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly)) {
            lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
            if (lines.size() >= count)
                break;
        }
        if (waited >= timeoutMs)
            break;
        QTest::qWait(20);
    }
    return lines;
}
