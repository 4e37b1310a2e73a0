// velmora-upload: sends the files of the mounted memory card that the server
// does not have yet, one connection and one login for the whole card, and
// says in the error log's first line what stopped it.
#include "settings/cfg.h"
#include "settings/module_cfg.h"
#include "upload/ftp.h"
#include "upload/record.h"
#include "upload/walk.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <strings.h>
#include <fcntl.h>
#include <iterator>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char *CONFIG_PATH = "/opt/Velmora/etc/upload.conf";
constexpr const char *STATE_DIR = "/var/Velmora";
constexpr const char *ERROR_LOG = "/var/Velmora/ftperror.log";
constexpr const char *CARD_DIR = "/mnt/card";
constexpr const char *RECORD_NAME = "uploaded";
// Temporary files this uploader left on the server, kept so that those of
// files that changed or went from the card are removed, and only those.
constexpr const char *UNFINISHED_NAME = "unfinished";
// Held while a run uses the state folder: two runs at once would append to
// one temporary file and record each other's halves.
constexpr const char *LOCK_NAME = "lock";
constexpr const char *LOG_IDENT = "velmora-upload";
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;
// The record is rewritten at most this often while files are confirmed: a
// power cut costs re-sending at most these seconds' worth of files.
constexpr double RECORD_SAVE_SECONDS = 2.0;
constexpr uint64_t RECORD_SAVE_BEFORE_BYTES = uint64_t(1) << 20;
constexpr unsigned BACKOFF_FIRST_MS = 2000;
// A server that keeps another size than was sent, file after file, is not
// going to keep the rest of the card either.
constexpr int MISMATCHES_IN_A_ROW = 3;
constexpr unsigned BACKOFF_MAX_MS = 120000;

struct args_t {
    std::string settings = MODULE_CFG_PATH;
    std::string card;
    std::string state = STATE_DIR;
    std::string error_log = ERROR_LOG;
    std::string config = CONFIG_PATH;
    bool config_given = false;
    bool all = false;
    bool dry_run = false;
};

struct config_t {
    std::string card = CARD_DIR;
    ftp_options_t ftp;
    int64_t budget = 0;   // seconds for the whole run, 0 for none
    int64_t deadline_ms = 0;
    int retries = 4;
};

struct run_t {
    size_t sent = 0, already = 0, resumed = 0, total = 0;
    uint64_t bytes = 0, bytes_total = 0, bytes_done = 0;
    timespec started{};
    std::string reason;              // the error log's first line
    std::vector<std::string> lines;  // the lines after it
    bool progress = false;
};

void usage(FILE *out)
{
    std::fprintf(out,
        "usage: velmora-upload [OPTION]...\n"
        "\n"
        "Uploads every regular file of the mounted memory card that the server does not\n"
        "have yet to ftp://SERVER/FOLDER/, keeping the paths below the card's root.\n"
        "\n"
        "  --settings FILE   module settings with server, folder, user, password (%s)\n"
        "  --config FILE     upload options: card, TLS, timeouts, rate (%s)\n"
        "  --card DIR        the mounted card (MOUNT_POINT of the options, %s)\n"
        "  --state DIR       where the record of uploaded files lives (%s)\n"
        "  --error-log FILE  the reason of a failure, first line for people (%s)\n"
        "  --all             send every file again, whatever the record says\n"
        "  --dry-run         list what would be sent, connect to nothing\n"
        "  --help, --version\n"
        "\n"
        "Exit status: 0 every file is on the server, 1 something was not sent, 2 wrong usage.\n",
        MODULE_CFG_PATH, CONFIG_PATH, CARD_DIR, STATE_DIR, ERROR_LOG);
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
                                       "LOW_SPEED_LIMIT", "LOW_SPEED_TIME", "TIME_BUDGET", "MAX_RATE", "RETRIES"};
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
    int64_t connect = c.ftp.connect_timeout, limit = c.ftp.low_speed_limit, time = c.ftp.low_speed_time;
    int64_t rate = 0, retries = c.retries;
    bool ok = number(f, "CONNECT_TIMEOUT", 1, 600, connect, error) &&
              number(f, "LOW_SPEED_LIMIT", 0, 1000000000, limit, error) &&
              number(f, "LOW_SPEED_TIME", 1, 3600, time, error) &&
              number(f, "TIME_BUDGET", 0, 86400, c.budget, error) &&
              number(f, "MAX_RATE", 0, int64_t(1) << 40, rate, error) &&
              number(f, "RETRIES", 0, 100, retries, error);
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
    if (tls.empty() || tls == "auto")
        c.ftp.tls = FTP_TLS_AUTO;
    else if (tls == "require")
        c.ftp.tls = FTP_TLS_REQUIRE;
    else if (tls == "off")
        c.ftp.tls = FTP_TLS_OFF;
    else {
        error = "in " + a.config + ": TLS=" + walk_printable(tls) + " is not auto, require or off";
        return false;
    }
    if (size_check == "transfer")
        c.ftp.trust_transfer_reply = true;
    else if (!size_check.empty() && size_check != "server") {
        error = "in " + a.config + ": SIZE_CHECK=" + walk_printable(size_check) + " is not server or transfer";
        return false;
    }
    return true;
}

bool mkdirs(const std::string &path)
{
    for (size_t at = 1; at <= path.size(); at++) {
        if (at < path.size() && path[at] != '/')
            continue;
        std::string part = path.substr(0, at);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

std::string folder_of(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

double seconds_since(const timespec &start)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec - start.tv_sec) + double(now.tv_nsec - start.tv_nsec) / 1e9;
}

std::string human(double bytes)
{
    const char *units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int u = 0;
    while (bytes >= 1024 && u < 4) {
        bytes /= 1024;
        u++;
    }
    char text[32];
    std::snprintf(text, sizeof text, u ? "%.1f %s" : "%.0f %s", bytes, units[u]);
    return text;
}

void show_progress(const run_t &run, uint64_t in_file)
{
    if (!run.progress)
        return;
    double elapsed = seconds_since(run.started);
    double done = double(run.bytes_done + in_file);
    double rate = elapsed > 0 ? done / elapsed : 0;
    double left = rate > 0 ? (double(run.bytes_total) - done) / rate : 0;
    std::fprintf(stderr, "\r%zu/%zu files, %s of %s, %s/s, %.0f s left   ", run.sent + run.already,
                 run.total, human(done).c_str(), human(double(run.bytes_total)).c_str(),
                 human(rate).c_str(), left);
}

// The record of unfinished temporary files is kept only while it has any.
void save_unfinished(const std::string &path, const record_t &unfinished, bool durable = true)
{
    if (unfinished.files.empty() ? unlink(path.c_str()) != 0 && errno != ENOENT
                                 : !record_save(path, unfinished, durable))
        syslog(LOG_ERR, "cannot save %s: %s", path.c_str(), std::strerror(errno));
}

void warn_tls_once(const ftp_session_t *s, const config_t &c, bool &warned)
{
    if (warned || !ftp_logged_in(s) || c.ftp.tls != FTP_TLS_AUTO)
        return;
    warned = true;
    if (!ftp_encrypted(s))
        syslog(LOG_WARNING, "FTP server %s offers no TLS: the password and the data went in clear text",
               c.ftp.server.c_str());
    else if (c.ftp.ca_file.empty())
        syslog(LOG_WARNING, "FTP server %s: encrypted, but its certificate was not checked "
                            "(set CA_FILE in the upload options)", c.ftp.server.c_str());
}

struct state_files_t {
    std::string record_path, unfinished_path;
    bool usable = true;
    record_t record, unfinished;
    bool dirty = false;
    timespec saved{};

    // Empty, or why the record could not be saved.
    std::string save()
    {
        std::string failed;
        if (!usable)
            return failed;   // said once, up front
        if (dirty)
            dirty = !record_save(record_path, record);
        if (dirty)
            failed = "cannot save the record " + record_path + ": " + std::strerror(errno) +
                     " (the files sent are sent again next time)";
        save_unfinished(unfinished_path, unfinished);
        clock_gettime(CLOCK_MONOTONIC, &saved);
        return failed;
    }
};

// What the transfer callback needs: the progress shown, and the state saved
// once a transfer takes a while.
struct sending_t {
    run_t &run;
    state_files_t &state;
    timespec file_started{};
    bool listed = true;   // the current file's temporary name is on disk
};

// Set by SIGTERM or SIGINT: velmorad stopping mid-upload ends its script's
// whole process group and kills it 10 s later.
volatile sig_atomic_t stop_requested = 0;

void on_stop(int)
{
    stop_requested = 1;
}

bool on_progress(void *context, uint64_t sent)
{
    auto *sending = static_cast<sending_t *>(context);
    show_progress(sending->run, sent);
    // A transfer that takes a while gets its temporary file on record (and
    // the files confirmed before it), so a power cut during it leaves nothing
    // on the server that a later run does not know of.
    if (!sending->listed && seconds_since(sending->file_started) >= RECORD_SAVE_SECONDS) {
        sending->state.save();
        sending->listed = true;
    }
    return !stop_requested;
}

std::string reason_of(const ftp_result_t &r, const ftp_options_t &o, const std::string &file)
{
    switch (r.status) {
    case FTP_UNREACHABLE:
        return "FTP server " + o.server + " unreachable (" + r.detail + ")";
    case FTP_LOGIN_REFUSED:
        return "login refused by " + o.server + " for user " + o.user + " (" + r.detail + ")";
    case FTP_TLS_NOT_OFFERED:
        return "TLS required but not offered by FTP server " + o.server + " (" + r.detail + ")";
    case FTP_CERT_NOT_TRUSTED:
        return "certificate of FTP server " + o.server + " not trusted (" + r.detail + ")";
    case FTP_TLS_FAILED:
        return "TLS with FTP server " + o.server + " failed (" + r.detail + ")";
    case FTP_DISK_FULL:
        return "server disk full: " + file + " did not fit on " + o.server + " (" + r.detail + ")";
    case FTP_NO_SIZE:
        return "FTP server " + o.server + " cannot confirm file sizes (it knows neither SIZE nor MLST: " + r.detail +
               "), so no file was given its final name; set SIZE_CHECK=transfer in upload.conf to trust its "
               "transfer replies instead";
    default:
        return "file " + file + " did not transfer to " + o.server + " (" + r.detail + ")";
    }
}

void fail(run_t &run, const std::string &reason)
{
    if (run.reason.empty())
        run.reason = reason;
    else
        run.lines.push_back(reason);
}

int64_t now_ms()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void pause_ms(int64_t ms)
{
    if (ms <= 0)
        return;
    timespec t{time_t(ms / 1000), long(ms % 1000) * 1000000L};
    while (!stop_requested && nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

// Exponential backoff with jitter, so that devices failing together do not
// come back together.
unsigned backoff_ms(int attempt)
{
    unsigned ms = BACKOFF_FIRST_MS;
    for (int i = 0; i < attempt && ms < BACKOFF_MAX_MS; i++)
        ms *= 2;
    ms = std::min(ms, BACKOFF_MAX_MS);
    unsigned seed = unsigned(getpid()) ^ unsigned(time(nullptr)) ^ unsigned(attempt * 7919);
    return ms / 2 + unsigned(rand_r(&seed)) % (ms / 2 + 1);
}

// An error log cut short (a full /var) would give the daemon an empty
// reason: it is written whole or removed, and the failure said elsewhere.
void write_error_log(const args_t &a, const run_t &run)
{
    FILE *f = std::fopen(a.error_log.c_str(), "w");
    int error = errno;
    if (f) {
        std::fprintf(f, "%s\n", run.reason.c_str());
        for (const std::string &line : run.lines)
            std::fprintf(f, "%s\n", line.c_str());
        bool ok = std::fflush(f) == 0 && !std::ferror(f);
        error = errno;
        if (std::fclose(f) == 0 && ok)
            return;
        error = ok ? errno : error;
        unlink(a.error_log.c_str());
    }
    syslog(LOG_ERR, "cannot write the error log %s: %s; the failure was: %s", a.error_log.c_str(),
           std::strerror(error), run.reason.c_str());
    std::fprintf(stderr, "velmora-upload: cannot write the error log %s: %s\n", a.error_log.c_str(),
                 std::strerror(error));
}

// One run per state folder: a second one says who holds it and waits. The
// lock goes with the process, however it ends. -1 when stopped while waiting.
int lock_state(const std::string &state)
{
    std::string path = state + "/" + LOCK_NAME;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return -2;   // a read-only state folder: the record cannot be kept either
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        char holder[16] = "";
        ssize_t n = pread(fd, holder, sizeof holder - 1, 0);
        holder[n > 0 ? n : 0] = 0;
        holder[std::strcspn(holder, "\n")] = 0;
        std::string who = holder[0] ? "pid " + std::string(holder) : "another process";
        syslog(LOG_NOTICE, "another upload (%s) is using %s: waiting for it to end", who.c_str(), state.c_str());
        std::fprintf(stderr, "velmora-upload: another upload (%s) is using %s: waiting for it to end\n",
                     who.c_str(), state.c_str());
        while (flock(fd, LOCK_EX) != 0) {
            if (errno != EINTR || stop_requested) {
                close(fd);
                return -1;
            }
        }
    }
    std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(fd, 0) != 0 || pwrite(fd, pid.data(), pid.size(), 0) < 0)
        syslog(LOG_NOTICE, "cannot write %s: %s", path.c_str(), std::strerror(errno));
    return fd;
}

// One run per card as well; false when stopped while waiting.
bool lock_card(int root, const std::string &card)
{
    if (flock(root, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK)
        return true;
    syslog(LOG_NOTICE, "another upload is reading the card %s: waiting for it to end", card.c_str());
    std::fprintf(stderr, "velmora-upload: another upload is reading the card %s: waiting for it to end\n",
                 card.c_str());
    while (flock(root, LOCK_EX) != 0) {
        if (errno != EINTR || stop_requested)
            return false;
    }
    return true;
}

// What one file's attempts came to: sent, or failed for a reason that ends
// the run or not, or cut off by the time budget.
enum outcome_t { SENT, FILE_FAILED, RUN_FAILED, OUT_OF_TIME };

outcome_t send_one(ftp_session_t *s, const walk_file_t &file, int fd, const struct stat &st, const config_t &c,
                   run_t &run, bool &warned, int &mismatches)
{
    std::string shown = walk_printable(file.path);
    ftp_result_t r, cause;
    for (int attempt = 0;; attempt++) {
        if (c.deadline_ms > 0 && now_ms() >= c.deadline_ms - 100) {
            // What failed before the time ran out is the one to read first;
            // a transfer the budget itself cut short is no cause.
            if (cause.status != FTP_OK)
                fail(run, reason_of(cause, c.ftp, shown));
            return OUT_OF_TIME;
        }
        r = ftp_put(s, file.path, fd, uint64_t(st.st_size), int64_t(st.st_mtime));
        warn_tls_once(s, c, warned);
        // (libcurl's timer may fire a few milliseconds early.)
        if (!(r.status == FTP_FILE_FAILED && c.deadline_ms > 0 && now_ms() >= c.deadline_ms - 100))
            cause = r;
        // A size that does not match is tried once more, not for every retry:
        // a server that misreports sizes would otherwise cost minutes a file.
        bool again = r.transient && attempt < (r.file_only ? 1 : c.retries);
        if (r.status == FTP_OK || !again || stop_requested)
            break;
        syslog(LOG_NOTICE, "%s; trying again", reason_of(r, c.ftp, shown).c_str());
        int64_t pause = backoff_ms(attempt);
        if (c.deadline_ms > 0)
            pause = std::min(pause, c.deadline_ms - now_ms());
        pause_ms(pause);
    }
    run.bytes += r.sent;
    if (r.status == FTP_OK) {
        run.resumed += r.resumed;
        return SENT;
    }
    if (stop_requested)
        return RUN_FAILED;
    // The last try allowed, cut short by the budget.
    if (r.status == FTP_FILE_FAILED && c.deadline_ms > 0 && now_ms() >= c.deadline_ms - 100) {
        if (cause.status != FTP_OK)
            fail(run, reason_of(cause, c.ftp, shown));
        return OUT_OF_TIME;
    }
    fail(run, reason_of(r, c.ftp, shown));
    mismatches = r.size_mismatch ? mismatches + 1 : 0;
    if (mismatches >= MISMATCHES_IN_A_ROW) {
        fail(run, "FTP server " + c.ftp.server + " kept another size than was sent for " +
                      std::to_string(mismatches) + " files in a row: nothing more is sent");
        return RUN_FAILED;
    }
    // The server, the login or the link: every next file would fail too.
    return r.status == FTP_FILE_FAILED && (r.file_only || !r.transient) ? FILE_FAILED : RUN_FAILED;
}

// Removes the temporary files of earlier runs whose card file changed or
// went; false when the server cannot be used at all.
bool drop_stale(ftp_session_t *s, const std::vector<walk_file_t> &stale, const config_t &c, state_files_t &state,
                run_t &run)
{
    for (const walk_file_t &file : stale) {
        ftp_result_t r = ftp_drop_temporary(s, file.path, file.size, file.mtime);
        if (r.status == FTP_OK)
            state.unfinished.files.erase(file.path);
        else if (r.status != FTP_FILE_FAILED || r.transient) {
            fail(run, reason_of(r, c.ftp, walk_printable(file.path)));
            return false;
        }
    }
    return true;
}

// Sends `todo`, retrying transient failures; stops at the first failure that
// every further file would meet too.
void send_files(const std::vector<walk_file_t> &todo, const std::vector<walk_file_t> &stale, int root,
                const config_t &c, state_files_t &state, run_t &run)
{
    ftp_session_t *s = ftp_open(c.ftp);
    if (!s) {
        fail(run, "cannot set up libcurl");
        return;
    }
    sending_t sending{run, state};
    ftp_set_progress(s, on_progress, &sending);
    state.saved = run.started;
    bool warned = false, out_of_time = false;
    int mismatches = 0;
    bool usable = drop_stale(s, stale, c, state, run);
    for (const walk_file_t &file : todo) {
        if (stop_requested || !usable)
            break;
        std::string shown = walk_printable(file.path);
        int fd = walk_open(root, file.path);
        struct stat st;
        if (fd < 0 && errno == ENOENT)
            continue;   // gone from the card since the walk: nothing to send
        if (fd < 0 || fstat(fd, &st) != 0) {
            fail(run, "file " + shown + " could not be read from the card: " + std::strerror(errno));
            if (fd >= 0)
                close(fd);
            continue;
        }
        // A temporary file is on record before it can exist, so one that a
        // cut leaves is found again: synced once the transfer takes a while
        // (on_progress), before it for a large file, with the files confirmed
        // just before it, which must not wait for its end either.
        state.unfinished.files[file.path] = {uint64_t(st.st_size), int64_t(st.st_mtime)};
        sending.listed = uint64_t(st.st_size) >= RECORD_SAVE_BEFORE_BYTES;
        if (sending.listed)
            state.save();
        else if (state.usable)
            save_unfinished(state.unfinished_path, state.unfinished, false);
        clock_gettime(CLOCK_MONOTONIC, &sending.file_started);
        outcome_t outcome = send_one(s, file, fd, st, c, run, warned, mismatches);
        close(fd);
        if (outcome == OUT_OF_TIME) {
            out_of_time = true;
            break;
        }
        if (outcome == RUN_FAILED)
            break;
        if (outcome == FILE_FAILED)
            continue;
        mismatches = 0;
        run.sent++;
        run.bytes_done += uint64_t(st.st_size);
        state.record.files[file.path] = {uint64_t(st.st_size), int64_t(st.st_mtime)};
        state.unfinished.files.erase(file.path);
        state.dirty = true;
        if (seconds_since(state.saved) >= RECORD_SAVE_SECONDS)
            state.save();
        show_progress(run, 0);
    }
    if (stop_requested && run.sent < todo.size())
        fail(run, "stopped before every file was sent; the rest goes next time");
    if (out_of_time)
        fail(run, "the time budget of " + std::to_string(c.budget) + " s (TIME_BUDGET) was used up; the rest goes next time");
    if (run.sent < todo.size())
        run.lines.push_back(std::to_string(todo.size() - run.sent) + " of " + std::to_string(todo.size()) +
                            " files to send are not on the server");
    std::string unsaved = state.save();
    if (!unsaved.empty())
        fail(run, unsaved);
    if (run.progress)
        std::fputc('\n', stderr);
    ftp_close(s);
}

int upload(const args_t &a)
{
    run_t run;
    clock_gettime(CLOCK_MONOTONIC, &run.started);
    run.progress = isatty(STDERR_FILENO);
    // On a freshly installed device nothing has made the state folder yet,
    // and a failure the daemon cannot read about is an "unknown error".
    std::string state_problem;
    if (!a.dry_run) {
        mkdirs(a.state);
        // Taken before the error log is touched: that may be the other run's.
        int lock = lock_state(a.state);
        if (lock == -1) {
            std::fprintf(stderr, "velmora-upload: stopped while waiting for the other upload\n");
            return EXIT_FAILED;
        }
        // The card still goes, but without a record every day sends it all.
        if (lock == -2)
            state_problem = "state folder " + a.state + " not writable (" + std::strerror(errno) +
                            "): no record of sent files can be kept, so every file is sent again each time";
        mkdirs(folder_of(a.error_log));
        unlink(a.error_log.c_str());
    }

    config_t c;
    std::string error;
    if (!load_config(a, c, error)) {
        std::fprintf(stderr, "velmora-upload: %s\n", error.c_str());
        run.reason = "bad upload options: " + error;
        if (!a.dry_run)
            write_error_log(a, run);
        return EXIT_FAILED;
    }
    std::string card = a.card.empty() ? c.card : a.card;

    module_cfg_t settings;
    FILE *probe = cfg_open(a.settings.c_str(), "r");
    if (!probe)
        fail(run, "cannot read the settings " + a.settings + ": " + std::strerror(errno));
    cfg_close(probe);
    module_cfg_load(settings, a.settings.c_str());
    c.ftp.server = settings.ftp_serv_ip;
    c.ftp.folder = settings.dest_folder;
    c.ftp.user = settings.username;
    c.ftp.password = settings.password;
    if (run.reason.empty() && !ftp_server_problem(c.ftp.server).empty())
        fail(run, ftp_server_problem(c.ftp.server));
    if (c.budget > 0)
        c.deadline_ms = c.ftp.deadline_ms = now_ms() + c.budget * 1000;

    int root = run.reason.empty() ? walk_open_root(card.c_str()) : -1;
    if (run.reason.empty() && root < 0)
        fail(run, "card not readable at " + card + ": " + std::strerror(errno));
    // Runs with other state folders may read the same card to the same
    // server: they would write the same temporary files.
    if (root >= 0 && !a.dry_run && !lock_card(root, card)) {
        close(root);
        std::fprintf(stderr, "velmora-upload: stopped while waiting for the other upload\n");
        return EXIT_FAILED;
    }

    walk_result_t walk;
    if (root >= 0) {
        std::vector<walk_file_t> todo, stale;
        walk_card(root, walk);
        record_t record;
        record.target = c.ftp.server + "/" + c.ftp.folder + " " + c.ftp.user;
        state_files_t state;
        state.record_path = a.state + "/" + RECORD_NAME;
        state.unfinished_path = a.state + "/" + UNFINISHED_NAME;
        state.usable = state_problem.empty();
        if (!a.all) {
            int bad = record_load(state.record_path, record);
            if (bad)
                syslog(LOG_NOTICE, "%d unusable lines in %s: those files are sent again", bad,
                       state.record_path.c_str());
        }
        state.unfinished.target = record.target;
        record_load(state.unfinished_path, state.unfinished);
        // Only files still on the card stay in the record, so it never grows
        // beyond the card.
        state.record.target = record.target;
        for (const walk_file_t &file : walk.files) {
            if (!a.all && record_has(record, file.path, file.size, file.mtime)) {
                run.already++;
                state.record.files[file.path] = record.files[file.path];
            } else {
                todo.push_back(file);
                run.bytes_total += file.size;
            }
        }
        // A temporary file is continued only by the same version of its file.
        for (const auto &unfinished : state.unfinished.files) {
            walk_file_t left{unfinished.first, unfinished.second.size, unfinished.second.mtime};
            auto same = [&left](const walk_file_t &f) {
                return f.path == left.path && f.size == left.size && f.mtime == left.mtime;
            };
            if (std::none_of(todo.begin(), todo.end(), same))
                stale.push_back(left);
        }
        run.total = walk.files.size();
        if (a.dry_run) {
            for (const walk_file_t &file : todo)
                std::printf("%s\t%" PRIu64 "\n", walk_printable(file.path).c_str(), file.size);
        } else if (!todo.empty() || !stale.empty()) {
            send_files(todo, stale, root, c, state, run);
        }
        close(root);
    }

    std::vector<std::string> unsendable;
    auto with_reason = [&unsendable](const std::vector<std::string> &names, const char *reason) {
        std::transform(names.begin(), names.end(), std::back_inserter(unsendable),
                       [reason](const std::string &name) { return reason + name; });
    };
    with_reason(walk.unsendable, "name not sent (FTP cannot carry a control character such as CR or LF in a name): ");
    with_reason(walk.unreadable, "not readable on the card: ");
    if (!walk.unsendable.empty())
        fail(run, std::to_string(walk.unsendable.size()) +
                      (walk.unsendable.size() == 1 ? " name" : " names") +
                      " could not be sent (a control character such as CR or LF in the name): " + walk.unsendable.front());
    else if (!walk.unreadable.empty())
        fail(run, std::to_string(walk.unreadable.size()) + " files or folders of the card could not be read, first: " +
                      walk.unreadable.front());
    run.lines.insert(run.lines.end(), unsendable.begin(), unsendable.end());

    if (a.dry_run) {
        for (const std::string &line : unsendable)
            std::fprintf(stderr, "velmora-upload: %s\n", line.c_str());
        return run.reason.empty() ? 0 : EXIT_FAILED;
    }
    if (!state_problem.empty())
        fail(run, state_problem);
    syslog(LOG_INFO, "sent %zu files (%" PRIu64 " bytes), %zu already on the server, %zu resumed, %.0f s%s%s",
           run.sent, run.bytes, run.already, run.resumed, seconds_since(run.started),
           run.reason.empty() ? "" : "; failed: ", run.reason.c_str());
    if (run.reason.empty())
        return 0;
    write_error_log(a, run);
    std::fprintf(stderr, "velmora-upload: %s\n", run.reason.c_str());
    return EXIT_FAILED;
}

} // namespace

int main(int argc, char **argv)
{
    args_t a;
    int exit_now;
    if (!parse_args(argc, argv, a, exit_now)) {
        usage(stderr);
        return EXIT_USAGE;
    }
    if (exit_now >= 0)
        return exit_now;
    // OpenSSL writes to a connection the server has reset: that must be an
    // error to handle, not a signal that ends the run unreported.
    signal(SIGPIPE, SIG_IGN);
    // A stop keeps what was confirmed: the record is saved before the end.
    struct sigaction stop = {};
    stop.sa_handler = on_stop;
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);
    openlog(LOG_IDENT, LOG_PID, LOG_DAEMON);
    try {
        return upload(a);
    } catch (const std::exception &e) {
        run_t run;
        run.reason = std::string("stopped by an internal error: ") + e.what();
        syslog(LOG_ERR, "%s", run.reason.c_str());
        std::fprintf(stderr, "velmora-upload: %s\n", run.reason.c_str());
        if (!a.dry_run)
            write_error_log(a, run);
        return EXIT_FAILED;
    }
}
