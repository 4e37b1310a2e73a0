#include "daemon/status.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

namespace {

constexpr const char *STATUS_FILE = "/run/velmorad.status";
constexpr const char *STATUS_TEMP = "/run/velmorad.status.new";

std::string state;
std::string last;
int notify_fd = -1;
struct sockaddr_un notify_to;
socklen_t notify_len = 0;
bool file_failed = false;

std::string local(time_t t, const char *format)
{
    struct tm tm;
    localtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, format, &tm);
    return text;
}

void notify(const std::string &message)
{
    if (notify_fd >= 0)
        sendto(notify_fd, message.data(), message.size(), MSG_NOSIGNAL,
               reinterpret_cast<const struct sockaddr *>(&notify_to), notify_len);
}

std::string line()
{
    return state + "; last upload " + last;
}

void publish(const char *extra = "")
{
    std::string text = line();
    std::string content = text + "\n";
    int fd = open(STATUS_TEMP, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = fd >= 0 && write(fd, content.data(), content.size()) ==
                             static_cast<ssize_t>(content.size());
    if (fd >= 0)
        ok = close(fd) == 0 && ok;
    ok = ok && rename(STATUS_TEMP, STATUS_FILE) == 0;
    if (!ok && !file_failed) {
        // Once: the device goes on uploading without it.
        syslog(LOG_NOTICE, "cannot write %s: %s", STATUS_FILE, std::strerror(errno));
        unlink(STATUS_TEMP);
    }
    file_failed = !ok;
    notify(std::string(extra) + "STATUS=" + text);
}

} // namespace

void status_init()
{
    state = "starting";
    last = "none yet";
    const char *path = std::getenv("NOTIFY_SOCKET");
    if (path && (path[0] == '/' || path[0] == '@') && std::strlen(path) < sizeof notify_to.sun_path) {
        notify_to = {};
        notify_to.sun_family = AF_UNIX;
        std::memcpy(notify_to.sun_path, path, std::strlen(path));
        // An abstract socket's name starts with a zero byte.
        if (path[0] == '@')
            notify_to.sun_path[0] = '\0';
        notify_len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + std::strlen(path));
        notify_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    }
    unsetenv("NOTIFY_SOCKET");
}

void status_next(time_t target)
{
    state = "next upload " + local(target, "%Y-%m-%d %H:%M");
    publish();
}

void status_phase(const char *phase)
{
    state = phase;
    publish();
}

void status_result(time_t started, const char *result)
{
    last = local(started, "%Y-%m-%d %H:%M:%S") + " " + result;
}

void status_ready(time_t target)
{
    state = "next upload " + local(target, "%Y-%m-%d %H:%M");
    publish("READY=1\n");
}

void status_ready_to_end(const char *phase)
{
    state = phase;
    publish("READY=1\n");
}

void status_stopping(const char *phase)
{
    state = phase;
    publish("STOPPING=1\n");
}
