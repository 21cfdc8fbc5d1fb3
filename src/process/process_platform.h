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

// The wait limit that means "no limit" (the value of Win32 INFINITE).
inline constexpr unsigned long kWaitForever = 0xFFFFFFFFUL;

enum class WaitStatus { Ended, TimedOut, Failed };

struct WaitResult {
    WaitStatus status = WaitStatus::Failed;
    // The platform's own result of the wait, shown in the failure line (4294967295 for a failed
    // wait, as Win32 WAIT_FAILED).
    unsigned long rawResult = 0;
    // Meaningful when the wait failed.
    ErrorCode error = 0;
};

// A process that the updater may wait on. It owns whatever refers to the process (a Win32
// handle, a Linux pidfd) and releases it when destroyed; destroying it never ends the process.
class WaitableProcess {
public:
    WaitableProcess() = default;
    WaitableProcess(const WaitableProcess&) = delete;
    WaitableProcess& operator=(const WaitableProcess&) = delete;
    virtual ~WaitableProcess() = default;

    // Waits once, for at most limitMs milliseconds (kWaitForever: without limit).
    virtual WaitResult wait(unsigned long limitMs) = 0;
    // The exit code of a process that has ended. On false, error holds the reason.
    virtual bool exitCode(unsigned long& code, ErrorCode& error) = 0;
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
    ErrorCode error = 0; // set when not Started
};

class ProcessPlatform {
public:
    virtual ~ProcessPlatform() = default;

    // Opens a process that is not our child, only to wait for its end.
    virtual OpenResult openProcess(long long processId) const = 0;
    // Starts the held installer with administrator rights, without arguments, in the current
    // directory: the very bytes that were checked (Windows starts the file that the update holds
    // open against writers; POSIX starts the sealed copy). Cancelled: the user declined the
    // elevation prompt.
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
