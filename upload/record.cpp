#include "upload/record.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr const char *HEADER = "velmora-upload record 1 ";
constexpr const char *TMP_SUFFIX = ".tmp";
constexpr size_t RECORD_PIECE = size_t{64} * 1024;
constexpr const char *JOURNAL_HEADER = "velmora-upload journal 2 ";

// Paths are stored with '%', controls and blanks escaped, so one line is
// one file whatever its name.
std::string escape(const std::string &text)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (c <= ' ' || c == '%' || c == 0x7f) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else
            out += char(c);
    }
    return out;
}

bool unescape(const std::string &text, std::string &out)
{
    out.clear();
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size() || !std::isxdigit((unsigned char)text[i + 1]) ||
            !std::isxdigit((unsigned char)text[i + 2]))
            return false;
        out += char(std::stoi(text.substr(i + 1, 2), nullptr, 16));
        i += 2;
    }
    return true;
}

bool parse_line(const std::string &line, std::string &path, record_entry_t &entry)
{
    uint64_t size;
    int64_t mtime;
    int used = 0;
    if (std::sscanf(line.c_str(), "%" SCNu64 " %" SCNd64 " %n", &size, &mtime, &used) != 2 || used == 0)
        return false;
    std::string escaped = line.substr(size_t(used));
    if (escaped.empty() || escaped.find(' ') != std::string::npos || !unescape(escaped, path))
        return false;
    entry = {size, mtime};
    return true;
}


std::string folder_of(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// FNV-1a of a journal line: the mark of a line written whole.
uint32_t line_check(const std::string &line)
{
    uint32_t hash = 2166136261u;
    for (unsigned char c : line) {
        hash ^= c;
        hash *= 16777619u;
    }
    return hash;
}

// Calls `take` with each whole line after a first line equal to `header`;
// returns the unusable lines (those `take` refused, and a last line without
// its newline, cut off while being written). -1 when there is no such file
// or it is for another target.
template <typename Take> int each_line(const std::string &path, const std::string &header, Take take)
{
    FILE *f = std::fopen(path.c_str(), "r");
    if (!f)
        return -1;
    int bad = 0;
    bool first = true, ours = false;
    std::string line;
    int c;
    while ((c = std::fgetc(f)) != EOF) {
        if (c != '\n') {
            line += char(c);
            continue;
        }
        if (first) {
            ours = line == header;
            first = false;
            if (!ours)
                break;
        } else if (!take(line))
            bad++;
        line.clear();
    }
    std::fclose(f);
    if (!ours)
        return -1;
    return bad + (line.empty() ? 0 : 1);
}

} // namespace

int record_load(const std::string &path, record_t &r)
{
    r.files.clear();
    int bad = each_line(path, HEADER + escape(r.target), [&r](const std::string &line) {
        std::string file;
        record_entry_t entry;
        if (!parse_line(line, file, entry))
            return false;
        r.files[file] = entry;
        return true;
    });
    return std::max(bad, 0);
}

std::string record_journal_header(const std::string &target)
{
    return JOURNAL_HEADER + escape(target) + "\n";
}

std::string record_journal_line(record_op_t op, const std::string &path, const record_entry_t &entry)
{
    char numbers[48];
    std::snprintf(numbers, sizeof numbers, "%c %" PRIu64 " %" PRId64 " ", char(op), entry.size, entry.mtime);
    std::string line = numbers + escape(path);
    char check[16];
    std::snprintf(check, sizeof check, " %08x\n", line_check(line));
    return line + check;
}

int record_replay(const std::string &path, record_t &record, record_t &unfinished, bool &matches)
{
    std::string header = record_journal_header(record.target);
    header.pop_back();
    int bad = each_line(path, header, [&](const std::string &line) {
        std::string file;
        record_entry_t entry;
        // A line cut short by a power cut, even one ended later, lacks its
        // check: "d/a1" cut from "d/a12" must never confirm "d/a1".
        size_t blank = line.rfind(' ');
        if (blank == std::string::npos || line.size() - blank != 9 ||
            line.find_first_not_of("0123456789abcdef", blank + 1) != std::string::npos ||
            std::strtoul(line.c_str() + blank + 1, nullptr, 16) != line_check(line.substr(0, blank)))
            return false;
        if (line.size() < 2 || line[1] != ' ' || !parse_line(line.substr(2, blank - 2), file, entry))
            return false;
        switch (line[0]) {
        case RECORD_LISTED:
            unfinished.files[file] = entry;
            return true;
        case RECORD_DROPPED:
            unfinished.files.erase(file);
            return true;
        case RECORD_CONFIRMED:
            unfinished.files.erase(file);
            record.files[file] = entry;
            return true;
        default:
            return false;
        }
    });
    matches = bad >= 0;
    return std::max(bad, 0);
}

int record_save(const std::string &path, const record_t &r, bool durable)
{
    std::string tmp = path + TMP_SUFFIX;
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return 0;
    // Written in pieces: a record of a large card is not held twice.
    std::string text = HEADER + escape(r.target) + "\n";
    char numbers[48];
    bool ok = true;
    for (const auto &[file, entry] : r.files) {
        std::snprintf(numbers, sizeof numbers, "%" PRIu64 " %" PRId64 " ", entry.size, entry.mtime);
        text += numbers + escape(file) + "\n";
        if (text.size() >= RECORD_PIECE) {
            ok = ok && record_write_all(fd, text);
            text.clear();
        }
    }
    ok = ok && record_write_all(fd, text) && (!durable || fsync(fd) == 0);
    int saved = errno;
    ok = close(fd) == 0 && ok;
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
        saved = ok ? errno : saved;
        unlink(tmp.c_str());
        errno = saved;
        return 0;
    }
    // The rename itself is on disk only once its folder is.
    int dir = durable ? open(folder_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return 1;
}

bool record_has(const record_t &r, const std::string &path, uint64_t size, int64_t mtime)
{
    auto it = r.files.find(path);
    return it != r.files.end() && it->second.size == size && it->second.mtime == mtime;
}

bool record_write_all(int fd, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}
