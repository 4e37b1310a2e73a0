// What a run tells: progress on a terminal, and the error log whose first
// line is the reason the daemon reports.
#pragma once

#include "upload/ftp.h"
#include "upload/options.h"
#include "upload/walk.h"

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

struct run_t {
    size_t sent = 0, already = 0, resumed = 0, total = 0;
    uint64_t bytes = 0, bytes_total = 0, bytes_done = 0;
    timespec started{};
    std::string reason;              // the error log's first line
    std::vector<std::string> lines;  // the lines after it
    bool progress = false;
};

double seconds_since(const timespec &start);
std::string human(double bytes);
// One line on stderr, rewritten: files and bytes done, rate, time left.
void show_progress(const run_t &run, uint64_t in_file);
// A failure in an installer's words; `busy_waited` is how long a busy
// server was waited for.
std::string reason_of(const ftp_result_t &r, const ftp_options_t &o, const std::string &file,
                      int64_t busy_waited = 0);
// The first failure is the reason, the others follow it.
void fail(run_t &run, const std::string &reason);
void write_error_log(const args_t &a, const run_t &run);
// Names the card's files that could not be sent or read: the first as a
// failure, each on a line of its own.
void report_walk(const walk_result_t &walk, run_t &run);
