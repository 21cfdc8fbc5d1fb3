#include "peak_memory.h"

#include <QByteArray>
#include <QFile>

#include <sys/resource.h>

// Linux keeps the high-water mark of the current program image in /proc/self/status (VmHWM,
// in kB). getrusage() is the fallback elsewhere; on Linux its figure would also count what the
// parent held before fork(), which is why it is not the first choice.
qint64 peakResidentBytes() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly | QIODevice::Text)) {
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("VmHWM:"))
                return line.mid(6).trimmed().split(' ').first().toLongLong() * 1024;
        }
    }
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) != 0)
        return -1;
    return static_cast<qint64>(usage.ru_maxrss) * 1024; // Linux reports KiB
}
