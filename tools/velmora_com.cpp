// velmora-com: sends one command on a serial port and prints the reply, for
// a technician at the device. It takes the port's lock file like every other
// program on the device, so it never talks over the daemon.
#include "support/com.h"
#include "support/lock.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <iterator>
#include <string>
#include <syslog.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int EXIT_REPLY = 0;
constexpr int EXIT_ERROR = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_NO_REPLY = 3;
// Where lock() puts a device's lock file; only read here, to say why a lock
// was not taken.
constexpr const char *LOCK_DIR = "/var/lock";
constexpr const char *LOCK_PREFIX = "/var/lock/LCK..";

std::string speeds()
{
    std::string list;
    for (unsigned baud : COM_BAUD_RATES)
        list += (list.empty() ? "" : ", ") + std::to_string(baud);
    return list;
}

bool supported_speed(long baud)
{
    return std::any_of(std::begin(COM_BAUD_RATES), std::end(COM_BAUD_RATES),
                       [baud](unsigned rate) { return baud == static_cast<long>(rate); });
}

void usage(FILE *out)
{
    std::fprintf(out,
        "usage: velmora-com [--baud N] [--data 7|8] [--parity N|E|O] [--stop 1|2]\n"
        "                   [--timeout S] DEVICE TEXT\n"
        "Sends TEXT on the serial port DEVICE and prints the reply.\n"
        "TEXT and the reply use C escapes: \\r \\n \\t \\\\ \\xHH.\n"
        "Defaults: 115200 baud, 8 data bits, parity N, 1 stop bit, 2 s timeout.\n"
        "Speeds: %s.\n"
        "Exit status: 0 reply printed, 3 no reply within the timeout, 1 error\n"
        "(device locked by another program, cannot be opened or written), 2 wrong usage.\n",
        speeds().c_str());
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// False for an escape it does not know, or a \x00 that the exchange, which
// sends text up to its first zero byte, could not send.
bool unescape(const std::string &in, std::string &out)
{
    for (size_t i = 0; i < in.size(); i++) {
        if (in[i] != '\\') {
            out += in[i];
            continue;
        }
        char c = ++i < in.size() ? in[i] : '\0';
        if (c == 'r') {
            out += '\r';
        } else if (c == 'n') {
            out += '\n';
        } else if (c == 't') {
            out += '\t';
        } else if (c == '\\') {
            out += '\\';
        } else if (c == 'x' && i + 2 < in.size() && hex_digit(in[i + 1]) >= 0 &&
                   hex_digit(in[i + 2]) >= 0) {
            int value = hex_digit(in[i + 1]) * 16 + hex_digit(in[i + 2]);
            if (value == 0)
                return false;
            out += static_cast<char>(value);
            i += 2;
        } else {
            return false;
        }
    }
    return true;
}

std::string escape(const char *text, size_t length)
{
    std::string out;
    const unsigned char *end = reinterpret_cast<const unsigned char *>(text) + length;
    for (const unsigned char *c = reinterpret_cast<const unsigned char *>(text); c < end; c++) {
        if (*c == '\r') {
            out += "\\r";
        } else if (*c == '\n') {
            out += "\\n";
        } else if (*c == '\t') {
            out += "\\t";
        } else if (*c == '\\') {
            out += "\\\\";
        } else if (*c < 0x20 || *c >= 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", *c);
            out += hex;
        } else {
            out += static_cast<char>(*c);
        }
    }
    return out;
}

bool number(const char *text, long lo, long hi, long &value)
{
    char *end;
    value = std::strtol(text, &end, 10);
    return *text && !*end && value >= lo && value <= hi;
}

std::string base_name(const std::string &path)
{
    return path.substr(path.rfind('/') + 1);
}

// The pid in a device's lock file, or 0 when it holds none.
int lock_owner(const std::string &name)
{
    int fd = open((LOCK_PREFIX + name).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return 0;
    char text[32];
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0)
        return 0;
    text[n] = '\0';
    long long pid = std::strtoll(text, nullptr, 10);
    return pid > 0 && pid <= INT_MAX ? static_cast<int>(pid) : 0;
}

// lock() only says it did not get the lock: a technician needs to know
// whether a program holds the port or the lock directory refuses files.
void explain_lock_failure(const std::string &device, const std::string &name)
{
    int pid = lock_owner(name);
    if (pid > 0 && (kill(pid, 0) == 0 || errno == EPERM)) {
        std::fprintf(stderr, "velmora-com: %s is in use by pid %d (lock file %s%s); stop that "
                             "program first, e.g. the upload daemon\n",
                     device.c_str(), pid, LOCK_PREFIX, name.c_str());
        return;
    }
    std::string probe = std::string(LOCK_DIR) + "/.velmora-com.XXXXXX";
    int fd = mkstemp(probe.data());
    if (fd < 0) {
        std::fprintf(stderr, "velmora-com: cannot create the lock file %s%s: %s\n", LOCK_PREFIX,
                     name.c_str(), std::strerror(errno));
        return;
    }
    close(fd);
    unlink(probe.c_str());
    std::fprintf(stderr, "velmora-com: %s is locked: %s%s names no running program but is not "
                         "a lock file that can be taken over; remove it if nothing uses the port\n",
                 device.c_str(), LOCK_PREFIX, name.c_str());
}

// The lock under the name given and, for a symbolic link, under the real
// device's name too, which is the one the daemon and other programs use.
// Empty when a lock was not taken (and then none is held).
std::vector<std::string> lock_device(const std::string &device)
{
    std::vector<std::string> names;
    char real[PATH_MAX];
    if (realpath(device.c_str(), real) && base_name(real) != base_name(device))
        names.emplace_back(real);
    names.push_back(device);
    for (size_t i = 0; i < names.size(); i++) {
        if (!lock(names[i].c_str(), 1)) {
            explain_lock_failure(device, base_name(names[i]));
            for (size_t j = 0; j < i; j++)
                unlock(names[j].c_str());
            return {};
        }
    }
    return names;
}

int com_main(int argc, char **argv)
{
    long baud = 115200, data = 8, stop = 1, timeout = 2;
    std::string parity = "N";
    int i = 1;
    for (; i < argc && argv[i][0] == '-' && argv[i][1] == '-'; i++) {
        std::string opt = argv[i];
        if (opt == "--help") {
            usage(stdout);
            return 0;
        }
        if (opt == "--version") {
            std::printf("velmora-com %s\n", VELMORA_VERSION);
            return 0;
        }
        if (i + 1 >= argc) {
            usage(stderr);
            return EXIT_USAGE;
        }
        const char *v = argv[++i];
        bool ok = (opt == "--baud" && number(v, 1, 4000000, baud)) ||
                  (opt == "--data" && number(v, 7, 8, data)) ||
                  (opt == "--stop" && number(v, 1, 2, stop)) ||
                  (opt == "--timeout" && number(v, 0, 3600, timeout)) ||
                  (opt == "--parity" && (parity = v, parity == "N" || parity == "E" || parity == "O"));
        if (!ok) {
            std::fprintf(stderr, "velmora-com: bad option or value: %s %s\n", opt.c_str(), v);
            return EXIT_USAGE;
        }
        if (opt == "--baud" && !supported_speed(baud)) {
            std::fprintf(stderr, "velmora-com: cannot set %s baud; the speeds are %s\n", v,
                         speeds().c_str());
            return EXIT_USAGE;
        }
    }
    if (argc - i != 2) {
        usage(stderr);
        return EXIT_USAGE;
    }
    const char *device = argv[i];
    std::string text;
    if (!unescape(argv[i + 1], text)) {
        std::fprintf(stderr, "velmora-com: TEXT has an escape other than \\r \\n \\t \\\\ \\xHH "
                             "(and \\x00 cannot be sent)\n");
        return EXIT_USAGE;
    }

    // The routines below report to the system log; a technician at the
    // console should see the same words.
    openlog("velmora-com", LOG_PID | LOG_PERROR, LOG_USER);
    std::vector<std::string> locked = lock_device(device);
    if (locked.empty())
        return EXIT_ERROR;
    int status = EXIT_ERROR;
    int fd = com_open(device, static_cast<unsigned>(baud), static_cast<int>(data), parity.c_str(),
                      static_cast<int>(stop));
    if (fd >= 0) {
        com_result_t result;
        const char *reply = com_send(fd, text.c_str(), static_cast<int>(timeout), &result);
        if (!result.sent) {
            std::fprintf(stderr, "velmora-com: the command was not sent whole to %s\n", device);
        } else if (result.length > 0) {
            std::printf("%s\n", escape(reply, result.length).c_str());
            status = EXIT_REPLY;
        } else {
            std::fprintf(stderr, "velmora-com: no reply from %s within %ld s\n", device, timeout);
            status = EXIT_NO_REPLY;
        }
        close(fd);
    }
    for (const std::string &name : locked)
        unlock(name.c_str());
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    try {
        return com_main(argc, argv);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "velmora-com: %s\n", e.what());
        return EXIT_ERROR;
    }
}
