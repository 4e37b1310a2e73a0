#include "support/lock.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char *LOCK_FORMAT = "/var/lock/LCK..%s";
constexpr long PAUSE_NS = 100000000;
constexpr int HELD_MAX = 8;

// The locks this process holds, each with its file kept open under flock().
struct held_t {
    char path[64];
    int fd = -1;
};
held_t held[HELD_MAX];

void lock_path(char (&path)[64], const char *device)
{
    const char *slash = std::strrchr(device, '/');
    std::snprintf(path, sizeof path, LOCK_FORMAT, slash ? slash + 1 : device);
}

// false with errno EEXIST when the file is there (or was, for a moment),
// else with why it cannot be made.
bool create(const char *path)
{
    held_t *slot = std::find_if(std::begin(held), std::end(held), [](const held_t &h) { return h.fd < 0; });
    if (slot == std::end(held)) {
        errno = EMFILE;
        return false;
    }
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    // Held for as long as the file is ours: a taker of ours removes a file
    // only while it holds its flock, so it can never remove this one. The
    // directory is world-writable: a file someone else flocked in the moment
    // since it was made is given up, and the caller's wait goes on.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        unlink(path);
        close(fd);
        errno = EEXIST;
        return false;
    }
    // Other programs must be able to read the owner whatever our umask.
    fchmod(fd, 0644);
    char pid[16];
    int len = std::snprintf(pid, sizeof pid, "%10d\n", static_cast<int>(getpid()));
    // An empty lock file never turns stale, so it would hold the device
    // forever: better no lock file than that.
    if (write(fd, pid, static_cast<size_t>(len)) != len) {
        int why = errno;
        unlink(path);
        close(fd);
        errno = why ? why : ENOSPC;
        return false;
    }
    std::snprintf(slot->path, sizeof slot->path, "%s", path);
    slot->fd = fd;
    return true;
}

// The owner's pid, or 0 when there is none to test.
int owner(int fd)
{
    char text[32];
    ssize_t n = read(fd, text, sizeof text - 1);
    if (n <= 0)
        return 0;
    text[n] = '\0';
    char *end;
    // strtoll: a 32-bit long would saturate a huge number into INT_MAX, a
    // pid that does not exist, and the lock would be taken as stale.
    long long pid = std::strtoll(text, &end, 10);
    return end != text && pid > 0 && pid <= INT_MAX ? static_cast<int>(pid) : 0;
}

// Removes the lock file when its owner is gone. Two takers that both read
// the same dead pid would otherwise both remove: the second one the lock
// the first has just made. So the file is removed only under its flock and
// only while the path still names it. The lock directory is world-writable:
// a FIFO would block a plain open and a symlink could point anywhere, so
// only a regular file is read.
bool remove_if_stale(const char *path)
{
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat opened, named;
    bool removed = false;
    if (fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == 0 &&
        lstat(path, &named) == 0 && named.st_ino == opened.st_ino && named.st_dev == opened.st_dev) {
        int pid = owner(fd);
        // Our own pid is a lock left by an earlier life of this pid, before a
        // reboot that kept /var/lock: we have not taken it yet.
        if (pid > 0 && (pid == getpid() || (kill(pid, 0) < 0 && errno == ESRCH)))
            removed = unlink(path) == 0;
    }
    close(fd);
    return removed;
}

} // namespace

int lock(const char *device, int timeout)
{
    char path[64];
    lock_path(path, device);
    time_t deadline = time(nullptr) + timeout;

    for (;;) {
        errno = 0;
        if (create(path))
            return 1;
        // Only a file that is there can be waited for: a lock directory
        // that is missing or read-only stays so, however long we wait.
        if (errno != EEXIST)
            return 0;
        if (!remove_if_stale(path)) {
            struct timespec pause = {0, PAUSE_NS};
            nanosleep(&pause, nullptr);
        }
        if (time(nullptr) > deadline) {
            errno = EBUSY;
            return 0;
        }
    }
}

int unlock(const char *device)
{
    char path[64];
    lock_path(path, device);
    int removed = unlink(path);
    for (held_t &h : held) {
        if (h.fd >= 0 && std::strcmp(h.path, path) == 0) {
            close(h.fd);
            h.fd = -1;
        }
    }
    return removed;
}
