// The processes of a run, read from /proc: the daemon's children or its whole
// session (counted, and signalled when asked), a signal still pending, and
// what a process costs.
#pragma once

#include <sys/types.h>

// What a process has cost so far, from /proc.
struct sim_proc_t {
    double cpu_s = 0;        // user and system time
    long voluntary = 0;      // voluntary context switches: its wake-ups
    long rss_kb = 0;         // VmRSS
    long hwm_kb = 0;         // VmHWM, the peak
    long pss_kb = 0;         // proportional: pages shared with others counted in part
    long sim_layer_kb = 0;   // of VmRSS, what the preloaded hardware library takes
    bool valid = false;
};
sim_proc_t sim_proc(int pid);

// Processes whose parent (or, with `session`, whose session; zombies there
// left out) is `id`; each is sent `sig` when it is not 0.
int sim_count_processes(int id, bool session, int sig = 0);
// Scripts that outlive the daemon end on their own; returns how many of its
// session were still there after a few seconds (and are then killed).
int sim_wait_for_session(pid_t sid);
// Whether `sig`, sent to the process, waits (blocked) to be taken in.
bool sim_pending(int pid, int sig);
// Whether the process is off the CPU: waiting for something, or ended.
bool sim_sleeping(int pid);
