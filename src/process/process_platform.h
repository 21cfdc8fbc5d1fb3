#pragma once

// The narrow boundary between the process-control operations and the operating system. The
// operations (their messages, order and outcomes) are written once against this interface; each
// platform supplies one implementation with the few system calls it needs.

#include <QString>

#include <memory>

class InstallerFile;

namespace process_control {

// A platform error code: a Win32 last-error code on Windows, an errno value elsewhere. Shown
// unsigned in every message.
using ErrorCode = unsigned long;

enum class WaitStatus { Ended, TimedOut, Failed };

struct WaitResult {
    WaitStatus status = WaitStatus::Failed;
    ErrorCode error = 0; // why the wait failed
};

struct ExitStatus {
    bool known = false;
    unsigned long code = 1; // when known
    ErrorCode error = 0;    // when not known
};

// A process that the updater may wait on. It owns whatever refers to the process (a Win32
// handle, a Linux pidfd) and releases it when destroyed; destroying it never ends the process.
class WaitableProcess {
public:
    WaitableProcess() = default;
    WaitableProcess(const WaitableProcess&) = delete;
    WaitableProcess& operator=(const WaitableProcess&) = delete;
    virtual ~WaitableProcess() = default;

    // Waits once: for at most limitMs milliseconds, or without a limit.
    virtual WaitResult wait(unsigned long limitMs) = 0;
    virtual WaitResult waitWithoutLimit() = 0;
    // The exit code of a process that has ended.
    virtual ExitStatus exitStatus() = 0;
};

enum class OpenStatus { Opened, NoSuchProcess, Failed };

struct OpenResult {
    OpenStatus status = OpenStatus::Failed;
    std::unique_ptr<WaitableProcess> process; // set when Opened
    ErrorCode error = 0;                      // set when not Opened
};

enum class StartStatus { Started, Cancelled, Failed };

struct StartResult {
    StartStatus status = StartStatus::Failed;
    // When Started: the started process, or null when the system gave no way to wait on it.
    std::unique_ptr<WaitableProcess> process;
    // When not Started: the code, and the system call that gave it ("ShellExecuteExW" on
    // Windows; on POSIX the step of the start that failed, such as "fexecve" or "pkexec").
    ErrorCode error = 0;
    QString failedCall;
};

class ProcessPlatform {
public:
    virtual ~ProcessPlatform() = default;

    // Opens a process that is not our child, only to wait for its end.
    virtual OpenResult openProcess(long long processId) const = 0;
    // Starts the held installer with administrator rights, without arguments: the very bytes
    // that were checked (the private copy that InstallerFile holds), never a path looked up
    // again, in a working directory that the user cannot write to. Cancelled: the user declined
    // the elevation prompt.
    virtual StartResult startElevated(const InstallerFile& installer) const = 0;
    // One line of text for an error code, "<system text> (<code>)".
    virtual QString errorMessage(ErrorCode code) const = 0;
};

// The implementation for the platform this program was built for.
const ProcessPlatform& systemProcessPlatform();

// Builds the error text shared by every platform: "ERROR_SUCCESS" for code 0 (without asking
// systemText), otherwise the system's text trimmed of surrounding white space ("Unknown Windows
// error" when there is none) followed by the code in parentheses, unsigned decimal. A "%1" in the
// system's text is kept as it stands.
QString errorMessageText(ErrorCode code, QString (*systemText)(ErrorCode));

} // namespace process_control
