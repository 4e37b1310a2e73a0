#include "daemon/memcard.h"

#include "daemon/events.h"
#include "support/com.h"
#include "support/lock.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/ioctl.h>
#include <termios.h>
#include <syslog.h>
#include <unistd.h>

namespace {

constexpr const char *CONTROL_PORT = "/dev/ttyS1";
constexpr int LOCK_WAIT_S = 1;
constexpr const char *CARD_SCRIPT = "/opt/Velmora/etc/memCard";
// The card needs time to power up after DTR rises, and to settle after the
// unmount before its power goes.
constexpr unsigned POWER_UP_S = 15;
constexpr unsigned POWER_DOWN_S = 5;

int card_script(const char *action, int stoppable)
{
    char command[128];
    std::snprintf(command, sizeof command, "%s %s", CARD_SCRIPT, action);
    return events_run(command, stoppable);
}

bool set_dtr(int fd, bool raised)
{
    int bits = TIOCM_DTR;
    return ioctl(fd, raised ? TIOCMBIS : TIOCMBIC, &bits) == 0;
}

} // namespace

int memCardInit()
{
    if (!lock(CONTROL_PORT, LOCK_WAIT_S)) {
        if (errno == EBUSY)
            syslog(LOG_ERR, "device ttyS1 is locked");
        else
            syslog(LOG_ERR, "cannot lock ttyS1: no lock file can be made in /var/lock: %s",
                   std::strerror(errno));
        return -1;
    }
    // Nothing is ever sent on the line, so it stays at speed 0: a UART
    // raises DTR when its speed leaves 0, which would power the card for a
    // moment at every start.
    int fd = com_open(CONTROL_PORT, 0, 8, "N", 1);
    if (fd < 0)
        return -1;
    if (!set_dtr(fd, false)) {
        syslog(LOG_ERR, "ioctl umount error");
        return -1;
    }
    return fd;
}

int memCardMount(int fd)
{
    if (!set_dtr(fd, true)) {
        syslog(LOG_ERR, "ioctl mount error");
        return 1;
    }
    if (!events_pause(POWER_UP_S, 1))
        return 1;
    return card_script("mount", 1);
}

int memCardUmount(int fd)
{
    // Never cut short: the release is what a stop asks for.
    if (card_script("umount", 0) != 0) {
        // The card may still be mounted, so it keeps its power: the port's
        // close when the daemon ends must not drop DTR.
        struct termios tio;
        if (tcgetattr(fd, &tio) == 0) {
            tio.c_cflag &= ~static_cast<tcflag_t>(HUPCL);
            tcsetattr(fd, TCSANOW, &tio);
        }
        return 1;
    }
    events_pause(POWER_DOWN_S, 0);
    if (!set_dtr(fd, false)) {
        syslog(LOG_ERR, "ioctl umount error");
        return 1;
    }
    return 0;
}

int memCardPowerOff(int fd)
{
    if (!set_dtr(fd, false)) {
        syslog(LOG_ERR, "ioctl umount error");
        return 1;
    }
    return 0;
}

void memCardUnlock()
{
    unlock(CONTROL_PORT);
}

void memCardShutdown(int fd)
{
    // A UART raises DTR when it is opened at any speed but 0, and when its
    // speed leaves 0: left at 0, the next start of the daemon opens it
    // without powering the card.
    struct termios tio;
    if (tcgetattr(fd, &tio) == 0) {
        cfsetospeed(&tio, B0);
        cfsetispeed(&tio, B0);
        tcsetattr(fd, TCSANOW, &tio);
    }
}
