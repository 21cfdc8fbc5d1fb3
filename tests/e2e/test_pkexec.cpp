// The test's pkexec, for the end-to-end row in which the updater runs as a user without rights: a
// set-user-ID root program that the row binds over /usr/bin/pkexec in a mount namespace of its
// own. It runs its program exactly as polkit's pkexec does once authorisation has been granted:
// as root, "--keep-cwd" keeping the working directory, with execv() and no fallback to a shell (a
// file the kernel refuses is an error, exit 127), and with PR_SET_PDEATHSIG, so that it dies with
// the updater that started it. No authentication agent is asked: the row stands for an
// administrator who has entered the password. Unlike polkit's, it keeps the environment, which
// carries the test installer's instructions (UPDATER_E2E_*); the updater passes nothing through it.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <sys/prctl.h>
#include <unistd.h>

int main(int argc, char** argv) {
    int first = 1;
    if (first < argc && std::strcmp(argv[first], "--keep-cwd") == 0)
        ++first;
    else if (::chdir("/root") != 0 && ::chdir("/") != 0)
        return 127;
    if (first >= argc || argv[first][0] != '/' || ::setresgid(0, 0, 0) != 0 ||
        ::setresuid(0, 0, 0) != 0 || ::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0) {
        std::fprintf(stderr, "test pkexec: cannot run %s as root\n",
                     first < argc ? argv[first] : "");
        return 127;
    }
    ::execv(argv[first], argv + first);
    std::fprintf(stderr, "Error executing command as another user: %s: %s\n", argv[first],
                 std::strerror(errno));
    return 127;
}
