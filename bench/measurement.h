#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>
#include <QStringList>

#include "process_usage.h"

// Wall-clock and processor time of one piece of work, in seconds. On a shared machine the wall
// time says what a user waits for and the processor time how much of that the work itself took.
struct Timing {
    double wallSeconds = 0;
    double cpuSeconds = -1; // -1: not counted

    // The faster of two rounds; an unmeasured (zero) timing loses.
    static Timing best(const Timing& a, const Timing& b) {
        return a.wallSeconds > 0 && a.wallSeconds <= b.wallSeconds ? a : b;
    }
    Timing operator+(const Timing& other) const {
        return {wallSeconds + other.wallSeconds,
                cpuSeconds < 0 || other.cpuSeconds < 0 ? -1 : cpuSeconds + other.cpuSeconds};
    }
};

// Runs work in this process and times it.
template <typename Work> Timing measure(Work work) {
    const double cpuBefore = processCpuSeconds();
    QElapsedTimer timer;
    timer.start();
    work();
    const double wall = static_cast<double>(timer.nsecsElapsed()) / 1e9;
    return {wall, cpuBefore < 0 ? -1 : processCpuSeconds() - cpuBefore};
}

// One run of a command-line tool found on PATH.
struct ToolRun {
    bool succeeded = false; // found, ended normally with exit code 0
    Timing timing;
    QByteArray output; // standard output, then standard error
};
ToolRun runTool(const QString& program, const QStringList& arguments);

// A table of timings: one title, then rows with seconds, MB/s of `bytes` and the ratio of the
// row's wall time to the reference's (the `reference` column of the header names it).
void printTableHeader(const QString& title, const QString& reference);
void printTableRow(const QString& name, const Timing& timing, qint64 bytes, double referenceWall);
void printTableNote(const QString& name, const QString& note);
