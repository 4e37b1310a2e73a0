// velmora-upload: sends the files of the mounted memory card that the server
// does not have yet, and says in the error log's first line what stopped it.
// The run, in order: options, plan (card and record), send, report.
#include "settings/cfg.h"
#include "settings/module_cfg.h"
#include "upload/options.h"
#include "upload/plan.h"
#include "upload/report.h"
#include "upload/sessions.h"
#include "upload/state.h"
#include "upload/walk.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

namespace {

// Held while a run uses the state folder: two runs at once would append to
// one temporary file and record each other's halves.
constexpr const char *LOCK_NAME = "lock";
constexpr const char *LOG_IDENT = "velmora-upload";
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;

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

void on_stop(int)
{
    stop_requested = 1;
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

int upload(const args_t &a)
{
    run_t run;
    clock_gettime(CLOCK_MONOTONIC, &run.started);
    run.progress = isatty(STDERR_FILENO);
    // On a freshly installed device nothing has made the state folder yet,
    // and a failure the daemon cannot read about is an "unknown error".
    std::string state_problem;
    if (!a.dry_run && !a.recorded) {
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
    if (run.reason.empty() && !ftp_protocol_problem(c.ftp).empty())
        fail(run, ftp_protocol_problem(c.ftp));
    if (c.budget > 0)
        c.deadline_ms = c.ftp.deadline_ms = now_ms() + c.budget * 1000;

    // Another protocol may land in another folder (an SFTP login at the
    // account's home, an FTP login chrooted elsewhere): its record starts
    // anew, from what the server lists.
    std::string target = (c.ftp.protocol == PROTOCOL_SFTP ? "sftp://" : "") + c.ftp.server + "/" + c.ftp.folder +
                         " " + c.ftp.user;
    // What the device holds as sent, without the card.
    if (a.recorded) {
        state_t state;
        state.usable = false;
        state_load(state, a.state, target, false);
        for (const auto &[path, entry] : state.record.files)
            std::printf("%s\t%" PRIu64 "\t%" PRId64 "\n", walk_printable(path).c_str(), entry.size, entry.mtime);
        return run.reason.empty() ? 0 : EXIT_FAILED;
    }

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
    state_t state;
    state.usable = state_problem.empty() && !a.dry_run;
    if (root >= 0) {
        walk_card(root, walk);
        int bad = state_load(state, a.state, target, a.all);
        if (bad)
            syslog(LOG_NOTICE, "%d unusable lines in the record in %s: those files are sent again", bad,
                   a.state.c_str());
        plan_t plan;
        run.total = walk.files.size();
        plan_make(walk, state, plan);
        plan.rebuild = !state.known && !a.all;
        run.already = plan.already;
        run.bytes_total = plan.bytes;
        if (a.dry_run) {
            for (const walk_file_t &file : plan.todo)
                std::printf("%s\t%" PRIu64 "\n", walk_printable(file.path).c_str(), file.size);
        } else if (!plan.todo.empty() || !plan.stale.empty()) {
            send_files(plan, root, c, state, run);
        }
        std::string unsaved = state_close(state);
        if (!unsaved.empty())
            fail(run, unsaved);
        close(root);
    }
    report_walk(walk, run);

    if (a.dry_run) {
        for (size_t i = run.lines.size() - walk.unsendable.size() - walk.unreadable.size(); i < run.lines.size(); i++)
            std::fprintf(stderr, "velmora-upload: %s\n", run.lines[i].c_str());
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
