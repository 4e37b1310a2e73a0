// The record of files confirmed on the server: path, size and modification
// time, so each day sends only what the server does not have yet.
//
// record_save() replaces the file whole or not at all (temporary file, fsync,
// rename, fsync of the folder). record_load() never fails: a missing, foreign
// or damaged record only costs sending some files again, never skipping one.
#pragma once

#include <cstdint>
#include <map>
#include <string>

struct record_entry_t {
    uint64_t size;
    int64_t mtime;
};

struct record_t {
    std::string target;   // where the files went (server, folder, user)
    std::map<std::string, record_entry_t> files;
};

// Fills `r.files` from `path` when the record there is for `r.target`; returns
// how many lines were unusable (a cut-off or damaged tail is skipped).
int record_load(const std::string &path, record_t &r);
// 1 when the whole record is on disk, 0 with errno set when the old one stays.
// Without `durable` it is not synced: it outlives the process, not a power cut.
int record_save(const std::string &path, const record_t &r, bool durable = true);
// The journal: what a run learnt since the record was last written whole,
// one line appended for each change, so the bytes written grow with the
// files sent and not with the card. Replaying it in order gives the same
// state however often it is replayed; a line cut off by a power cut is
// skipped.
enum record_op_t : char {
    RECORD_LISTED = '+',      // a temporary file of this version may be on the server
    RECORD_DROPPED = '-',     // that temporary file is gone
    RECORD_CONFIRMED = '=',   // the file is whole on the server under its name
};
// The journal's first line: a journal of another target is not replayed.
std::string record_journal_header(const std::string &target);
std::string record_journal_line(record_op_t op, const std::string &path, const record_entry_t &entry);
// Applies the journal at `path` to the record of confirmed files and to the
// one of temporary files; returns how many lines were unusable. Sets
// `matches` when the journal is there and is for `record.target`.
int record_replay(const std::string &path, record_t &record, record_t &unfinished, bool &matches);

// Writes all of `text` to `fd`, through interruptions; false with errno set.
bool record_write_all(int fd, const std::string &text);
// True when the record holds `path` with exactly this size and time.
bool record_has(const record_t &r, const std::string &path, uint64_t size, int64_t mtime);
