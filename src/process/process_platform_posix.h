#pragma once

// The decisions of the POSIX process platform that do not need a system call, kept apart so that
// they can be checked without administrator rights or an authentication agent.

#include "process_platform.h"

#include <QStringList>

namespace process_control::posix {

// The authentication front end used when the updater does not run as root.
inline constexpr char kPkexecPath[] = "/usr/bin/pkexec";

// The command line of the elevated start: the program alone when the updater already runs as
// root, otherwise the program behind pkexec, which keeps the current directory.
QStringList elevatedCommandLine(const QString& program, bool runningAsRoot);

// The path by which another process (pkexec, as root) reaches a descriptor that this process
// holds: /proc/<pid>/fd/<fd>. Opening it opens the held file itself, not whatever a path names.
QString heldDescriptorPath(long long processId, int fd);

// The exit code of an ended child: its own code, or 128 plus the signal that ended it.
unsigned long exitCodeFromWaitStatus(int waitStatus);

struct AuthenticatedRun {
    StartStatus status = StartStatus::Failed;
    ErrorCode error = 0;        // when not Started
    unsigned long exitCode = 1; // when Started: the program's exit code
};

// Reads pkexec's wait status: 126 is a dismissed authentication prompt, 127 a refused or failed
// authorisation; any other status is the program's own.
AuthenticatedRun authenticatedRunOutcome(int waitStatus);

} // namespace process_control::posix
