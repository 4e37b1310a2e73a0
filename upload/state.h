// The state folder of a run: the record of files confirmed on the server,
// the temporary files that may be there, and the journal of what changed
// since the record was written whole.
//
// Flash wears with every byte written: a confirmed file costs one journal
// line, not a rewrite of the record. The record is rewritten (compacted)
// only when the journal has grown past it. A power cut loses at most the
// lines since the last state_sync(), and never leaves a line that is not
// whole in use.
//
// Every function takes the state's own lock: sessions call them at once.
#pragma once

#include "upload/record.h"

#include <mutex>
#include <string>

struct state_t {
    std::string record_path, unfinished_path, journal_path;
    bool usable = true;       // false: a state folder that cannot be written
    record_t record;          // confirmed files still on the card
    record_t unfinished;      // temporary files that may be on the server
    int journal = -1;
    uint64_t journal_bytes = 0;
    uint64_t record_bytes = 0;   // the record file on disk
    bool unsynced = false;
    bool compact = false;        // the record on disk must be written anew
    bool known = false;          // a record or journal of this target was there
    std::string problem;         // the first write that failed
    std::mutex lock;
};

// Loads the record, the temporary files and the journal for `target`;
// with `fresh` the record is not used (every file is sent again). Returns
// how many lines were unusable.
int state_load(state_t &s, const std::string &folder, const std::string &target, bool fresh);
// A temporary file of this version may be made on the server now.
void state_listed(state_t &s, const std::string &path, const record_entry_t &entry);
void state_dropped(state_t &s, const std::string &path, const record_entry_t &entry);
void state_confirmed(state_t &s, const std::string &path, const record_entry_t &entry);
// Everything so far on disk (fdatasync of the journal).
void state_sync(state_t &s);
// At the end of a run: synced, and the record written whole when the journal
// outgrew it. Empty, or why what was sent may be sent again.
std::string state_close(state_t &s);
