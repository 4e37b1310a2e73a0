#include "daemon/events.h"

#include "support/run.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

namespace {

// A script gets this long to end on SIGTERM before SIGKILL.
constexpr unsigned STOP_GRACE_S = 10;
// What SIGKILL hit may take a moment to let go of the card; one stuck in the
// kernel is not waited for longer than this.
constexpr unsigned KILL_SETTLE_S = 2;
constexpr int HANDLED[] = {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGCHLD};

int signals = -1;
int alarm_timer = -1;   // absolute, on the wall clock
int pause_timer = -1;   // relative, on the monotonic clock
int watch = -1;
std::string settings_path;
// The watched folders, each with the one name in it that matters.
struct watched_t {
    int wd;
    std::string folder;
    std::string name;
};
watched_t watched[3];
bool stopping = false;
bool reload_kept = false;
// The shell events_run() started, and its wait status once it has ended.
pid_t script = 0;
bool script_ended = false;
int script_status = 1;

enum ready_t { READY_SIGNAL = 1, READY_ALARM = 2, READY_PAUSE = 4, READY_WATCH = 8 };

unsigned wait_for(bool alarm, bool pause)
{
    struct pollfd p[] = {{signals, POLLIN, 0},
                         {alarm ? alarm_timer : -1, POLLIN, 0},
                         {pause ? pause_timer : -1, POLLIN, 0},
                         {watch, POLLIN, 0}};
    while (ppoll(p, 4, nullptr, nullptr) < 0) {
        // Out of memory, say: try again in a second rather than spin.
        if (errno != EINTR) {
            const struct timespec second = {1, 0};
            nanosleep(&second, nullptr);
        }
    }
    unsigned ready = 0;
    for (unsigned i = 0; i < 4; i++)
        ready |= p[i].revents ? 1u << i : 0;
    return ready;
}

// Reaps every child that has ended: the script, whose status is kept, and
// whatever the daemon adopted as subreaper (what a script left behind). Only
// the script is ever waited for, so nobody else's status is lost here.
void reap()
{
    for (;;) {
        int status;
        pid_t done = waitpid(-1, &status, WNOHANG);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0) {
            // No child left at all: the script cannot end any more.
            if (done < 0 && script > 0 && !script_ended) {
                script_ended = true;
                script_status = 1;
            }
            return;
        }
        if (done == script) {
            script_ended = true;
            script_status = status;
        }
    }
}

// A child's end is taken in as soon as its SIGCHLD is read: one signal may
// stand for several ends.
int next_signal()
{
    struct signalfd_siginfo info;
    if (read(signals, &info, sizeof info) != static_cast<ssize_t>(sizeof info))
        return 0;
    if (info.ssi_signo == SIGCHLD)
        reap();
    return static_cast<int>(info.ssi_signo);
}

// A process group is there as long as one of its members is, a zombie not
// yet reaped included.
bool group_ended(pid_t group)
{
    return kill(-group, 0) < 0 && errno == ESRCH;
}

std::string folder_of(const std::string &path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string name_of(const std::string &path)
{
    return path.substr(path.rfind('/') + 1);
}

// Folders are watched, not files: a writer that renames a new file over the
// settings leaves a watch on the file pointing at the old one. Three places
// can change what the settings path reads: the file in its folder, the file
// a symbolic link there leads to (in a folder of its own), and the folder
// itself, replaced as a whole in its parent. Each change sets the watches
// up anew, on what the path leads to then. 0 with errno when the settings
// folder cannot be watched.
int watch_settings()
{
    if (watch >= 0)
        close(watch);
    std::fill(std::begin(watched), std::end(watched), watched_t{-1, "", ""});
    watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch < 0)
        return 0;
    constexpr uint32_t FILE_EVENTS = IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_DELETE_SELF |
                                     IN_MOVE_SELF;
    std::string folder = folder_of(settings_path);
    auto add = [](watched_t &w, const std::string &path, uint32_t events) {
        w = {inotify_add_watch(watch, folder_of(path).c_str(), events), folder_of(path),
             name_of(path)};
    };
    add(watched[0], folder, IN_MOVED_TO | IN_CREATE);
    add(watched[1], settings_path, FILE_EVENTS);
    int why = errno;
    char real[PATH_MAX];
    if (realpath(settings_path.c_str(), real))
        add(watched[2], real, FILE_EVENTS);
    if (watched[1].wd < 0 && watched[0].wd < 0) {
        close(watch);
        watch = -1;
    }
    errno = why;
    return watched[1].wd >= 0;
}

// Whether an event may have changed what the settings path reads.
bool counts(const struct inotify_event &e)
{
    // A queue that overflowed may have lost the event we want; a watched
    // folder that went away leaves the path to something else.
    if (e.mask & (IN_Q_OVERFLOW | IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF))
        return true;
    for (const watched_t &w : watched) {
        if (w.wd != e.wd || !e.len || w.name != e.name)
            continue;
        if (!(e.mask & IN_CREATE))
            return true;
        // A file being created is read once it is closed; a symbolic link
        // or a folder is whole as soon as it is there.
        struct stat st;
        if (lstat((w.folder + "/" + w.name).c_str(), &st) == 0 && !S_ISREG(st.st_mode))
            return true;
    }
    return false;
}

// Whether the settings may read differently since the last call.
bool settings_changed()
{
    alignas(struct inotify_event) char buf[4096];
    bool changed = false;
    ssize_t n;
    while ((n = read(watch, buf, sizeof buf)) > 0) {
        for (char *p = buf; p < buf + n;) {
            auto *e = reinterpret_cast<struct inotify_event *>(p);
            changed = changed || counts(*e);
            p += sizeof *e + e->len;
        }
    }
    // Set up again before the settings are read, so that nothing written
    // from here on goes unseen.
    if (changed)
        watch_settings();
    return changed;
}

void arm(int timer, int flags, time_t seconds)
{
    struct itimerspec when = {};
    when.it_value.tv_sec = seconds;
    timerfd_settime(timer, flags, &when, nullptr);
}

bool timer_expired(int timer)
{
    uint64_t expirations;
    return read(timer, &expirations, sizeof expirations) == sizeof expirations;
}

// A signal that came within a cycle. Returns true for the first stop.
bool within_cycle(int sig)
{
    switch (sig) {
    case SIGTERM:
    case SIGINT:
        if (stopping)
            return false;
        stopping = true;
        return true;
    case SIGHUP:
        reload_kept = true;
        return false;
    case SIGUSR1:
        syslog(LOG_NOTICE, "Upload requested during an upload cycle: ignored");
        return false;
    default:
        return false;
    }
}

} // namespace

int events_init(const char *path)
{
    sigset_t handled;
    sigemptyset(&handled);
    for (int sig : HANDLED)
        sigaddset(&handled, sig);
    sigprocmask(SIG_BLOCK, &handled, nullptr);
    signals = signalfd(-1, &handled, SFD_NONBLOCK | SFD_CLOEXEC);
    alarm_timer = timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC);
    pause_timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (signals < 0 || alarm_timer < 0 || pause_timer < 0) {
        syslog(LOG_ERR, "cannot set up waiting: %s", std::strerror(errno));
        return 0;
    }
    // The shell that runs a script dies of a stop's SIGTERM at once; what it
    // started (the uploader, saving its record) must still get its grace.
    // Adopted by the daemon, the group's last members wake the wait as they
    // end; should the kernel refuse, a stop simply waits out the grace.
    prctl(PR_SET_CHILD_SUBREAPER, 1);

    settings_path = path;
    if (!watch_settings())
        syslog(LOG_ERR, "cannot watch %s for settings changes: %s; SIGHUP reloads them",
               folder_of(settings_path).c_str(), std::strerror(errno));
    return 1;
}

event_t events_wait(time_t target)
{
    if (reload_kept) {
        reload_kept = false;
        return EVENT_RELOAD;
    }
    // Absolute on the wall clock, so a clock stepped past the target ends the
    // wait at once; and cancelled by any setting of the clock, so a clock
    // set back is seen too. No other wake-up is needed.
    struct itimerspec when = {};
    when.it_value.tv_sec = target + 1;
    timerfd_settime(alarm_timer, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &when, nullptr);
    for (;;) {
        unsigned ready = wait_for(true, false);
        if (ready & READY_SIGNAL) {
            switch (next_signal()) {
            case SIGTERM:
            case SIGINT:
                stopping = true;
                return EVENT_STOP;
            case SIGHUP:
                return EVENT_RELOAD;
            case SIGUSR1:
                return EVENT_UPLOAD_NOW;
            default:
                break;
            }
        }
        if ((ready & READY_WATCH) && settings_changed())
            return EVENT_RELOAD;
        if (ready & READY_ALARM) {
            uint64_t expirations;
            ssize_t n = read(alarm_timer, &expirations, sizeof expirations);
            if (n < 0 && errno == ECANCELED)
                return EVENT_CLOCK_SET;
            struct timespec now;
            clock_gettime(CLOCK_REALTIME, &now);
            if (n == sizeof expirations && now.tv_sec > target)
                return EVENT_ALARM;
        }
    }
}

int events_pause(unsigned seconds, int stoppable)
{
    arm(pause_timer, 0, seconds);
    for (;;) {
        unsigned ready = wait_for(false, true);
        if ((ready & READY_SIGNAL) && within_cycle(next_signal()) && stoppable) {
            arm(pause_timer, 0, 0);
            return 0;
        }
        if ((ready & READY_WATCH) && settings_changed())
            reload_kept = true;
        if ((ready & READY_PAUSE) && timer_expired(pause_timer))
            return 1;
    }
}

int events_run(const char *command, int stoppable)
{
    pid_t group = run_child("/bin/sh", "-c", command);
    if (group < 0)
        return 1;
    script = group;
    script_ended = false;
    // After a stop the shell's end is not enough: the whole group gets its
    // grace, and what SIGKILL then hits a moment to be gone, so that
    // nothing of it still holds the card or runs on beside the release.
    enum { RUNNING, GRACE, KILLED, GIVEN_UP } phase = RUNNING;
    for (;;) {
        if (script_ended && (phase == RUNNING || phase == GIVEN_UP || group_ended(group)))
            break;
        unsigned ready = wait_for(false, phase == GRACE || phase == KILLED);
        if ((ready & READY_SIGNAL) && within_cycle(next_signal()) && stoppable) {
            kill(-group, SIGTERM);
            arm(pause_timer, 0, STOP_GRACE_S);
            phase = GRACE;
        }
        if ((ready & READY_WATCH) && settings_changed())
            reload_kept = true;
        if ((ready & READY_PAUSE) && timer_expired(pause_timer)) {
            if (phase == GRACE) {
                kill(-group, SIGKILL);
                arm(pause_timer, 0, KILL_SETTLE_S);
                phase = KILLED;
            } else {
                phase = GIVEN_UP;
            }
        }
    }
    arm(pause_timer, 0, 0);
    script = 0;
    return script_status;
}

int events_stopping()
{
    return stopping ? 1 : 0;
}
