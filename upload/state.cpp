#include "upload/state.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char *RECORD_NAME = "uploaded";
constexpr const char *UNFINISHED_NAME = "unfinished";
constexpr const char *JOURNAL_NAME = "journal";
// Below this the journal is left to grow: rewriting a small record saves
// nothing worth a write.
constexpr uint64_t JOURNAL_MIN = uint64_t{64} * 1024;

uint64_t size_of(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
}


void sync_folder(const std::string &path)
{
    size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

void failed(state_t &s, const std::string &what)
{
    if (s.problem.empty())
        s.problem = "cannot " + what + ": " + std::strerror(errno) + " (the files sent are sent again next time)";
}

// Opened on the first change only: a run that sends nothing writes nothing.
bool open_journal(state_t &s)
{
    if (s.journal >= 0)
        return true;
    bool fresh = s.journal_bytes == 0;
    s.journal = open(s.journal_path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | (fresh ? O_TRUNC : 0), 0644);
    if (s.journal < 0) {
        failed(s, "write " + s.journal_path);
        return false;
    }
    std::string start;
    if (fresh)
        start = record_journal_header(s.record.target);
    else {
        // A line that a power cut left without its end is ended, so that it
        // stays one unusable line and spoils no other.
        char last = '\n';
        if (pread(s.journal, &last, 1, off_t(s.journal_bytes - 1)) == 1 && last != '\n')
            start = "\n";
    }
    if (!record_write_all(s.journal, start)) {
        failed(s, "write " + s.journal_path);
        return false;
    }
    s.journal_bytes += start.size();
    if (fresh) {
        fdatasync(s.journal);
        sync_folder(s.journal_path);
    }
    return true;
}

void append(state_t &s, record_op_t op, const std::string &path, const record_entry_t &entry)
{
    if (!s.usable || !s.problem.empty() || !open_journal(s))
        return;
    std::string line = record_journal_line(op, path, entry);
    if (!record_write_all(s.journal, line)) {
        failed(s, "write " + s.journal_path);
        return;
    }
    s.journal_bytes += line.size();
    s.unsynced = true;
}

} // namespace

int state_load(state_t &s, const std::string &folder, const std::string &target, bool fresh)
{
    s.record_path = folder + "/" + RECORD_NAME;
    s.unfinished_path = folder + "/" + UNFINISHED_NAME;
    s.journal_path = folder + "/" + JOURNAL_NAME;
    s.record.target = s.unfinished.target = target;
    int bad = 0;
    if (!fresh)
        bad += record_load(s.record_path, s.record);
    s.record_bytes = size_of(s.record_path);
    record_load(s.unfinished_path, s.unfinished);
    record_t ignored;
    ignored.target = target;
    bool matches = false;
    bad += record_replay(s.journal_path, fresh ? ignored : s.record, s.unfinished, matches);
    s.journal_bytes = matches ? size_of(s.journal_path) : 0;
    s.known = matches || !s.record.files.empty();
    // The record on disk still lists what --all sends again.
    s.compact = fresh;
    return bad;
}

void state_listed(state_t &s, const std::string &path, const record_entry_t &entry)
{
    std::lock_guard<std::mutex> hold(s.lock);
    s.unfinished.files[path] = entry;
    append(s, RECORD_LISTED, path, entry);
}

void state_dropped(state_t &s, const std::string &path, const record_entry_t &entry)
{
    std::lock_guard<std::mutex> hold(s.lock);
    s.unfinished.files.erase(path);
    append(s, RECORD_DROPPED, path, entry);
}

void state_confirmed(state_t &s, const std::string &path, const record_entry_t &entry)
{
    std::lock_guard<std::mutex> hold(s.lock);
    s.unfinished.files.erase(path);
    s.record.files[path] = entry;
    append(s, RECORD_CONFIRMED, path, entry);
}

void state_sync(state_t &s)
{
    std::lock_guard<std::mutex> hold(s.lock);
    if (s.journal >= 0 && s.unsynced && fdatasync(s.journal) != 0)
        failed(s, "write " + s.journal_path);
    s.unsynced = false;
}

std::string state_close(state_t &s)
{
    state_sync(s);
    std::lock_guard<std::mutex> hold(s.lock);
    if (s.journal >= 0)
        close(s.journal);
    s.journal = -1;
    bool outgrown = s.journal_bytes > std::max(s.record_bytes, JOURNAL_MIN);
    if (!s.usable || !s.problem.empty() || !(s.compact || outgrown))
        return s.problem;
    // Record first, then the temporary files, then the journal goes: a cut
    // between them only replays lines already in the files.
    if (!record_save(s.record_path, s.record)) {
        failed(s, "save the record " + s.record_path);
        return s.problem;
    }
    bool unfinished = s.unfinished.files.empty() ? unlink(s.unfinished_path.c_str()) == 0 || errno == ENOENT
                                                 : record_save(s.unfinished_path, s.unfinished) == 1;
    if (!unfinished) {
        failed(s, "save " + s.unfinished_path);
        return s.problem;
    }
    if (unlink(s.journal_path.c_str()) != 0 && errno != ENOENT)
        failed(s, "remove " + s.journal_path);
    else
        sync_folder(s.journal_path);
    return s.problem;
}
