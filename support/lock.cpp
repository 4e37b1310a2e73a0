#include "support/lock.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char *LOCK_FORMAT = "/var/lock/LCK..%s";
constexpr long PAUSE_NS = 100000000;

void lock_path(char (&path)[64], const char *device)
{
    const char *slash = std::strrchr(device, '/');
    std::snprintf(path, sizeof path, LOCK_FORMAT, slash ? slash + 1 : device);
}

bool create(const char *path)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd < 0)
        return false;
    // Other programs must be able to read the owner whatever our umask.
    fchmod(fd, 0644);
    char pid[16];
    int len = std::snprintf(pid, sizeof pid, "%10d\n", static_cast<int>(getpid()));
    bool written = write(fd, pid, static_cast<size_t>(len)) == len;
    close(fd);
    // An empty lock file never turns stale, so it would hold the device
    // forever: better no lock file than that.
    if (!written)
        unlink(path);
    return written;
}

// The owner's pid, or 0 when there is none to test. The lock directory is
// world-writable: a FIFO would block a plain open and a symlink could point
// anywhere, so only a regular file is read.
int owner(const char *path)
{
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return 0;
    struct stat st;
    char text[32];
    ssize_t n = -1;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0)
        return 0;
    text[n] = '\0';
    char *end;
    // strtoll: a 32-bit long would saturate a huge number into INT_MAX, a
    // pid that does not exist, and the lock would be taken as stale.
    long long pid = std::strtoll(text, &end, 10);
    return end != text && pid > 0 && pid <= INT_MAX ? static_cast<int>(pid) : 0;
}

} // namespace

int lock(const char *device, int timeout)
{
    char path[64];
    lock_path(path, device);
    time_t deadline = time(nullptr) + timeout;

    for (;;) {
        if (create(path))
            return 1;
        int pid = owner(path);
        // Our own pid in the file is a lock left by an earlier life of this
        // pid, before a reboot that kept /var/lock: we have not taken it yet.
        if (pid > 0 && (pid == getpid() || (kill(pid, 0) < 0 && errno == ESRCH))) {
            unlink(path);
        } else {
            struct timespec pause = {0, PAUSE_NS};
            nanosleep(&pause, nullptr);
        }
        if (time(nullptr) > deadline)
            return 0;
    }
}

int unlock(const char *device)
{
    char path[64];
    lock_path(path, device);
    return unlink(path);
}
