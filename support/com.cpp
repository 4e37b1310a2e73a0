#include "support/com.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <syslog.h>
#include <termios.h>
#include <unistd.h>

namespace {

speed_t line_speed(unsigned baud)
{
    switch (baud) {
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
