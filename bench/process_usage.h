#pragma once

#include <QtGlobal>

class InstallerFile;

// What this process uses of the machine, as the platform counts it.

// The most memory this process has held resident at any moment so far, in bytes.
qint64 peakResidentBytes();

// Processor time, user and system, that this process has used so far, in seconds.
double processCpuSeconds();

// Processor time used by this process's children that have ended and been waited for, in
// seconds; -1 where the platform does not count it.
double childrenCpuSeconds();

// Memory that the opened installer takes outside this process's resident set, in bytes: on POSIX
// the sealed copy (a memory file that is read, never mapped); on Windows nothing, the private copy
// is a file on disk.
qint64 heldCopyBytes(const InstallerFile& installer);
