#include "process_usage.h"

#include "verification/installer_file.h"

#include <QByteArray>
#include <QFile>

#include <sys/resource.h>
#include <sys/stat.h>

namespace {

double seconds(const timeval& time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

double cpuSecondsOf(int who) {
    rusage usage{};
    if (getrusage(who, &usage) != 0)
        return -1;
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

} // namespace

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

double processCpuSeconds() {
    return cpuSecondsOf(RUSAGE_SELF);
}

double childrenCpuSeconds() {
    return cpuSecondsOf(RUSAGE_CHILDREN);
}

qint64 heldCopyBytes(const InstallerFile& installer) {
    struct stat status = {};
    if (::fstat(installer.nativeHandle(), &status) != 0)
        return -1;
    return static_cast<qint64>(status.st_blocks) * 512;
}
