// The upload daemon's schedule: the upload time, the first target and how a
// target follows the wall clock.
//
// A target is the last second before a cycle: the cycle starts once the wall
// clock is strictly past it. Targets move on by exactly 86400 s and are
// recomputed from the clock only after it was set by more than a day, so
// daylight saving shifts the local upload time.
#pragma once

#include <ctime>

// Scans "%u:%u"; 1 when usable, else 0 after logging any out-of-range part.
int upload_time_parse(const char *text, unsigned &hours, unsigned &minutes);
// Today's hours:minutes:00 in local time, or tomorrow's when that is earlier
// than `now`.
time_t first_target(time_t now, unsigned hours, unsigned minutes);
// The last of the targets target, target + 1 day, ... that `now` is past: one
// cycle stands for all of them. `now` must be past `target`.
time_t latest_missed_target(time_t target, time_t now);
// The target to keep after the clock was set by `set_by` seconds (negative:
// back): after a step back of more than a day a target more than a day ahead
// of `now` gives way to the first upload time ahead of the clock; any other
// target stays.
time_t target_for_clock(time_t target, time_t now, time_t set_by, unsigned hours,
                        unsigned minutes);
