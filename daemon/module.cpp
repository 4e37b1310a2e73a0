#include "daemon/memcard.h"
#include "daemon/schedule.h"
#include "settings/module_cfg.h"
#include "support/run.h"

#include <cerrno>
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

int upload_cycle(int port);
time_t wait_past(time_t target);

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
void reset_signals()
{
    for (int sig = 1; sig < NSIG; sig++)
        signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

} // namespace

int main(int argc, char **argv)
{
    if (int done = command_line(argc, argv))
        return done - 1;
    reset_signals();

    module_cfg_t cfg;
    module_cfg_load(cfg);

    setsid();
    openlog("Velmora", LOG_PID | LOG_NDELAY, LOG_DAEMON);
    syslog(LOG_NOTICE, "started");

    int port = memCardInit();
    if (port < 0)
        return 1;

    time_t now = time(nullptr);
    unsigned hours, minutes;
    if (!upload_time_parse(cfg.uploadtime.c_str(), hours, minutes)) {
        syslog(LOG_NOTICE, "Invalid time settings. Exit");
        return 0;
    }
    time_t target = first_target(now, hours, minutes);

    for (;;) {
        // After a step of days, or a cycle that lasted days, one cycle
        // covers every missed day and the schedule goes on from the next
        // target ahead of the clock, instead of running one cycle per day
        // missed back to back.
        target = latest_missed_target(target, wait_past(target));
        int status = upload_cycle(port);
        if (status != 0)
            return status;
        target += DAY_S;
    }
}

namespace {

time_t wait_past(time_t target)
{
    // An absolute sleep on the wall clock ends early when the clock is
    // stepped past the target (network time, an operator), which a relative
    // sleep would not notice. The clock is then read with clock_gettime():
    // time() reads a coarse clock that can still show the target's second
    // for a few milliseconds after the sleep has ended.
    const struct timespec wake = {target + 1, 0};
    for (;;) {
        struct timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        if (now.tv_sec > target)
            return now.tv_sec;
        int err = clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME, &wake, nullptr);
        if (err != 0 && err != EINTR)
            sleep(1);
    }
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

// 0 when the card was attached and released again, whatever the upload
// gave; otherwise the exit status that ends the daemon.
int upload_cycle(int port)
{
    if (memCardMount(port) != 0) {
        syslog(LOG_ERR, "Mount error");
        return 1;
    }
    sleep(CARD_SETTLE_S);

    char command[128];
    std::snprintf(command, sizeof command, "%s", DATA_PUT);
    error_log_t before = error_log_state();
    if (run("/bin/sh", "-c", command, 1) == 0) {
        syslog(LOG_ERR, "Data succesfully uploaded");
    } else {
        char reason[256];
        upload_failure_reason(before, reason);
        syslog(LOG_ERR, "Data put problem: %s", reason);
    }

    if (memCardUmount(port) != 0) {
        syslog(LOG_ERR, "Umount error");
        return 1;
    }
    return 0;
}

} // namespace
