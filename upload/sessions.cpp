#include "upload/sessions.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <syslog.h>
#include <thread>
#include <unistd.h>

volatile sig_atomic_t stop_requested = 0;

namespace {

// The journal is synced at most this often while files are confirmed: a
// power cut costs re-sending at most these seconds' worth of files.
constexpr double SYNC_SECONDS = 2.0;
// A file this large gets its temporary name on disk before it goes.
constexpr uint64_t SYNC_BEFORE_BYTES = uint64_t(1) << 20;
constexpr unsigned BACKOFF_FIRST_MS = 2000;
constexpr unsigned BACKOFF_MAX_MS = 120000;
// A busy server is asked again after a pause drawn at random up to a limit
// that doubles from the first to the last: devices turned away together
// come back spread out.
constexpr unsigned BUSY_FIRST_MS = 2000;
constexpr unsigned BUSY_MAX_MS = 20000;
// A server that keeps another size than was sent, file after file, is not
// going to keep the rest of the card either.
constexpr int MISMATCHES_IN_A_ROW = 3;
// Sleeps are cut into pieces this long: a stop reaches the thread that
// took the signal, not necessarily the sleeping one.
constexpr int64_t NAP_MS = 100;

// What one file's attempts came to.
enum outcome_t {
    SENT,
    FILE_FAILED,   // the others can still go
    RUN_FAILED,    // every further file would fail too
    OUT_OF_TIME,   // the time budget ran out
    GIVEN_BACK,    // the server turned this extra session away: it ends
};

struct pool_t {
    plan_t &plan;
    int root;
    const config_t &c;
    state_t &state;
    run_t &run;
    std::mutex lock;
    std::condition_variable changed;
    size_t next = 0;
    std::vector<size_t> given_back;
    bool halt = false;
    bool out_of_time = false;
    int alive = 0;
    bool first_in = false;     // a session logged in
    bool met_busy = false;     // a session was turned away: no more are opened
    int64_t busy_since = 0;    // when the only session was first turned away
    int mismatches = 0;
    bool warned = false;
    size_t gone = 0;             // files that left the card during the run
    std::string busy_reply;      // the last "too many users"
    timespec synced{};
    unsigned seed = 0;

    pool_t(plan_t &plan_, int root_, const config_t &c_, state_t &state_, run_t &run_)
        : plan(plan_), root(root_), c(c_), state(state_), run(run_)
    {
    }
};

struct session_t {
    pool_t &pool;
    ftp_session_t *ftp;
    timespec file_started{};
    bool listed = true;   // the current file's temporary name is on disk
};

// Exponential backoff with jitter, so that devices failing together do not
// come back together.
// `first` doubled `attempt` times, at most `most`.
unsigned doubled(unsigned first, unsigned most, int attempt)
{
    unsigned ms = first;
    for (int i = 0; i < attempt && ms < most; i++)
        ms *= 2;
    return std::min(ms, most);
}

unsigned backoff_ms(pool_t &p, int attempt)
{
    unsigned ms = doubled(BACKOFF_FIRST_MS, BACKOFF_MAX_MS, attempt);
    std::lock_guard<std::mutex> hold(p.lock);
    return ms / 2 + unsigned(rand_r(&p.seed)) % (ms / 2 + 1);
}

// "Full jitter": anywhere from no pause to the limit.
unsigned busy_pause_ms(pool_t &p, int attempt)
{
    unsigned ms = doubled(BUSY_FIRST_MS, BUSY_MAX_MS, attempt);
    std::lock_guard<std::mutex> hold(p.lock);
    return unsigned(rand_r(&p.seed)) % (ms + 1);
}

void warn_tls_once(session_t &session)
{
    pool_t &p = session.pool;
    const ftp_options_t &o = p.c.ftp;
    std::lock_guard<std::mutex> hold(p.lock);
    if (p.warned || !ftp_logged_in(session.ftp) || o.tls != FTP_TLS_AUTO || o.protocol != PROTOCOL_FTP)
        return;
    p.warned = true;
    if (!ftp_encrypted(session.ftp))
        syslog(LOG_WARNING, "FTP server %s offers no TLS: the password and the data went in clear text",
               o.server.c_str());
    else if (o.ca_file.empty())
        syslog(LOG_WARNING, "FTP server %s: encrypted, but its certificate was not checked "
                            "(set CA_FILE in the upload options)", o.server.c_str());
}

void logged_in(session_t &session)
{
    pool_t &p = session.pool;
    if (!ftp_logged_in(session.ftp))
        return;
    std::lock_guard<std::mutex> hold(p.lock);
    if (!p.first_in) {
        p.first_in = true;
        p.changed.notify_all();
    }
}

void sync_now(pool_t &p)
{
    state_sync(p.state);
    std::lock_guard<std::mutex> hold(p.lock);
    clock_gettime(CLOCK_MONOTONIC, &p.synced);
}

bool on_progress(void *context, uint64_t sent)
{
    auto *session = static_cast<session_t *>(context);
    pool_t &p = session->pool;
    logged_in(*session);
    {
        std::lock_guard<std::mutex> hold(p.lock);
        show_progress(p.run, sent);
    }
    // A transfer that takes a while gets its temporary file on disk (and
    // the files confirmed before it), so a power cut during it leaves nothing
    // on the server that a later run does not know of.
    if (!session->listed && seconds_since(session->file_started) >= SYNC_SECONDS) {
        sync_now(p);
        session->listed = true;
    }
    return !stop_requested;
}

bool past_deadline(const config_t &c)
{
    // (libcurl's timer may fire a few milliseconds early.)
    return c.deadline_ms > 0 && now_ms() >= c.deadline_ms - 100;
}

void fail_locked(pool_t &p, const std::string &reason)
{
    std::lock_guard<std::mutex> hold(p.lock);
    fail(p.run, reason);
}

// A session that could not even log in while others are at work: the server
// takes no more. It ends, never the last one.
bool give_back(pool_t &p, size_t index)
{
    std::lock_guard<std::mutex> hold(p.lock);
    if (p.alive <= 1)
        return false;
    // In one step with the count: a session looking for work must find the
    // file before it can find itself the last one.
    p.alive--;
    p.given_back.push_back(index);
    p.met_busy = true;
    syslog(LOG_INFO, "%s server %s takes no more sessions: %d left", ftp_kind(p.c.ftp), p.c.ftp.server.c_str(),
           p.alive);
    return true;
}

// How long the server has been turning sessions away, in whole seconds.
int64_t busy_seconds(const pool_t &p)
{
    return p.busy_since ? (now_ms() - p.busy_since + 500) / 1000 : 0;
}

// What failed before the budget ran out, when anything did: the busy
// server, when that was all.
void fail_cause(pool_t &p, ftp_result_t cause, const std::string &shown, bool locked = false)
{
    std::unique_lock<std::mutex> hold(p.lock, std::defer_lock);
    if (!locked)
        hold.lock();
    if (cause.status == FTP_OK && p.busy_since) {
        cause.status = FTP_BUSY;
        cause.detail = p.busy_reply;
    }
    if (cause.status != FTP_OK)
        fail(p.run, reason_of(cause, p.c.ftp, shown, busy_seconds(p)));
}

// The only session, turned away: false once the window is over.
bool wait_while_busy(pool_t &p, const ftp_result_t &r, int attempt)
{
    const config_t &c = p.c;
    int64_t window_end;
    {
        std::lock_guard<std::mutex> hold(p.lock);
        p.met_busy = true;
        p.busy_reply = r.detail;
        bool first = p.busy_since == 0;
        if (first)
            p.busy_since = now_ms();
        window_end = p.busy_since + c.busy_wait * 1000;
        if (c.deadline_ms > 0)
            window_end = std::min(window_end, c.deadline_ms);
        if (first)
            syslog(LOG_NOTICE, "%s server %s is busy (%s): trying again for up to %lld s", ftp_kind(c.ftp),
                   c.ftp.server.c_str(), r.detail.c_str(),
                   static_cast<long long>(std::max<int64_t>(0, window_end - now_ms()) / 1000));
    }
    int64_t pause = std::min<int64_t>(busy_pause_ms(p, attempt), window_end - now_ms());
    if (pause <= 0 || stop_requested)
        return false;
    pause_ms(pause);
    return !stop_requested && now_ms() < window_end;
}

outcome_t send_one(session_t &session, size_t index, const walk_file_t &file, int fd, const struct stat &st)
{
    pool_t &p = session.pool;
    const config_t &c = p.c;
    std::string shown = walk_printable(file.path);
    ftp_result_t r, cause;
    int busy_attempt = 0;
    for (int attempt = 0;;) {
        if (past_deadline(c)) {
            // What failed before the time ran out is the one to read first;
            // a transfer the budget itself cut short is no cause.
            fail_cause(p, cause, shown);
            return OUT_OF_TIME;
        }
        r = ftp_put(session.ftp, file.path, fd, uint64_t(st.st_size), int64_t(st.st_mtime));
        warn_tls_once(session);
        logged_in(session);
        if (!(r.status == FTP_FILE_FAILED && past_deadline(c)))
            cause = r;
        if (r.status != FTP_OK && !ftp_logged_in(session.ftp) && give_back(p, index))
            return GIVEN_BACK;
        if (r.status == FTP_BUSY) {
            if (wait_while_busy(p, r, busy_attempt++))
                continue;
            break;
        }
        // A size that does not match is tried once more, not for every retry:
        // a server that misreports sizes would otherwise cost minutes a file.
        bool again = r.transient && attempt < (r.file_only ? 1 : c.retries);
        if (r.status == FTP_OK || !again || stop_requested)
            break;
        syslog(LOG_NOTICE, "%s; trying again", reason_of(r, c.ftp, shown).c_str());
        int64_t pause = backoff_ms(p, attempt++);
        if (c.deadline_ms > 0)
            pause = std::min(pause, c.deadline_ms - now_ms());
        pause_ms(pause);
    }
    std::lock_guard<std::mutex> hold(p.lock);
    p.run.bytes += r.sent;
    if (r.status == FTP_OK) {
        p.run.resumed += r.resumed;
        p.mismatches = 0;
        return SENT;
    }
    if (stop_requested)
        return RUN_FAILED;
    // The last try allowed, cut short by the budget.
    if (r.status == FTP_FILE_FAILED && past_deadline(c)) {
        fail_cause(p, cause, shown, true);
        return OUT_OF_TIME;
    }
    fail(p.run, reason_of(r, c.ftp, shown, busy_seconds(p)));
    p.mismatches = r.size_mismatch ? p.mismatches + 1 : 0;
    if (p.mismatches >= MISMATCHES_IN_A_ROW) {
        fail(p.run, std::string(ftp_kind(c.ftp)) + " server " + c.ftp.server + " kept another size than was sent for " +
                        std::to_string(p.mismatches) + " files in a row: nothing more is sent");
        return RUN_FAILED;
    }
    // The server, the login or the link: every next file would fail too.
    return r.status == FTP_FILE_FAILED && (r.file_only || !r.transient) ? FILE_FAILED : RUN_FAILED;
}

// The next file to send; false when there is none or the run is over, and
// the session is then no longer counted, in the same step: a file given
// back just after would otherwise wait for a session that is leaving.
bool take(pool_t &p, size_t &index)
{
    std::lock_guard<std::mutex> hold(p.lock);
    if (!p.halt && !stop_requested && !p.given_back.empty()) {
        index = p.given_back.back();
        p.given_back.pop_back();
        return true;
    }
    if (!p.halt && !stop_requested && p.next < p.plan.todo.size()) {
        index = p.next++;
        return true;
    }
    p.alive--;
    p.changed.notify_all();
    return false;
}

void halt(pool_t &p, bool out_of_time)
{
    std::lock_guard<std::mutex> hold(p.lock);
    p.halt = true;
    p.out_of_time |= out_of_time;
    p.changed.notify_all();
}

void run_session(pool_t &p, ftp_session_t *ftp)
{
    session_t session{p, ftp};
    ftp_set_progress(ftp, on_progress, &session);
    size_t index;
    while (take(p, index)) {
        const walk_file_t &file = p.plan.todo[index];
        int fd = walk_open(p.root, file.path);
        struct stat st;
        if (fd < 0 && errno == ENOENT) {
            std::lock_guard<std::mutex> hold(p.lock);
            p.gone++;   // gone from the card since the walk: nothing to send
            continue;
        }
        if (fd < 0 || fstat(fd, &st) != 0) {
            fail_locked(p, "file " + walk_printable(file.path) + " could not be read from the card: " +
                               std::strerror(errno));
            if (fd >= 0)
                close(fd);
            continue;
        }
        // A temporary file is on record before it can exist, so one that a
        // cut leaves is found again: on disk once the transfer takes a while
        // (on_progress), before it for a large file.
        record_entry_t entry{uint64_t(st.st_size), int64_t(st.st_mtime)};
        state_listed(p.state, file.path, entry);
        session.listed = entry.size >= SYNC_BEFORE_BYTES;
        if (session.listed)
            sync_now(p);
        clock_gettime(CLOCK_MONOTONIC, &session.file_started);
        outcome_t outcome = send_one(session, index, file, fd, st);
        close(fd);
        if (outcome == GIVEN_BACK) {
            ftp_hang_up(ftp);
            return;
        }
        if (outcome == OUT_OF_TIME || outcome == RUN_FAILED)
            halt(p, outcome == OUT_OF_TIME);   // the next take() ends the session
        if (outcome != SENT)
            continue;
        state_confirmed(p.state, file.path, entry);
        bool sync;
        {
            std::lock_guard<std::mutex> hold(p.lock);
            p.run.sent++;
            p.run.bytes_done += entry.size;
            show_progress(p.run, 0);
            sync = seconds_since(p.synced) >= SYNC_SECONDS;
        }
        if (sync)
            sync_now(p);
    }
    ftp_hang_up(ftp);
}

// Whether a listing already showed that `folder` ("a/b/") is not on the
// server: a folder above it is missing, or was listed without it.
bool known_absent(const std::map<std::string, ftp_listing_t> &listed, const std::string &folder)
{
    for (size_t at = 0; at < folder.size();) {
        size_t slash = folder.find('/', at);
        auto above = listed.find(folder.substr(0, at));
        if (above != listed.end() &&
            (above->second.missing || above->second.folders.count(folder.substr(at, slash - at)) == 0))
            return true;
        at = slash + 1;
    }
    return false;
}

// Without a record (a /var wiped by an update, a tmpfs after a reboot) the
// server itself says what it has: a file is taken as there when the server's
// copy has its size and is not older than the card's file, one listing a
// folder, none below a folder the server does not have (a first upload
// costs one). Never when the size differs.
void rebuild(ftp_session_t *s, pool_t &p, std::vector<walk_file_t> &todo)
{
    std::vector<walk_file_t> left;
    std::map<std::string, ftp_listing_t> listed;
    const ftp_listing_t *here = &listed[""];
    std::string here_folder;
    bool usable = true;
    size_t found = 0;
    // The destination folder first, with the reading of the server's clock.
    int64_t offset = 0, slack = 0;
    {
        ftp_result_t r;
        for (int attempt = 0; (r = ftp_list_with_clock(s, listed[""], offset, slack)).status == FTP_BUSY;)
            if (!wait_while_busy(p, r, attempt++))
                break;
        usable = r.status == FTP_OK;
    }
    for (walk_file_t &file : todo) {
        if (stop_requested) {
            left.push_back(std::move(file));
            continue;
        }
        size_t slash = file.path.rfind('/');
        std::string folder = slash == std::string::npos ? "" : file.path.substr(0, slash + 1);
        if (usable && folder != here_folder) {
            here_folder = folder;
            bool seen = listed.count(folder) > 0;
            ftp_listing_t &listing = listed[folder];
            here = &listing;
            if (!seen && known_absent(listed, folder))
                listing.missing = true;
            else if (!seen) {
                ftp_result_t r;
                for (int attempt = 0; (r = ftp_list(s, folder, listing)).status == FTP_BUSY;)
                    if (!wait_while_busy(p, r, attempt++))
                        break;
                // The files then simply go: the send meets the same failure
                // and names it.
                usable = r.status == FTP_OK;
            }
        }
        auto there = usable ? here->files.find(file.path.substr(folder.size())) : here->files.end();
        // The server's copy, on this clock at its earliest, is not older.
        if (usable && there != here->files.end() && there->second.size == file.size &&
            there->second.mtime - offset - std::max(slack, there->second.precision) >= file.mtime) {
            state_confirmed(p.state, file.path, {file.size, file.mtime});
            found++;
        } else
            left.push_back(std::move(file));
    }
    if (found)
        syslog(LOG_NOTICE, "no record of earlier uploads: %zu files already on %s server %s are not sent again",
               found, ftp_kind(p.c.ftp), p.c.ftp.server.c_str());
    p.run.already += found;
    p.run.bytes_total = 0;
    for (const walk_file_t &file : left)
        p.run.bytes_total += file.size;
    todo.swap(left);
}

// Removes the temporary files of earlier runs whose card file changed or
// went; false when the server cannot be used at all.
bool drop_stale(ftp_session_t *s, pool_t &p)
{
    for (const walk_file_t &file : p.plan.stale) {
        ftp_result_t r;
        for (int attempt = 0; (r = ftp_drop_temporary(s, file.path, file.size, file.mtime)).status == FTP_BUSY;)
            if (!wait_while_busy(p, r, attempt++))
                break;
        if (r.status == FTP_OK)
            state_dropped(p.state, file.path, {file.size, file.mtime});
        else if (r.status != FTP_FILE_FAILED || r.transient) {
            fail(p.run, reason_of(r, p.c.ftp, walk_printable(file.path), busy_seconds(p)));
            return false;
        }
    }
    return true;
}

} // namespace

int64_t now_ms()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void pause_ms(int64_t ms)
{
    // Counted in naps, not against the clock: where the sleeps are stood in
    // for (the simulated device) no clock would ever catch up.
    for (int64_t left = ms; left > 0 && !stop_requested; left -= NAP_MS) {
        int64_t nap = std::min(left, NAP_MS);
        timespec t{time_t(nap / 1000), long(nap % 1000) * 1000000L};
        nanosleep(&t, nullptr);
    }
}

void send_files(plan_t &plan, int root, const config_t &c, state_t &state, run_t &run)
{
    std::vector<ftp_session_t *> sessions;
    for (int i = 0; i < c.sessions; i++) {
        ftp_session_t *s = ftp_open(c.ftp);
        if (!s)
            break;
        sessions.push_back(s);
    }
    if (sessions.empty()) {
        fail(run, "cannot set up libcurl");
        return;
    }
    pool_t p(plan, root, c, state, run);
    p.synced = run.started;
    p.seed = unsigned(getpid()) ^ unsigned(time(nullptr));
    std::vector<std::thread> threads;
    // Until its own session takes over: a stop cuts a listing short.
    ftp_set_progress(sessions[0], [](void *, uint64_t) { return !stop_requested; }, nullptr);
    if (plan.rebuild)
        rebuild(sessions[0], p, plan.todo);
    if (drop_stale(sessions[0], p)) {
        // The first session alone: a server that is busy or unreachable is
        // met once, and a fleet's devices take one session each while the
        // server turns some away.
        p.alive = 1;
        threads.emplace_back(run_session, std::ref(p), sessions[0]);
        std::unique_lock<std::mutex> hold(p.lock);
        p.changed.wait(hold, [&p] { return p.first_in || p.met_busy || p.halt || p.alive == 0; });
        size_t more = std::min(sessions.size() - 1, plan.todo.size() - std::min(plan.todo.size(), p.next));
        if (p.first_in && !p.met_busy && !p.halt && p.alive > 0) {
            for (size_t i = 1; i <= more; i++) {
                p.alive++;
                threads.emplace_back(run_session, std::ref(p), sessions[i]);
            }
        }
    }
    for (std::thread &t : threads)
        t.join();
    if (stop_requested && run.sent < plan.todo.size())
        fail(run, "stopped before every file was sent; the rest goes next time");
    if (p.out_of_time)
        fail(run, "the time budget of " + std::to_string(c.budget) +
                      " s (TIME_BUDGET) was used up; the rest goes next time");
    size_t missing = plan.todo.size() - std::min(plan.todo.size(), run.sent + p.gone);
    if (missing) {
        // Every failure names itself; this is the net under them all.
        std::string line = std::to_string(missing) + " of " + std::to_string(plan.todo.size()) +
                           " files to send are not on the server";
        if (run.reason.empty())
            fail(run, line + "; they go next time");
        else
            run.lines.push_back(line);
    }
    if (run.progress)
        std::fputc('\n', stderr);
    for (ftp_session_t *s : sessions)
        ftp_close(s);
}
