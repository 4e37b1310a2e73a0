// From the card and the record to the run's work: the files the server
// does not have yet, and the temporary files of earlier runs that no file
// will continue.
#pragma once

#include "upload/state.h"
#include "upload/walk.h"

#include <cstdint>
#include <vector>

struct plan_t {
    std::vector<walk_file_t> todo;    // in the walk's order
    std::vector<walk_file_t> stale;   // temporary files to remove
    size_t already = 0;
    uint64_t bytes = 0;               // of the files to send
    bool rebuild = false;             // no record: ask the server what it has
};

// Also keeps in `state.record` only files still on the card, so the record
// never grows beyond the card. Takes the files out of `walk`.
void plan_make(walk_result_t &walk, state_t &state, plan_t &plan);
