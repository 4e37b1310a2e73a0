// What a run leaves to read: the datagrams on the device's /dev/log and
// notify socket, and the events file that the hardware layer, the scripts and
// the harness append to, one "<virtual seconds> <pid> <kind> <details>" a line.
#pragma once

#include "sim/sandbox.h"

#include <cstdint>

// Reads what has come; waits up to `timeout_ms` for the first datagram only.
void sim_drain_log(int sock, std::vector<sim_log_t> &log, int timeout_ms);
void sim_drain_notify(int sock, std::vector<std::string> &messages);
void sim_append_event(const std::string &path, int64_t now_ns, int pid, const std::string &what);
std::vector<sim_event_t> sim_read_events(const std::string &path);
