// velmora-com: sends one command on a serial port and prints the reply, for
// a technician at the device. It takes the port's lock file like every other
// program on the device, so it never talks over the daemon.
#include "support/com.h"
#include "support/lock.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <syslog.h>
#include <unistd.h>

namespace {

constexpr int EXIT_REPLY = 0;
constexpr int EXIT_ERROR = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_NO_REPLY = 3;

void usage(FILE *out)
{
    std::fprintf(out,
        "usage: velmora-com [--baud N] [--data 7|8] [--parity N|E|O] [--stop 1|2]\n"
        "                   [--timeout S] DEVICE TEXT\n"
        "Sends TEXT on the serial port DEVICE and prints the reply.\n"
        "TEXT and the reply use C escapes: \\r \\n \\t \\\\ \\xHH.\n"
        "Defaults: 115200 baud, 8 data bits, parity N, 1 stop bit, 2 s timeout.\n"
        "Exit status: 0 reply printed, 3 no reply within the timeout, 1 error\n"
        "(device locked by another program, cannot be opened), 2 wrong usage.\n");
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

std::string escape(const char *text)
{
    std::string out;
    for (const unsigned char *c = reinterpret_cast<const unsigned char *>(text); *c; c++) {
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
    if (!lock(device, 1)) {
        std::fprintf(stderr, "velmora-com: %s is in use by another program (lock file in "
                             "/var/lock); stop it first, e.g. the upload daemon\n", device);
        return EXIT_ERROR;
    }
    int status = EXIT_ERROR;
    int fd = com_open(device, static_cast<unsigned>(baud), static_cast<int>(data), parity.c_str(),
                      static_cast<int>(stop));
    if (fd >= 0) {
        const char *reply = com_send(fd, text.c_str(), static_cast<int>(timeout));
        if (*reply) {
            std::printf("%s\n", escape(reply).c_str());
            status = EXIT_REPLY;
        } else {
            std::fprintf(stderr, "velmora-com: no reply from %s within %ld s\n", device, timeout);
            status = EXIT_NO_REPLY;
        }
        close(fd);
    }
    unlock(device);
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
