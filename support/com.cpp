#include "support/com.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <syslog.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr size_t REPLY_MAX = 8191;
constexpr size_t TAKE_IN_MAX = 65536;
constexpr int QUIET_MS = 200;
// A long command is cut in the log, not on the line.
constexpr int LOGGED_COMMAND_MAX = 200;

char buffer[REPLY_MAX + 1];

// poll() rather than select(): FD_SET on a descriptor numbered 1024 or more
// writes past the set.
bool ready_within(int fd, short events, int ms)
{
    struct pollfd p = {fd, events, 0};
    return poll(&p, 1, ms) > 0;
}

// The descriptor is non-blocking, so a long command or a port held back by
// flow control takes several writes; false with errno when it cannot go on.
bool write_all(int fd, const char *data, size_t len, int timeout_ms)
{
    size_t done = 0;
    while (done < len) {
        ssize_t n = write(fd, data + done, len - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            return false;
        if (!ready_within(fd, POLLOUT, timeout_ms)) {
            errno = ETIMEDOUT;
            return false;
        }
    }
    return true;
}

speed_t line_speed(unsigned baud)
{
    switch (baud) {
    case 0: return B0;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    default: return B9600;
    }
}

} // namespace

int com_open(const char *device, unsigned baud, int databits, const char *parity, int stopbits)
{
    int fd = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_DSYNC);
    if (fd < 0) {
        syslog(LOG_ERR, "open(%s) error: %s", device, std::strerror(errno));
        return -1;
    }

    speed_t speed = line_speed(baud);
    struct termios tio;
    std::memset(&tio, 0, sizeof tio);
    tcgetattr(fd, &tio);

    tcflag_t cflag = speed | (databits == 7 ? CS7 : CS8) | CREAD | HUPCL | CLOCAL;
    if (stopbits == 2)
        cflag |= CSTOPB;
    if (parity[0] == 'O')
        cflag |= PARENB | PARODD;
    else if (parity[0] == 'E')
        cflag |= PARENB;
    tio.c_cflag = cflag;
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    tio.c_iflag = IGNBRK | IGNPAR;
    tio.c_oflag = 0;
    tio.c_lflag = 0;

    if (tcsetattr(fd, TCSANOW, &tio) < 0)
        syslog(LOG_ERR, "tcsetattr(%s) error: %s", device, std::strerror(errno));
    return fd;
}

const char *com_send(int fd, const char *command, int timeout, com_result_t *result)
{
    const int timeout_ms = timeout > INT_MAX / 1000 ? INT_MAX : timeout < 0 ? 0 : timeout * 1000;
    bool sent = write_all(fd, command, std::strlen(command), timeout_ms);
    if (!sent)
        syslog(LOG_ERR, "write (\"%.*s\") error: %s", LOGGED_COMMAND_MAX, command,
               std::strerror(errno));

    std::memset(buffer, 0, sizeof buffer);
    size_t received = 0;
    char discard[128];
    bool ready = ready_within(fd, POLLIN, timeout_ms);
    while (ready) {
        ssize_t n = received < REPLY_MAX ? read(fd, buffer + received, REPLY_MAX - received)
                                         : read(fd, discard, sizeof discard);
        if (n <= 0)
            break;
        received += static_cast<size_t>(n);
        if (received >= TAKE_IN_MAX)
            break;
        // A device that trickles a byte or two at a time is still answering.
        ready = ready_within(fd, POLLIN, n > 2 ? QUIET_MS : timeout_ms);
    }
    if (result)
        *result = {std::min(received, REPLY_MAX), sent};
    return buffer;
}
