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
// True when the record holds `path` with exactly this size and time.
bool record_has(const record_t &r, const std::string &path, uint64_t size, int64_t mtime);
