// The simulated device's shared state: the virtual wall clock, the DTR line
// and the failures to inject. One file, mapped by the harness and by every
// process of the sandbox through the hardware library.
//
// Fields are atomics in memory that the processes share; the harness fills
// the plain fields before the daemon starts and never changes them after.
#pragma once

#include <atomic>
#include <cstdint>

constexpr int SIM_MAX_STEPS = 16;
constexpr int SIM_MAX_ACTIONS = 16;

struct sim_state_t {
    int real_clock;                       // 1: only the DTR line is simulated
    std::atomic<int64_t> now_ns;          // virtual wall clock
    int64_t horizon_ns;                   // a sleep past this parks the process
    std::atomic<int> parked_pid;          // the first process that parked
    std::atomic<int> dtr;                 // 1 raised, 0 lowered
    std::atomic<int> modem_requests;      // TIOCMBIS/TIOCMBIC/TIOCMSET so far
    int fail_modem_request;               // this one (1-based) fails; 0 none
    int refuse_line_settings;             // 1: tcsetattr() on the port fails
    int steps;                            // clock steps, in order of `at_ns`
    std::atomic<int> steps_done;
    int64_t step_at_ns[SIM_MAX_STEPS];    // when the wall clock reaches this,
    int64_t step_to_ns[SIM_MAX_STEPS];    // it is set to this
    std::atomic<int> daemon_pid;          // set by the sandbox before exec
    int64_t kill_at_ns;                   // when the clock gets here the daemon
    std::atomic<int> killed;              // is killed with SIGKILL, once
    std::atomic<int64_t> stepped_ns;      // all steps so far: wall minus monotonic
    int actions;                          // the test acts when the clock gets to
    int64_t action_at_ns[SIM_MAX_ACTIONS];  // each of these, in order:
    std::atomic<int> actions_reached;     // the process that got there waits
    std::atomic<int> actions_done;        // until the harness has acted
    std::atomic<int> action_waiter;       // (its pid)
    std::atomic<int64_t> daemon_alarm_ns; // the daemon waits, children running, for
                                          // this wall time: others sleep up to it
};

// Environment of the sandboxed processes that the hardware library reads.
constexpr const char *SIM_STATE_ENV = "VELMORA_SIM_STATE";
constexpr const char *SIM_EVENTS_ENV = "VELMORA_SIM_EVENTS";
