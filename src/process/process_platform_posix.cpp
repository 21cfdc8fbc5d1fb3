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

ProgramKind classifyProgram(QByteArrayView head) {
    if (head.startsWith("\x7f"
                        "ELF"))
        return ProgramKind::Elf;
    if (head.startsWith("#!"))
        return ProgramKind::HashBang;
    // As a shell tells a binary file from a script: a NUL byte before the first line feed.
    const qsizetype lineEnd = head.indexOf('\n');
    return head.first(lineEnd < 0 ? head.size() : lineEnd).contains('\0')
               ? ProgramKind::NotAProgram
               : ProgramKind::ShellScript;
}

std::optional<StartCommand> startCommand(ProgramKind kind, bool runningAsRoot,
                                         const QString& programName, const QString& heldCopyPath) {
    const QString shell = QStringLiteral("/bin/sh");
    StartCommand command;
    switch (kind) {
    case ProgramKind::NotAProgram:
        return std::nullopt;
    case ProgramKind::Elf:
    case ProgramKind::HashBang:
        command.executesHeldCopy = runningAsRoot;
        command.arguments = {runningAsRoot ? programName : heldCopyPath};
        break;
    case ProgramKind::ShellScript:
        command.arguments = {shell, heldCopyPath};
        break;
    }
    if (!runningAsRoot)
        command.arguments =
            QStringList{QString::fromLatin1(kPkexecPath), QStringLiteral("--keep-cwd")} +
            command.arguments;
    return command;
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
using process_control::ExitStatus;
using process_control::OpenResult;
using process_control::OpenStatus;
using process_control::StartResult;
using process_control::StartStatus;
using process_control::WaitResult;
using process_control::WaitStatus;
using namespace process_control::posix;

ErrorCode lastError() {
    return static_cast<ErrorCode>(errno);
}

// A descriptor that refers to a process and becomes readable when it ends. Called through
// syscall(), as C libraries before glibc 2.36 have no wrapper.
int openPidfd(pid_t pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

// One wait without polling: poll() sleeps until the pidfd reports the end or the deadline
// passes. A signal that interrupts the sleep resumes it with the time that is left.
WaitResult waitOnPidfd(int pidfd, QDeadlineTimer deadline) {
    for (;;) {
        const qint64 remaining = deadline.remainingTime();
        const int timeout =
            remaining < 0 ? -1 : static_cast<int>(std::min<qint64>(remaining, INT_MAX));
        pollfd entry = {pidfd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, timeout);
        if (ready > 0) {
            if ((entry.revents & POLLIN) != 0)
                return {WaitStatus::Ended, 0};
            return {WaitStatus::Failed,
                    static_cast<ErrorCode>((entry.revents & POLLNVAL) != 0 ? EBADF : EIO)};
        }
        if (ready == 0)
            return {WaitStatus::TimedOut, 0};
        if (errno != EINTR)
            return {WaitStatus::Failed, lastError()};
    }
}

pid_t waitForChild(pid_t pid, int& status) {
    pid_t result;
    do {
        result = ::waitpid(pid, &status, 0);
    } while (result < 0 && errno == EINTR);
    return result;
}

// A process that can be waited for through a pidfd; a child also has its exit code read (which
// reaps it), a process that is not our child has none for us.
class PidfdProcess final : public process_control::WaitableProcess {
public:
    PidfdProcess(int pidfd, pid_t child) : pidfd_(pidfd), child_(child) {}
    WaitResult wait(unsigned long limitMs) override {
        return waitOnPidfd(pidfd_.get(), QDeadlineTimer(static_cast<qint64>(limitMs)));
    }
    WaitResult waitWithoutLimit() override {
        return waitOnPidfd(pidfd_.get(), QDeadlineTimer(QDeadlineTimer::Forever));
    }
    ExitStatus exitStatus() override {
        int status = 0;
        if (child_ <= 0)
            return {false, 1, ECHILD};
        if (waitForChild(child_, status) < 0)
            return {false, 1, lastError()};
        return {true, exitCodeFromWaitStatus(status), 0};
    }

private:
    OwnedHandle pidfd_;
    pid_t child_; // 0: not our child
};

// A child that has already been waited for and reaped.
class EndedProcess final : public process_control::WaitableProcess {
public:
    explicit EndedProcess(unsigned long exitCode) : exitCode_(exitCode) {}
    WaitResult wait(unsigned long) override { return {WaitStatus::Ended, 0}; }
    WaitResult waitWithoutLimit() override { return {WaitStatus::Ended, 0}; }
    ExitStatus exitStatus() override { return {true, exitCode_, 0}; }

private:
    unsigned long exitCode_;
};

// The descriptor number under which a started program finds the held installer: the copy that
// fexecve() runs, or the file that /bin/sh reads as /proc/self/fd/3.
constexpr int kHeldProgramFd = 3;

StartResult startFailure(ErrorCode error, const char* call) {
    StartResult result;
    result.error = error;
    result.failedCall = QString::fromLatin1(call);
    return result;
}

struct Spawned {
    pid_t pid = -1;
    StartResult failure; // when pid < 0
};

// Starts the command in "/", a directory that the user cannot write to, with the held copy as
// descriptor 3. The child inherits the environment, but not the updater's standard streams: like
// an elevated program on Windows it gets none of its starter's console, so a host that has closed
// its end of a pipe cannot kill the installer with SIGPIPE. Its streams are /dev/null. Exec
// failures travel back through a close-on-exec pipe, so a program that cannot be started is
// reported as not started, with the call that failed.
Spawned spawn(const StartCommand& command, int heldCopy) {
    std::vector<QByteArray> storage;
    for (const QString& argument : command.arguments)
        storage.push_back(QFile::encodeName(argument));
    std::vector<char*> argv;
    for (QByteArray& argument : storage)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    Spawned spawned;
    const OwnedHandle nullDevice(::open("/dev/null", O_RDWR | O_CLOEXEC));
    if (!nullDevice) {
        spawned.failure = startFailure(lastError(), "open");
        return spawned;
    }
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        spawned.failure = startFailure(lastError(), "pipe2");
        return spawned;
    }
    const OwnedHandle reader(pipeFds[0]);
    OwnedHandle writer(pipeFds[1]);
    const pid_t pid = ::fork();
    if (pid < 0) {
        spawned.failure = startFailure(lastError(), "fork");
        return spawned;
    }
    if (pid == 0) {
        // Only async-signal-safe calls from here on. The held descriptor first moves out of the
        // way of the standard streams; dup2() leaves the copy open across exec.
        const int held = ::fcntl(heldCopy, F_DUPFD_CLOEXEC, 10);
        for (int stream = 0; stream <= 2; ++stream)
            ::dup2(nullDevice.get(), stream);
        if (held >= 0 && ::dup2(held, kHeldProgramFd) == kHeldProgramFd && ::chdir("/") == 0) {
            if (command.executesHeldCopy)
                ::fexecve(kHeldProgramFd, argv.data(), environ);
            else
                ::execv(argv[0], argv.data());
        }
        const int error = errno;
        [[maybe_unused]] const ssize_t written = ::write(writer.get(), &error, sizeof(error));
        ::_exit(127);
    }
    writer.reset();
    int childError = 0;
    ssize_t received;
    do {
        received = ::read(reader.get(), &childError, sizeof(childError));
    } while (received < 0 && errno == EINTR);
    if (received == static_cast<ssize_t>(sizeof(childError))) {
        int status = 0;
        waitForChild(pid, status);
        spawned.failure = startFailure(static_cast<ErrorCode>(childError),
                                       command.executesHeldCopy ? "fexecve" : "execv");
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
        result.process = std::make_unique<PidfdProcess>(pidfd, 0);
        return result;
    }

    StartResult startElevated(const InstallerFile& installer) const override {
        char head[128] = {};
        const qint64 read = installer.readAt(0, head, sizeof head);
        const bool runningAsRoot = ::geteuid() == 0;
        const int held = installer.nativeHandle();
        // As root the copy is executed, or read by /bin/sh, as descriptor 3 of the child. pkexec,
        // a process of its own, reaches it through this process's descriptor in /proc, never
        // through the staged path.
        const std::optional<StartCommand> command = startCommand(
            classifyProgram(QByteArrayView(head, std::max<qint64>(read, 0))), runningAsRoot,
            installer.path(),
            runningAsRoot ? QStringLiteral("/proc/self/fd/%1").arg(kHeldProgramFd)
                          : QStringLiteral("/proc/%1/fd/%2").arg(::getpid()).arg(held));
        // The kernel would refuse the file (ENOEXEC), and a shell must not run its bytes.
        if (!command)
            return startFailure(ENOEXEC, "execve");
        Spawned spawned = spawn(*command, held);
        if (spawned.pid < 0)
            return std::move(spawned.failure);
        StartResult result;
        if (runningAsRoot) {
            result.status = StartStatus::Started;
            // Without a pidfd the child cannot be waited for here: started, but no handle.
            const int pidfd = openPidfd(spawned.pid);
            if (pidfd >= 0)
                result.process = std::make_unique<PidfdProcess>(pidfd, spawned.pid);
            return result;
        }

        // Through pkexec, authentication and the program's run are one process. Only its end
        // tells a dismissed or refused authentication apart from a started program, so it is
        // waited for here and handed on as an ended process.
        int status = 0;
        if (waitForChild(spawned.pid, status) < 0)
            return startFailure(lastError(), "waitpid");
        const AuthenticatedRun run = authenticatedRunOutcome(status);
        result.status = run.status;
        result.error = run.error;
        if (run.status == StartStatus::Started)
            result.process = std::make_unique<EndedProcess>(run.exitCode);
        else
            result.failedCall = QStringLiteral("pkexec");
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
