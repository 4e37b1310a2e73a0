#include "support/com.h"

#include <cerrno>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

namespace {

// A pseudo-terminal forces 8 data bits and no parity whatever it is asked,
// so the line settings are checked as com_open() hands them to the system.
termios requested;
bool refuse_line_settings = false;

} // namespace

extern "C" int tcsetattr(int fd, int action, const struct termios *tio) noexcept
{
    requested = *tio;
    if (refuse_line_settings) {
        errno = EINVAL;
        return -1;
    }
    using real_t = int (*)(int, int, const struct termios *);
    static auto real = reinterpret_cast<real_t>(dlsym(RTLD_NEXT, "tcsetattr"));
    return real(fd, action, tio);
}

namespace {

// The slave side of a fresh pseudo-terminal stands in for the serial port.
class PseudoTerminal : public ::testing::Test {
protected:
    void SetUp() override
    {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        slave = ptsname(master);
    }
    void TearDown() override
    {
        if (port >= 0)
            close(port);
        close(master);
    }

    termios open_with(unsigned baud, int databits, const char *parity, int stopbits)
    {
        port = com_open(slave.c_str(), baud, databits, parity, stopbits);
        EXPECT_GE(port, 0);
        return requested;
    }

    int master = -1;
    int port = -1;
    std::string slave;
};

constexpr tcflag_t ALWAYS = CREAD | HUPCL | CLOCAL;
constexpr tcflag_t FRAME = CSIZE | CSTOPB | PARENB | PARODD | CREAD | HUPCL | CLOCAL;

TEST_F(PseudoTerminal, DefaultLineIsRaw8N1)
{
    termios tio = open_with(9600, 8, "N", 1);
    EXPECT_EQ(tio.c_cflag, B9600 | CS8 | ALWAYS) << "control flags are replaced entirely";
    EXPECT_EQ(cfgetispeed(&tio), B9600);
    EXPECT_EQ(tio.c_iflag, static_cast<tcflag_t>(IGNBRK | IGNPAR));
    EXPECT_EQ(tio.c_oflag, 0u);
    EXPECT_EQ(tio.c_lflag, 0u);

    // What the terminal really took, as far as a pseudo-terminal keeps it.
    termios set{};
    ASSERT_EQ(tcgetattr(port, &set), 0);
    EXPECT_EQ(cfgetospeed(&set), B9600);
    EXPECT_EQ(set.c_lflag & (ECHO | ICANON | ISIG), 0u) << "echo or canonical mode left on";
    EXPECT_EQ(set.c_oflag & OPOST, 0u);
    EXPECT_EQ(set.c_cflag & (CLOCAL | HUPCL | CREAD), ALWAYS);
    EXPECT_TRUE(fcntl(port, F_GETFL) & O_NONBLOCK);
}

TEST_F(PseudoTerminal, RefusedLineSettingsAreLoggedAndThePortStillOpens)
{
    refuse_line_settings = true;
    port = com_open(slave.c_str(), 115200, 8, "N", 1);
    refuse_line_settings = false;
    EXPECT_GE(port, 0);
}

TEST_F(PseudoTerminal, SevenDataBitsTwoStopBitsAndParity)
{
    termios tio = open_with(19200, 7, "E", 2);
    EXPECT_EQ(tio.c_cflag & FRAME, CS7 | CSTOPB | PARENB | ALWAYS);
    EXPECT_EQ(cfgetospeed(&tio), B19200);
    close(port);
    tio = open_with(19200, 7, "O", 2);
    EXPECT_EQ(tio.c_cflag & FRAME, CS7 | CSTOPB | PARENB | PARODD | ALWAYS);
}

TEST_F(PseudoTerminal, ParityLettersAreCaseSensitive)
{
    for (const char *parity : {"o", "e", "N", "", "Even"}) {
        termios tio = open_with(9600, 8, parity, 1);
        tcflag_t expected = CS8 | ALWAYS | (parity[0] == 'E' ? PARENB : 0);
        EXPECT_EQ(tio.c_cflag & FRAME, expected) << "parity '" << parity << "'";
        close(port);
        port = -1;
    }
}

TEST_F(PseudoTerminal, SpeedTableItsFallbackTo9600AndZeroForAHungUpLine)
{
    const std::pair<unsigned, speed_t> table[] = {
        {300, B300}, {600, B600}, {1200, B1200}, {2400, B2400}, {4800, B4800},
        {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600},
        {115200, B115200}, {230400, B230400}, {1800, B9600}, {56000, B9600}, {0, B0}};
    for (auto [baud, speed] : table) {
        termios tio = open_with(baud, 8, "N", 1);
        EXPECT_EQ(cfgetospeed(&tio), speed) << baud << " baud";
        close(port);
        port = -1;
    }
    for (unsigned baud : COM_BAUD_RATES) {
        termios tio = open_with(baud, 8, "N", 1);
        EXPECT_TRUE(baud == 9600 || cfgetospeed(&tio) != B9600)
            << baud << " baud is offered by velmora-com but set as 9600";
        close(port);
        port = -1;
    }
}

TEST(ComOpen, MissingDeviceGivesMinusOne)
{
    EXPECT_EQ(com_open("/dev/velmora-no-such-port", 115200, 8, "N", 1), -1);
}

} // namespace
