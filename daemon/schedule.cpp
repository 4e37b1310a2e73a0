#include "daemon/schedule.h"

#include "settings/module_cfg.h"

#include <syslog.h>

namespace {

constexpr time_t DAY_S = 86400;

} // namespace

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
    // The offset of the upload time, not of now: they differ on the night
    // the clocks change.
    local.tm_isdst = -1;
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

time_t target_for_clock(time_t target, time_t now, time_t set_by, unsigned hours,
                        unsigned minutes)
{
    // A clock corrected back by months (a wrong real-time clock meeting
    // network time) would otherwise mean months without an upload. A step
    // back of hours keeps the day's target: that upload runs late by the
    // size of the step rather than twice, and a day whose cycle has run
    // does not get a second one.
    if (set_by < -DAY_S && target - now > DAY_S)
        return first_target(now, hours, minutes);
    return target;
}
