#include "peak_memory.h"

#include <windows.h>

#include <psapi.h>

qint64 peakResidentBytes() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters)))
        return -1;
    return static_cast<qint64>(counters.PeakWorkingSetSize);
}
