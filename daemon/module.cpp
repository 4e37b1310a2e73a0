#include "daemon/events.h"
#include "daemon/memcard.h"
#include "daemon/schedule.h"
#include "daemon/status.h"
#include "settings/module_cfg.h"

#include <csignal>
#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace {

constexpr const char *DATA_PUT = "/opt/Velmora/etc/dataPut";
constexpr const char *ERROR_LOG = "/var/Velmora/ftperror.log";
constexpr unsigned CARD_SETTLE_S = 5;
constexpr time_t DAY_S = 86400;

constexpr const char *USAGE =
    "usage: velmorad [--help | --version]\n"
    "Once a day, at the upload time in /opt/Velmora/etc/settings, attaches the\n"
    "memory card (DTR of /dev/ttyS1), runs /opt/Velmora/etc/dataPut, reports to\n"
    "the system log and releases the card. Runs in the foreground.\n"
    "\n"
    "Signals: SIGHUP re-reads the settings, SIGUSR1 uploads now, SIGTERM and\n"
    "SIGINT stop it cleanly. Its state is in /run/velmorad.status.\n";

struct schedule_t {
    unsigned hours;
    unsigned minutes;
    time_t target;
    // The wall clock and the boot clock read together when the target was
    // last set or its day came: how far the wall clock was set since then.
    time_t anchor_wall;
    time_t anchor_boot;
};

int command_line(int argc, char **argv);
void reset_signals();
bool upload_cycle(int port, int &exit_status);
void reload(schedule_t &schedule, time_t now);
int stopped(int port);

// The wall clock to the second. time() reads a coarse clock that can still
// show the target's second for a few milliseconds after the alarm.
time_t wall_clock()
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec;
}

// Seconds since boot, suspended time included: no setting of the wall clock
// moves it.
time_t boot_clock()
{
    struct timespec now;
    clock_gettime(CLOCK_BOOTTIME, &now);
    return now.tv_sec;
}

void anchor(schedule_t &schedule)
{
    schedule.anchor_wall = wall_clock();
    schedule.anchor_boot = boot_clock();
}

// How far the wall clock was set since the anchor: negative when back.
time_t clock_set_by(const schedule_t &schedule, time_t now)
{
    return now - (schedule.anchor_wall + (boot_clock() - schedule.anchor_boot));
}

} // namespace

int main(int argc, char **argv)
{
    if (int done = command_line(argc, argv))
        return done - 1;
    reset_signals();

    setsid();
    openlog("Velmora", LOG_PID | LOG_NDELAY, LOG_DAEMON);
    syslog(LOG_NOTICE, "started");
    // From here a stop waits for the first wait instead of ending us halfway.
    // The settings are watched before they are read: a change in between
    // would otherwise go unseen until the next one.
    if (!events_init(MODULE_CFG_PATH))
        return 1;
    module_cfg_t cfg;
    module_cfg_load(cfg);
    status_init();

    int port = memCardInit();
    if (port < 0)
        return 1;

    time_t now = wall_clock();
    schedule_t schedule;
    if (!upload_time_parse(cfg.uploadtime.c_str(), schedule.hours, schedule.minutes)) {
        syslog(LOG_NOTICE, "Invalid time settings. Exit");
        // Ready first: a service manager takes an exit before that for a
        // failed start and would start us again and again.
        status_ready_to_end("ended: invalid upload time");
        memCardShutdown(port);
        return 0;
    }
    schedule.target = first_target(now, schedule.hours, schedule.minutes);
    anchor(schedule);
    status_ready(schedule.target);

    for (;;) {
        int exit_status;
        time_t stepped;
        switch (events_wait(schedule.target)) {
        case EVENT_STOP:
            status_stopping("stopping");
            return stopped(port);
        case EVENT_RELOAD:
            reload(schedule, wall_clock());
            break;
        case EVENT_CLOCK_SET:
            break;
        case EVENT_UPLOAD_NOW:
            syslog(LOG_NOTICE, "Upload requested: starting a cycle now");
            if (!upload_cycle(port, exit_status))
                return exit_status;
            // An upload time that came while the requested cycle ran was
            // served by it: that day's card is uploaded already.
            if (wall_clock() > schedule.target) {
                schedule.target = latest_missed_target(schedule.target, wall_clock()) + DAY_S;
                anchor(schedule);
            }
            break;
        case EVENT_ALARM:
            // After a step of days, or a cycle that lasted days, one cycle
            // covers every missed day and the schedule goes on from the next
            // target ahead of the clock, instead of running one cycle per day
            // missed back to back.
            stepped = clock_set_by(schedule, wall_clock());
            schedule.target = latest_missed_target(schedule.target, wall_clock());
            anchor(schedule);
            if (!upload_cycle(port, exit_status))
                return exit_status;
            // A clock set forward by days (a board without a real-time
            // clock meeting network time) gets its upload time read afresh:
            // targets counted on from the old clock keep the old offset,
            // winter time all summer.
            schedule.target = stepped > DAY_S ? first_target(wall_clock(), schedule.hours, schedule.minutes)
                                              : schedule.target + DAY_S;
            break;
        }
        time_t wall = wall_clock();
        time_t target = target_for_clock(schedule.target, wall, clock_set_by(schedule, wall),
                                         schedule.hours, schedule.minutes);
        if (target != schedule.target) {
            schedule.target = target;
            anchor(schedule);
        }
        status_next(schedule.target);
    }
}

namespace {

// 0 to go on and run, else 1 + the exit status: the command line asked only
// for a text, or was wrong.
int command_line(int argc, char **argv)
{
    if (argc < 2)
        return 0;
    std::string arg = argv[1];
    if (argc == 2 && arg == "--help") {
        std::fputs(USAGE, stdout);
        return 1;
    }
    if (argc == 2 && arg == "--version") {
        std::printf("velmorad %s\n", VELMORA_VERSION);
        return 1;
    }
    std::fprintf(stderr, "velmorad: unknown argument '%s'\n%s", argv[argc == 2 ? 1 : 2], USAGE);
    return 3;
}

// A supervisor or shell may start us with signals ignored or blocked, and
// children inherit both: with SIGCHLD ignored no child can be waited for.
// What the daemon handles stays blocked (the scripts start with a clear mask),
// so a reload or an upload request that comes before the wait is set up
// waits for it instead of ending the daemon.
void reset_signals()
{
    for (int sig = 1; sig < NSIG; sig++)
        signal(sig, SIG_DFL);
    sigset_t handled;
    sigemptyset(&handled);
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGCHLD})
        sigaddset(&handled, sig);
    sigprocmask(SIG_SETMASK, &handled, nullptr);
}

// A usable upload time sets the next target from now, as at start-up; an
// unusable one leaves the schedule as it was.
void reload(schedule_t &schedule, time_t now)
{
    module_cfg_t cfg;
    module_cfg_load(cfg);
    unsigned hours, minutes;
    const char *why = nullptr;
    switch (module_cfg_upload_time(cfg.uploadtime.c_str(), hours, minutes)) {
    case UPLOAD_TIME_OK:
        break;
    case UPLOAD_TIME_BAD_HOURS:
        why = "hours above 23";
        break;
    case UPLOAD_TIME_BAD_MINUTES:
        why = "minutes above 59";
        break;
    case UPLOAD_TIME_UNREADABLE:
        why = "not HH:MM";
        break;
    }
    if (why) {
        syslog(LOG_ERR, "Settings changed: unusable upload time \"%.32s\" (%s), keeping %02u:%02u",
               cfg.uploadtime.c_str(), why, schedule.hours, schedule.minutes);
        return;
    }
    if (hours != schedule.hours || minutes != schedule.minutes) {
        schedule.hours = hours;
        schedule.minutes = minutes;
        schedule.target = first_target(now, hours, minutes);
        anchor(schedule);
    }
    syslog(LOG_NOTICE, "Settings read: upload time %02u:%02u", hours, minutes);
}

// What the error log was before the upload script ran: a log it did not
// rewrite holds an older failure's reason.
struct error_log_t {
    bool exists;
    struct stat st;
};

error_log_t error_log_state()
{
    error_log_t log;
    log.exists = stat(ERROR_LOG, &log.st) == 0;
    return log;
}

bool same_timestamp(const struct timespec &a, const struct timespec &b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// The first line of the error log when the upload script wrote it. The file's
// own times are compared, not the clock, which may have been set meanwhile.
void upload_failure_reason(const error_log_t &before, char (&reason)[256])
{
    error_log_t now = error_log_state();
    bool rewritten = now.exists &&
                     (!before.exists || now.st.st_ino != before.st.st_ino ||
                      now.st.st_dev != before.st.st_dev ||
                      !same_timestamp(now.st.st_mtim, before.st.st_mtim) ||
                      !same_timestamp(now.st.st_ctim, before.st.st_ctim));
    FILE *f = rewritten ? std::fopen(ERROR_LOG, "r") : nullptr;
    if (!f || !std::fgets(reason, sizeof reason, f))
        std::snprintf(reason, sizeof reason, "unknown error\n");
    if (f)
        std::fclose(f);
}

int stopped(int port)
{
    syslog(LOG_NOTICE, "stopped");
    memCardShutdown(port);
    memCardUnlock();
    return 0;
}

// false with the exit status when the card could not be released: a card
// that may still be mounted must not lose its power, so the daemon ends.
bool release_card(int port, int &exit_status)
{
    if (memCardUmount(port) == 0)
        return true;
    syslog(LOG_ERR, "Umount error");
    status_phase("ended: Umount error");
    exit_status = 1;
    return false;
}

// A stop within a cycle: the card is released as after any cycle, the
// script that was running having been ended.
bool release_on_stop(int port, time_t started, int &exit_status)
{
    status_stopping("stopping: releasing the card");
    if (!release_card(port, exit_status))
        return false;
    status_result(started, "stopped before the end");
    exit_status = stopped(port);
    return false;
}

// true when the card was attached and released again, whatever the upload
// gave; otherwise false with the exit status that ends the daemon.
bool upload_cycle(int port, int &exit_status)
{
    time_t started = wall_clock();
    status_phase("attaching the card");
    int mounted = memCardMount(port);
    if (events_stopping())
        return release_on_stop(port, started, exit_status);
    if (mounted != 0) {
        syslog(LOG_ERR, "Mount error");
        status_phase("ended: Mount error");
        // The card is not mounted: nothing holds it but its power.
        if (memCardPowerOff(port) == 0)
            memCardShutdown(port);
        exit_status = 1;
        return false;
    }
    if (!events_pause(CARD_SETTLE_S, 1))
        return release_on_stop(port, started, exit_status);

    status_phase("uploading");
    char command[128];
    std::snprintf(command, sizeof command, "%s", DATA_PUT);
    error_log_t before = error_log_state();
    int status = events_run(command, 1);
    if (events_stopping()) {
        syslog(LOG_NOTICE, "Upload cut short by a stop");
        return release_on_stop(port, started, exit_status);
    }
    std::string result = "succeeded";
    if (status == 0) {
        syslog(LOG_ERR, "Data succesfully uploaded");
    } else {
        char reason[256];
        upload_failure_reason(before, reason);
        syslog(LOG_ERR, "Data put problem: %s", reason);
        result = std::string("failed: ") + reason;
        while (!result.empty() && result.back() == '\n')
            result.pop_back();
    }

    status_phase("releasing the card");
    if (!release_card(port, exit_status))
        return false;
    status_result(started, result.c_str());
    if (events_stopping()) {
        status_stopping("stopping");
        exit_status = stopped(port);
        return false;
    }
    return true;
}

} // namespace
