// The daemon's one place of waiting: signals (through a signalfd), the
// schedule's alarm on the wall clock, pauses on the monotonic clock, the end
// of a script and changes in the settings folder, all in one ppoll().
//
// events_init() blocks the handled signals for the whole process (scripts
// start with a clear mask). Nothing wakes the daemon while it waits but these.
#pragma once

#include <ctime>

enum event_t {
    EVENT_ALARM,       // the wall clock is past the target
    EVENT_CLOCK_SET,   // the wall clock was set: the target needs a new look
    EVENT_STOP,        // SIGTERM or SIGINT
    EVENT_RELOAD,      // SIGHUP, or the settings file was written or replaced
    EVENT_UPLOAD_NOW,  // SIGUSR1
};

// 1 when the daemon can wait; 0 after logging why not. A settings folder that
// cannot be watched is logged and leaves SIGHUP as the way to reload.
int events_init(const char *settings_path);
// Waits until the wall clock is past `target`, or for the first other event.
// A reload asked for during a cycle comes first.
event_t events_wait(time_t target);
// Within a cycle: pauses `seconds` on the monotonic clock. With `stoppable` a
// stop ends the pause early and gives 0; otherwise 1. Reloads are kept for
// events_wait(); upload requests are logged and dropped.
int events_pause(unsigned seconds, int stoppable);
// Within a cycle: runs "/bin/sh -c command" and gives its wait status. With
// `stoppable` a stop ends the script's process group: SIGTERM, then SIGKILL
// to what is left of it after a grace period; it returns once the whole group
// is gone, not only the shell. The daemon adopts what its scripts leave
// behind and reaps it: every child it starts and waits for goes through here.
int events_run(const char *command, int stoppable);
// 1 once SIGTERM or SIGINT came: the daemon is to release the card and end.
int events_stopping();
