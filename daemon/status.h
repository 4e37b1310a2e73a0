// Where the daemon stands, in one line: the next upload (local time) or the
// phase of the running cycle, and the last cycle's result and time.
//
// Each change replaces /run/velmorad.status whole (a reader never sees half
// a line) and, under systemd (NOTIFY_SOCKET), goes out as STATUS=.
// Call nothing but status_init() before the port is taken: until then the
// status file may be another running instance's.
#pragma once

#include <ctime>

void status_init();
void status_next(time_t target);
void status_phase(const char *phase);
// The cycle that began at `started` ended: `result` as a person reads it.
void status_result(time_t started, const char *result);
// Start-up is done, the first upload is at `target`: READY=1.
void status_ready(time_t target);
// Start-up is done and the daemon is about to end on its own, for the reason
// `phase`: READY=1 all the same.
void status_ready_to_end(const char *phase);
// A stop began: STOPPING=1, with `phase` as the line.
void status_stopping(const char *phase);
