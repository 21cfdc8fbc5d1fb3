#include "measurement.h"

#include <QProcess>
#include <QStandardPaths>

#include <cstdio>

namespace {

constexpr int kNameWidth = 44;

} // namespace

ToolRun runTool(const QString& program, const QStringList& arguments) {
    ToolRun run;
    const QString executable = QStandardPaths::findExecutable(program);
    if (executable.isEmpty()) {
        run.output = program.toLocal8Bit() + " is not installed";
        return run;
    }
    QProcess process;
    const double cpuBefore = childrenCpuSeconds();
    QElapsedTimer timer;
    timer.start();
    process.start(executable, arguments);
    const bool finished = process.waitForFinished(-1);
    run.timing.wallSeconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
    if (cpuBefore >= 0)
        run.timing.cpuSeconds = childrenCpuSeconds() - cpuBefore;
    run.output = process.readAllStandardOutput() + process.readAllStandardError();
    run.succeeded =
        finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    return run;
}

void printTableHeader(const QString& title, const QString& reference) {
    std::printf("\n%s\n%-*s %8s %8s %9s  %s\n", qPrintable(title), kNameWidth, "", "wall s",
                "CPU s", "MB/s", qPrintable(QStringLiteral("vs ") + reference));
}

void printTableRow(const QString& name, const Timing& timing, qint64 bytes, double referenceWall) {
    const auto figure = [](double value, int decimals, bool known) {
        return known ? QByteArray::number(value, 'f', decimals) : QByteArray("-");
    };
    // Below a millisecond (the Windows open, which copies nothing) a rate would say nothing.
    std::printf("%-*s %8.3f %8s %9s", kNameWidth, qPrintable(name), timing.wallSeconds,
                figure(timing.cpuSeconds, 3, timing.cpuSeconds >= 0).constData(),
                figure(static_cast<double>(bytes) / 1e6 / timing.wallSeconds, 1,
                       timing.wallSeconds >= 0.001)
                    .constData());
    if (referenceWall > 0)
        std::printf("  %.2fx", timing.wallSeconds / referenceWall);
    std::printf("\n");
}

void printTableNote(const QString& name, const QString& note) {
    std::printf("%-*s %s\n", kNameWidth, qPrintable(name), qPrintable(note));
}
