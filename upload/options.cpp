#include "upload/options.h"
#include "settings/cfg.h"
#include "settings/module_cfg.h"
#include "upload/hostkey.h"
#include "upload/walk.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <strings.h>
#include <unistd.h>

void usage(FILE *out)
{
    std::fprintf(out,
        "usage: velmora-upload [OPTION]...\n"
        "\n"
        "Uploads every regular file of the mounted memory card that the server does not\n"
        "have yet to ftp://SERVER/FOLDER/ (or sftp://), keeping the paths below the\n"
        "card's root.\n"
        "\n"
        "  --settings FILE   module settings with server, folder, user, password (%s)\n"
        "  --config FILE     upload options: card, protocol, TLS or host key, timeouts (%s)\n"
        "  --card DIR        the mounted card (MOUNT_POINT of the options, %s)\n"
        "  --state DIR       where the record of uploaded files lives (%s)\n"
        "  --error-log FILE  the reason of a failure, first line for people (%s)\n"
        "  --all             send every file again, whatever the record says\n"
        "  --dry-run         list what would be sent, connect to nothing\n"
        "  --recorded        list the files recorded as on the server (path, size, time)\n"
        "  --help, --version\n"
        "\n"
        "Exit status: 0 every file is on the server, 1 something was not sent, 2 wrong usage.\n",
        MODULE_CFG_PATH, UPLOAD_CONFIG_PATH, UPLOAD_CARD_DIR, UPLOAD_STATE_DIR, UPLOAD_ERROR_LOG);
}

bool parse_args(int argc, char **argv, args_t &a, int &exit_now)
{
    exit_now = -1;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        std::string value;
        bool has_value = false;
        size_t eq = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg.erase(eq);
            has_value = true;
        }
        std::string *target = arg == "--settings" ? &a.settings : arg == "--card" ? &a.card
                            : arg == "--state" ? &a.state : arg == "--error-log" ? &a.error_log
                            : arg == "--config" ? &a.config : nullptr;
        if (target) {
            if (!has_value) {
                if (i + 1 >= argc) {
                    std::fprintf(stderr, "velmora-upload: %s needs a value\n", arg.c_str());
                    return false;
                }
                value = argv[++i];
            }
            if (value.empty()) {
                std::fprintf(stderr, "velmora-upload: %s needs a value\n", arg.c_str());
                return false;
            }
            *target = value;
            a.config_given |= target == &a.config;
        } else if (has_value) {
            std::fprintf(stderr, "velmora-upload: %s takes no value\n", arg.c_str());
            return false;
        } else if (arg == "--all")
            a.all = true;
        else if (arg == "--dry-run")
            a.dry_run = true;
        else if (arg == "--recorded")
            a.recorded = true;
        else if (arg == "--help" || arg == "-h") {
            usage(stdout);
            exit_now = 0;
            return true;
        } else if (arg == "--version") {
            std::printf("velmora-upload %s\n", VELMORA_VERSION);
            exit_now = 0;
            return true;
        } else {
            std::fprintf(stderr, "velmora-upload: unknown argument %s\n", arg.c_str());
            return false;
        }
    }
    return true;
}

// A whole number from the options file within [low, high]; `fallback` when
// the key is absent. Parsed without `long`, which is 32 bits on the device.
namespace {

bool number(FILE *f, const char *key, int64_t low, int64_t high, int64_t &out, std::string &error)
{
    std::string text = cfg_get_str(f, key);
    if (text.empty())
        return true;
    if (text.find_first_not_of("0123456789") != std::string::npos) {
        error = std::string(key) + "=\"" + walk_printable(text) + "\" is not a whole number";
        return false;
    }
    errno = 0;
    unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
    if (errno == ERANGE || value < uint64_t(low) || value > uint64_t(high)) {
        error = std::string(key) + "=" + text + " is out of range (" + std::to_string(low) + " to " +
                std::to_string(high) + ")";
        return false;
    }
    out = int64_t(value);
    return true;
}

// The settings reader's longest line: a longer one reads as several.
constexpr size_t CFG_LINE_MAX = 16383;

// Every line of the options file is a comment, blank or a known option: a
// misspelt key (or a blank before it) would silently leave its default, TLS
// among them.
bool all_known(FILE *f, std::string &error)
{
    static const char *const keys[] = {"MOUNT_POINT", "TLS", "CA_FILE", "SIZE_CHECK", "CONNECT_TIMEOUT",
                                       "LOW_SPEED_LIMIT", "LOW_SPEED_TIME", "TIME_BUDGET", "MAX_RATE", "RETRIES",
                                       "SESSIONS", "BUSY_WAIT", "PROTOCOL", "HOST_KEY_SHA256", "KNOWN_HOSTS",
                                       "KEY_FILE"};
    char *line = nullptr;
    size_t capacity = 0;
    int line_number = 0;
    bool ok = true;
    std::rewind(f);
    while (ok && getline(&line, &capacity, f) >= 0) {
        line_number++;
        std::string text = line;
        if (text.size() > CFG_LINE_MAX) {
            error = "line " + std::to_string(line_number) + " is longer than " + std::to_string(CFG_LINE_MAX) +
                    " characters";
            ok = false;
            break;
        }
        if (line_number == 1 && text.compare(0, 3, "\xef\xbb\xbf") == 0) {
            error = "line 1 starts with a byte-order mark: save the file as UTF-8 without one";
            ok = false;
            break;
        }
        text.erase(text.find_last_not_of("\r\n \t") == std::string::npos ? 0 : text.find_last_not_of("\r\n \t") + 1);
        if (text.empty() || text[0] == '#')
            continue;
        size_t eq = text.find('=');
        std::string key = text.substr(0, eq);
        ok = eq != std::string::npos && std::any_of(std::begin(keys), std::end(keys), [&key](const char *known) {
                 return strcasecmp(key.c_str(), known) == 0;
             });
        if (!ok)
            error = "line " + std::to_string(line_number) + " \"" + walk_printable(text.substr(0, 80)) +
                    "\" is not one of the options";
    }
    std::free(line);
    return ok;
}

bool readable(const char *key, const std::string &path, std::string &error)
{
    if (path.empty() || access(path.c_str(), R_OK) == 0)
        return true;
    error = std::string(key) + "=" + walk_printable(path) + " cannot be read: " + std::strerror(errno);
    return false;
}

// The protocol, and for SFTP the host key and the key file: a fingerprint
// that cannot be one, or a file that is not there, is said before anything
// is sent. Neither a fingerprint nor a known_hosts file is no mistake here:
// the server's fingerprint, to pin, is then what the run fails with.
bool ssh_options(const std::string &protocol, const std::string &host_key, ftp_options_t &o, std::string &error)
{
    if (protocol.empty() || protocol == "ftp")
        o.protocol = PROTOCOL_FTP;
    else if (protocol == "sftp")
        o.protocol = PROTOCOL_SFTP;
    else {
        error = "PROTOCOL=" + walk_printable(protocol) + " is not ftp or sftp";
        return false;
    }
    if (o.protocol != PROTOCOL_SFTP)
        return true;
    if (!host_key.empty()) {
        o.host_key_sha256 = ssh_fingerprint_pinned(host_key);
        if (o.host_key_sha256.empty()) {
            error = "HOST_KEY_SHA256=" + walk_printable(host_key) +
                    " is not a SHA-256 fingerprint (43 characters, as ssh-keygen -lf prints them after SHA256:)";
            return false;
        }
        if (!o.known_hosts.empty()) {
            error = "HOST_KEY_SHA256 and KNOWN_HOSTS are both set: the host key is checked one way, keep one";
            return false;
        }
    }
    return readable("KNOWN_HOSTS", o.known_hosts, error) && readable("KEY_FILE", o.key_file, error);
}

} // namespace

bool load_config(const args_t &a, config_t &c, std::string &error)
{
    FILE *f = cfg_open(a.config.c_str(), "r");
    if (!f && a.config_given) {
        error = "cannot read " + a.config + ": " + std::strerror(errno);
        return false;
    }
    if (f && !all_known(f, error)) {
        cfg_close(f);
        error = "in " + a.config + ": " + error;
        return false;
    }
    std::string card = cfg_get_str(f, "MOUNT_POINT");
    if (!card.empty())
        c.card = card;
    std::string tls = cfg_get_str(f, "TLS");
    std::string size_check = cfg_get_str(f, "SIZE_CHECK");
    c.ftp.ca_file = cfg_get_str(f, "CA_FILE");
    std::string protocol = cfg_get_str(f, "PROTOCOL");
    std::string host_key = cfg_get_str(f, "HOST_KEY_SHA256");
    c.ftp.known_hosts = cfg_get_str(f, "KNOWN_HOSTS");
    c.ftp.key_file = cfg_get_str(f, "KEY_FILE");
    int64_t connect = c.ftp.connect_timeout, limit = c.ftp.low_speed_limit, time = c.ftp.low_speed_time;
    int64_t rate = 0, retries = c.retries, sessions = c.sessions;
    bool ok = number(f, "CONNECT_TIMEOUT", 1, 600, connect, error) &&
              number(f, "LOW_SPEED_LIMIT", 0, 1000000000, limit, error) &&
              number(f, "LOW_SPEED_TIME", 1, 3600, time, error) &&
              number(f, "TIME_BUDGET", 0, 86400, c.budget, error) &&
              number(f, "MAX_RATE", 0, int64_t(1) << 40, rate, error) &&
              number(f, "RETRIES", 0, 100, retries, error) &&
              number(f, "SESSIONS", 1, 16, sessions, error) &&
              number(f, "BUSY_WAIT", 0, 86400, c.busy_wait, error);
    cfg_close(f);
    if (!ok) {
        error = "in " + a.config + ": " + error;
        return false;
    }
    c.ftp.connect_timeout = long(connect);
    c.ftp.low_speed_limit = long(limit);
    c.ftp.low_speed_time = long(time);
    c.ftp.max_rate = uint64_t(rate);
    c.retries = int(retries);
    c.sessions = int(sessions);
    if (tls.empty() || tls == "auto")
        c.ftp.tls = FTP_TLS_AUTO;
    else if (tls == "require")
        c.ftp.tls = FTP_TLS_REQUIRE;
    else if (tls == "implicit")
        c.ftp.tls = FTP_TLS_IMPLICIT;
    else if (tls == "off")
        c.ftp.tls = FTP_TLS_OFF;
    else {
        error = "in " + a.config + ": TLS=" + walk_printable(tls) + " is not auto, require, implicit or off";
        return false;
    }
    if (size_check == "transfer")
        c.ftp.trust_transfer_reply = true;
    else if (!size_check.empty() && size_check != "server") {
        error = "in " + a.config + ": SIZE_CHECK=" + walk_printable(size_check) + " is not server or transfer";
        return false;
    }
    if (!ssh_options(protocol, host_key, c.ftp, error)) {
        error = "in " + a.config + ": " + error;
        return false;
    }
    return true;
}
