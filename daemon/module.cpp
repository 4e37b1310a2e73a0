#include "daemon/module.h"

#include "daemon/memcard.h"
#include "settings/module_cfg.h"
#include "support/run.h"

#include <cerrno>
#include <cstdio>
#include <syslog.h>
#include <unistd.h>

namespace {

constexpr const char *DATA_PUT = "/opt/Velmora/etc/dataPut";
constexpr const char *ERROR_LOG = "/var/Velmora/ftperror.log";
constexpr unsigned CARD_SETTLE_S = 5;
constexpr time_t DAY_S = 86400;

int upload_cycle(int port);

} // namespace

int main()
{
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

int upload_time_parse(const char *text, unsigned &hours, unsigned &minutes)
{
    switch (module_cfg_upload_time(text, hours, minutes)) {
    case UPLOAD_TIME_OK:
        return 1;
    case UPLOAD_TIME_BAD_HOURS:
        syslog(LOG_NOTICE, "Invalid hours %i", static_cast<int>(hours));
        return 0;
    case UPLOAD_TIME_BAD_MINUTES:
        syslog(LOG_NOTICE, "Invalid minutes %i", static_cast<int>(minutes));
        return 0;
    case UPLOAD_TIME_UNREADABLE:
        break;
    }
    return 0;
}

time_t first_target(time_t now, unsigned hours, unsigned minutes)
{
    struct tm local;
    localtime_r(&now, &local);
    local.tm_sec = 0;
    local.tm_min = static_cast<int>(minutes);
    local.tm_hour = static_cast<int>(hours);
    time_t target = mktime(&local);
    if (target < now)
        target += DAY_S;
    return target;
}

time_t latest_missed_target(time_t target, time_t now)
{
    if (now <= target)
        return target;
    return target + (now - 1 - target) / DAY_S * DAY_S;
}

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

namespace {

// The reason the upload script left as the first line of its error log.
void upload_failure_reason(char (&reason)[256])
{
    FILE *f = std::fopen(ERROR_LOG, "r");
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
    if (run("/bin/sh", "-c", command, 1) == 0) {
        syslog(LOG_ERR, "Data succesfully uploaded");
    } else {
        char reason[256];
        upload_failure_reason(reason);
        syslog(LOG_ERR, "Data put problem: %s", reason);
    }

    if (memCardUmount(port) != 0) {
        syslog(LOG_ERR, "Umount error");
        return 1;
    }
    return 0;
}

} // namespace
