// POSIX (Linux) implementation of the process platform: pidfds and poll for waiting on a process
// that is not our child, fork and exec for the elevated start (through pkexec unless already
// root), and the C library's error texts.

#include "process_platform_posix.h"
#include "verification/installer_file.h"

#include <QDeadlineTimer>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <limits>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace process_control::posix {

QStringList elevatedCommandLine(const QString& program, bool runningAsRoot) {
    if (runningAsRoot)
        return {program};
    return {QString::fromLatin1(kPkexecPath), QStringLiteral("--keep-cwd"), program};
}

QString heldDescriptorPath(long long processId, int fd) {
    return QStringLiteral("/proc/%1/fd/%2").arg(processId).arg(fd);
}

unsigned long exitCodeFromWaitStatus(int waitStatus) {
    if (WIFEXITED(waitStatus))
        return static_cast<unsigned long>(WEXITSTATUS(waitStatus));
    if (WIFSIGNALED(waitStatus))
        return 128UL + static_cast<unsigned long>(WTERMSIG(waitStatus));
    return 1;
}

AuthenticatedRun authenticatedRunOutcome(int waitStatus) {
    AuthenticatedRun run;
    if (WIFEXITED(waitStatus) && WEXITSTATUS(waitStatus) == 126) {
        run.status = StartStatus::Cancelled;
        run.error = ECANCELED;
    } else if (WIFEXITED(waitStatus) && WEXITSTATUS(waitStatus) == 127) {
        run.status = StartStatus::Failed;
        run.error = EACCES;
    } else {
        run.status = StartStatus::Started;
        run.exitCode = exitCodeFromWaitStatus(waitStatus);
    }
    return run;
}

} // namespace process_control::posix

namespace {

using process_control::ErrorCode;
using process_control::OpenResult;
using process_control::OpenStatus;
using process_control::StartResult;
using process_control::StartStatus;
using process_control::WaitResult;
using process_control::WaitStatus;

// The wait results shown in failure lines, with the values that Windows gives them.
constexpr unsigned long kWaitObject0 = 0;
constexpr unsigned long kWaitTimeout = 258;
constexpr unsigned long kWaitFailed = 0xFFFFFFFFUL;

ErrorCode lastError() {
    return static_cast<ErrorCode>(errno);
}

// The sole owner of one file descriptor, closed when the owner goes out of scope.
class OwnedFd {
public:
    explicit OwnedFd(int fd) : fd_(fd) {}
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;
    ~OwnedFd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

// A descriptor that refers to a process and becomes readable when it ends. Called through
// syscall(), as C libraries before glibc 2.36 have no wrapper.
int openPidfd(pid_t pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

// One wait without polling: poll() sleeps until the pidfd reports the end or the limit passes. A
// signal that interrupts the sleep resumes it with the time that is left.
WaitResult waitOnPidfd(int pidfd, unsigned long limitMs) {
    const QDeadlineTimer deadline = limitMs == process_control::kWaitForever
                                        ? QDeadlineTimer(QDeadlineTimer::Forever)
                                        : QDeadlineTimer(static_cast<qint64>(limitMs));
    for (;;) {
        const qint64 remaining = deadline.remainingTime();
        const int timeout =
            remaining < 0 ? -1 : static_cast<int>(std::min<qint64>(remaining, INT_MAX));
        pollfd entry = {pidfd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, timeout);
        if (ready > 0) {
            if ((entry.revents & POLLIN) != 0)
                return {WaitStatus::Ended, kWaitObject0, 0};
            return {WaitStatus::Failed, kWaitFailed,
                    static_cast<ErrorCode>((entry.revents & POLLNVAL) != 0 ? EBADF : EIO)};
        }
        if (ready == 0)
            return {WaitStatus::TimedOut, kWaitTimeout, 0};
        if (errno != EINTR)
            return {WaitStatus::Failed, kWaitFailed, lastError()};
    }
}

pid_t waitForChild(pid_t pid, int& status) {
    pid_t result;
    do {
        result = ::waitpid(pid, &status, 0);
    } while (result < 0 && errno == EINTR);
    return result;
}

// A process that is not our child: it can be waited for, but its exit code is not ours to read.
class ForeignProcess final : public process_control::WaitableProcess {
public:
    explicit ForeignProcess(int pidfd) : pidfd_(pidfd) {}
    WaitResult wait(unsigned long limitMs) override { return waitOnPidfd(pidfd_.get(), limitMs); }
    bool exitCode(unsigned long&, ErrorCode& error) override {
        error = ECHILD;
        return false;
    }

private:
    OwnedFd pidfd_;
};

// A child started by this process; reading its exit code reaps it.
class ChildProcess final : public process_control::WaitableProcess {
public:
    ChildProcess(pid_t pid, int pidfd) : pid_(pid), pidfd_(pidfd) {}
    WaitResult wait(unsigned long limitMs) override { return waitOnPidfd(pidfd_.get(), limitMs); }
    bool exitCode(unsigned long& code, ErrorCode& error) override {
        int status = 0;
        if (waitForChild(pid_, status) < 0) {
            error = lastError();
            return false;
        }
        code = process_control::posix::exitCodeFromWaitStatus(status);
        return true;
    }

private:
    pid_t pid_;
    OwnedFd pidfd_;
};

// A child that has already been waited for and reaped.
class EndedProcess final : public process_control::WaitableProcess {
public:
    explicit EndedProcess(unsigned long exitCode) : exitCode_(exitCode) {}
    WaitResult wait(unsigned long) override { return {WaitStatus::Ended, kWaitObject0, 0}; }
    bool exitCode(unsigned long& code, ErrorCode&) override {
        code = exitCode_;
        return true;
    }

private:
    unsigned long exitCode_;
};

struct Spawned {
    pid_t pid = -1;
    ErrorCode error = 0;
};

// The descriptor number under which a started program finds the held installer.
constexpr int kHeldProgramFd = 3;

// Starts a command as a POSIX shell does: the program as it is, with no search of PATH, and a
// file that the kernel refuses with ENOEXEC run as a script by /bin/sh, as execvp() does. With a
// held program descriptor (programFd >= 0), what runs is that descriptor's file (fexecve), and
// the shell reads the script from it too, as /proc/self/fd/3: no path is looked up again, so what
// runs is what was checked. commandLine[0] is then only the name the program sees as argv[0].
// The child inherits the current directory and environment, but not the updater's standard
// streams: like an elevated program on Windows it gets none of its starter's console, so a host
// that has closed its end of a pipe cannot kill the installer with SIGPIPE. Its streams are
// /dev/null. Exec failures travel back through a close-on-exec pipe, so a program that cannot be
// started is reported as not started.
Spawned spawnLikeShell(const QStringList& commandLine, int programFd) {
    std::vector<QByteArray> storage;
    for (const QString& argument : commandLine)
        storage.push_back(QFile::encodeName(argument));
    std::vector<char*> argv;
    for (QByteArray& argument : storage)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    char shellPath[] = "/bin/sh";
    char heldPath[] = "/proc/self/fd/3"; // kHeldProgramFd
    char* shellArgv[] = {shellPath, programFd >= 0 ? heldPath : argv[0], nullptr};

    Spawned spawned;
    const OwnedFd nullDevice(::open("/dev/null", O_RDWR | O_CLOEXEC));
    if (nullDevice.get() < 0) {
        spawned.error = lastError();
        return spawned;
    }
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        spawned.error = lastError();
        return spawned;
    }
    const pid_t pid = ::fork();
    if (pid < 0) {
        spawned.error = lastError();
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        return spawned;
    }
    if (pid == 0) {
        // Only async-signal-safe calls from here on. The held descriptor first moves out of the
        // way of the standard streams; dup2() leaves the copies open across exec.
        const int held = programFd >= 0 ? ::fcntl(programFd, F_DUPFD_CLOEXEC, 10) : -1;
        for (int stream = 0; stream <= 2; ++stream)
            ::dup2(nullDevice.get(), stream);
        if (held >= 0 && ::dup2(held, kHeldProgramFd) == kHeldProgramFd)
            ::fexecve(kHeldProgramFd, argv.data(), environ);
        else if (programFd < 0)
            ::execv(argv[0], argv.data());
        if (errno == ENOEXEC)
            ::execv(shellPath, shellArgv);
        const int error = errno;
        [[maybe_unused]] const ssize_t written = ::write(pipeFds[1], &error, sizeof(error));
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    int childError = 0;
    ssize_t received;
    do {
        received = ::read(pipeFds[0], &childError, sizeof(childError));
    } while (received < 0 && errno == EINTR);
    ::close(pipeFds[0]);
    if (received == static_cast<ssize_t>(sizeof(childError))) {
        int status = 0;
        waitForChild(pid, status);
        spawned.error = static_cast<ErrorCode>(childError);
        return spawned;
    }
    spawned.pid = pid;
    return spawned;
}

// The C library's description of an errno value; empty for a code it does not know.
QString systemErrorText(ErrorCode code) {
    if (code > static_cast<ErrorCode>(INT_MAX))
        return QString();
#if defined(__GLIBC__)
    // The untranslated description, and null (rather than "Unknown error N") for an unknown code.
    const char* text = ::strerrordesc_np(static_cast<int>(code));
    return text != nullptr ? QString::fromUtf8(text) : QString();
#else
    char buffer[256] = {};
    if (::strerror_r(static_cast<int>(code), buffer, sizeof(buffer)) != 0)
        return QString();
    return QString::fromLocal8Bit(buffer);
#endif
}

class PosixProcessPlatform final : public process_control::ProcessPlatform {
public:
    OpenResult openProcess(long long processId) const override {
        OpenResult result;
        // An identifier beyond the range of pid_t names no process.
        if (processId <= 0 || processId > std::numeric_limits<pid_t>::max()) {
            result.status = OpenStatus::NoSuchProcess;
            result.error = ESRCH;
            return result;
        }
        const int pidfd = openPidfd(static_cast<pid_t>(processId));
        if (pidfd < 0) {
            result.error = lastError();
            result.status = result.error == ESRCH ? OpenStatus::NoSuchProcess : OpenStatus::Failed;
            return result;
        }
        result.status = OpenStatus::Opened;
        result.process = std::make_unique<ForeignProcess>(pidfd);
        return result;
    }

    StartResult startElevated(const InstallerFile& installer) const override {
        const bool runningAsRoot = ::geteuid() == 0;
        const int held = static_cast<int>(installer.nativeHandle());
        // As root the sealed copy itself is executed. pkexec, a process of its own, reaches it
        // through this process's descriptor in /proc, never through the staged path.
        const QString program = runningAsRoot
                                    ? installer.path()
                                    : process_control::posix::heldDescriptorPath(::getpid(), held);
        const Spawned spawned =
            spawnLikeShell(process_control::posix::elevatedCommandLine(program, runningAsRoot),
                           runningAsRoot ? held : -1);
        StartResult result;
        if (spawned.pid < 0) {
            result.error = spawned.error;
            return result;
        }
        if (runningAsRoot) {
            result.status = StartStatus::Started;
            // Without a pidfd the child cannot be waited for here: started, but no handle.
            const int pidfd = openPidfd(spawned.pid);
            if (pidfd >= 0)
                result.process = std::make_unique<ChildProcess>(spawned.pid, pidfd);
            return result;
        }

        // Through pkexec, authentication and the program's run are one process. Only its end
        // tells a dismissed or refused authentication apart from a started program, so it is
        // waited for here and handed on as an ended process.
        int status = 0;
        if (waitForChild(spawned.pid, status) < 0) {
            result.error = lastError();
            return result;
        }
        const process_control::posix::AuthenticatedRun run =
            process_control::posix::authenticatedRunOutcome(status);
        result.status = run.status;
        result.error = run.error;
        if (run.status == StartStatus::Started)
            result.process = std::make_unique<EndedProcess>(run.exitCode);
        return result;
    }

    QString errorMessage(ErrorCode code) const override {
        return process_control::errorMessageText(code, &systemErrorText);
    }
};

} // namespace

const process_control::ProcessPlatform& process_control::systemProcessPlatform() {
    static const PosixProcessPlatform platform;
    return platform;
}
