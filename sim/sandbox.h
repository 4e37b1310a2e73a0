// A simulated device for one run of the real velmorad binary.
//
// The run happens in a private mount namespace (and a user namespace when
// not root) where /opt/Velmora/etc, /var/Velmora, /var/lock and /dev are the
// device's own: /dev/ttyS1 is a fresh pseudo-terminal and /dev/log a socket
// read here. Nothing outside the device's scratch directory is touched.
#pragma once

#include "sim/procs.h"

#include <ctime>
#include <functional>
#include <string>
#include <utility>
#include <vector>

// Something the test does when the virtual wall clock gets to `at`: sends the
// daemon a signal, or runs a function (writing the settings, say). The
// process that got there waits until the daemon has taken the signal in.
struct sim_action_t {
    time_t at;
    int signal = 0;
    std::function<void()> run;
};

struct sim_device_t {
    std::string dir;                  // scratch root; created by sim_create()
    std::string velmorad;             // the binary to run
    std::string hw_library;           // the preloaded hardware and clock layer
    std::string tz = "UTC0";
    time_t start = 0;                 // virtual wall clock when the run starts
    time_t horizon = 0;               // a sleep past this ends the run
    bool with_port = true;            // whether /dev/ttyS1 exists
    int fail_modem_request = 0;       // the Nth DTR request fails (1-based)
    bool refuse_line_settings = false;  // tcsetattr() on the port fails
    std::vector<std::pair<time_t, time_t>> clock_steps;  // at, to
    time_t kill_at = 0;               // SIGKILL the daemon when the clock gets here
    std::vector<std::string> wrapper; // run the daemon under this, e.g. valgrind
    bool real_clock = false;          // simulate only the DTR line
    // Without a hardware library (empty path: nothing preloaded, so a static
    // daemon runs too) the DTR requests can still be made to succeed,
    // unrecorded, by a seccomp filter; the clock is then the real one.
    bool dtr_by_seccomp = false;
    std::string bin_dir;              // bound at /opt/Velmora/bin when set
    std::vector<std::string> devices; // more device nodes, at the same paths
    std::vector<std::string> args;    // the daemon's command line
    bool lock_names_daemon = false;   // a lock file left with the daemon's own pid
    std::string lock_dir = "writable";  // /var/lock: "writable", "read-only" or "missing"
    bool signals_ignored_and_blocked = false;  // started with SIGCHLD ignored, all blocked
    std::vector<sim_action_t> actions;  // in order of `at`
    bool notify_socket = false;       // NOTIFY_SOCKET names a socket read here
};


// One event of the run: virtual time, process, kind and the rest of the line.
// Kinds: "dtr" 0|1, "dtr-fail" N, "log" PRIORITY TEXT, "step" FROM, "park",
// "kill" PID, "signal" NUMBER (sent by an action), "hangup" (the port closed
// with DTR raised, which drops it),
// and what the scripts add ("script", "exit", "fds").
struct sim_event_t {
    double t;
    int pid;
    std::string kind;
    std::string text;
};

// One datagram as the system logger would have received it.
struct sim_log_t {
    int facility;
    int priority;
    std::string ident;
    int pid;
    std::string text;
};

struct sim_run_t {
    bool ended = false;      // the daemon ended by itself...
    int status = 0;          // ...with this raw wait status
    bool parked = false;     // it was waiting past the horizon and was stopped
    bool wedged = false;     // neither within the real-time limit
    int pid = 0;
    double end = 0;          // virtual time when the run ended
    sim_proc_t settled;      // the daemon half a second after its first message
    sim_proc_t last;         // and when it was stopped (not when it ended itself)
    int children_left = 0;   // children of the daemon when it was stopped
    int stragglers = 0;      // its processes still running a while after it ended
    std::string error;       // why the sandbox could not be set up
    std::vector<sim_event_t> events;
    std::vector<sim_log_t> log;
    std::vector<std::string> notified;  // datagrams on the notify socket
    int line_speed = -1;     // the port's speed (termios code) after the run
};

// Makes dir/{etc,var,lock,run}; dir/run is the device's /run. Returns false with a message on stderr.
bool sim_create(sim_device_t &dev);
// Paths inside the scratch root, seen from outside the sandbox.
std::string sim_etc(const sim_device_t &dev, const std::string &name);
std::string sim_var(const sim_device_t &dev, const std::string &name);
std::string sim_lock(const sim_device_t &dev);
bool sim_write(const std::string &path, const std::string &content, int mode = 0644);

// Writes the card script "memCard" and the upload script "dataPut". Each
// records "script NAME ARGS" when it starts, runs the shell snippet for its
// action in a subshell, and records "exit NAME ARGS STATUS" with the status
// of that snippet, which is also its own. With `probe` set it runs that
// program first and records "fds STATUS".
void sim_install_scripts(const sim_device_t &dev, const std::string &mount,
                         const std::string &umount, const std::string &upload,
                         const std::string &probe = "");

// Runs the daemon until it ends, parks at the horizon, or `limit_s` real
// seconds have passed.
sim_run_t sim_run(const sim_device_t &dev, double limit_s = 30);

// Virtual seconds since the epoch as "YYYY-MM-DD HH:MM:SS" in dev.tz.
std::string sim_local(const sim_device_t &dev, double t);
// Local date and time in dev.tz to seconds since the epoch.
time_t sim_at(const sim_device_t &dev, int year, int month, int day, int hour, int minute,
              int second = 0);
