#include "program_run.h"

#include <QEventLoop>
#include <QFile>
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
    if (timeoutMs >= 0)
        QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    if (process.state() != QProcess::NotRunning)
        loop.exec();
    return process.state() == QProcess::NotRunning;
}

QByteArray readFileBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList waitForLines(const QString& path, int count, int timeoutMs) {
    const auto lines = [&] {
        return QString::fromUtf8(readFileBytes(path)).split(u'\n', Qt::SkipEmptyParts);
    };
    (void)QTest::qWaitFor([&] { return lines().size() >= count; }, timeoutMs);
    return lines();
}
