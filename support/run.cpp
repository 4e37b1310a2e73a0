#include "support/run.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Runs in the vfork child: only system calls, no allocation. close_range()
// costs the same whatever the descriptor limit; the loop is for kernels older
// than 5.9 and C libraries without the call.
void close_all_descriptors()
{
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    if (close_range(0, ~0U, 0) == 0)
        return;
#endif
    for (int fd = 0, n = getdtablesize(); fd < n; fd++)
        close(fd);
}

// The child shares this process's memory until it execs, so it only makes
// system calls and never returns from here.
pid_t start(char *const argv[])
{
    pid_t pid = vfork();
    if (pid == 0) {
        setpgid(0, 0);
        // An ignored signal stays ignored across exec, a blocked one blocked.
        for (int sig = 1; sig < NSIG; sig++)
            signal(sig, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        close_all_descriptors();
        // A program started without its standard streams would write into
        // whatever it opens next.
        if (open("/dev/null", O_RDWR | O_NOCTTY) != 0 || dup(0) != 1 || dup(0) != 2)
            _exit(1);
        execvp(argv[0], argv);
        _exit(1);
    }
    return pid;
}

} // namespace

pid_t run_child(const char *path, const char *arg1, const char *arg2)
{
    char *const argv[] = {const_cast<char *>(path), const_cast<char *>(arg1),
                          const_cast<char *>(arg2), nullptr};
    return start(argv);
}

int run(const char *path, const char *arg1, const char *arg2, int wait)
{
    pid_t pid = run_child(path, arg1, arg2);
    if (pid < 0)
        return 1;
    if (!wait)
        return 0;
    int status;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return status;
}
