#include "process_usage.h"

#include <windows.h>

#include <psapi.h>

qint64 peakResidentBytes() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters)))
        return -1;
    return static_cast<qint64>(counters.PeakWorkingSetSize);
}

double processCpuSeconds() {
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user))
        return -1;
    const auto ticks = [](const FILETIME& time) {
        return (static_cast<quint64>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    };
    return static_cast<double>(ticks(kernel) + ticks(user)) / 1e7; // 100 ns ticks
}

double childrenCpuSeconds() {
    return -1;
}

qint64 heldCopyBytes(const InstallerFile&) {
    return 0;
}
