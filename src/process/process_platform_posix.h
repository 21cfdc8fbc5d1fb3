#pragma once

// The decisions of the POSIX process platform that do not need a system call, kept apart so that
// they can be checked without administrator rights or an authentication agent.

#include "process_platform.h"

#include <QByteArrayView>
#include <QStringList>

#include <optional>

namespace process_control::posix {

// The authentication front end used when the updater does not run as root: polkit's, at its
// fixed path, so that no PATH can put another program in its place.
inline constexpr char kPkexecPath[] = "/usr/bin/pkexec";

// What a POSIX system can start, judged by a file's first bytes as the kernel and a shell do: an
// ELF image; a script with a "#!" line (both started by the kernel); a file whose first line is
// text, which the kernel refuses (ENOEXEC) and a shell then runs as a script (the installer
// images of this project, whose PE headers begin with a line "MZ"); anything else, such as a
// plain Windows program, whose first line holds a NUL byte: nothing on POSIX can run it, and a
// shell must not be handed it.
enum class ProgramKind { Elf, HashBang, ShellScript, NotAProgram };
ProgramKind classifyProgram(QByteArrayView head);

// How the held copy is started. As root: the copy itself (fexecve of the descriptor) or /bin/sh
// reading it. Otherwise through pkexec, which (like polkit's) runs its program with execv() and
// no shell fallback: the copy as /proc/<updater>/fd/<n>, or /bin/sh with that path.
struct StartCommand {
    bool executesHeldCopy = false; // fexecve(); else execv() of arguments[0]
    QStringList arguments;         // argv; for fexecve, argv[0] is only the name the program sees
};
std::optional<StartCommand> startCommand(ProgramKind kind, bool runningAsRoot,
                                         const QString& programName, const QString& heldCopyPath);

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
