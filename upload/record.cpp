#include "upload/record.h"

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr const char *HEADER = "velmora-upload record 1 ";
constexpr const char *TMP_SUFFIX = ".tmp";

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

bool write_all(int fd, const std::string &text)
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

std::string folder_of(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

int record_load(const std::string &path, record_t &r)
{
    r.files.clear();
    FILE *f = std::fopen(path.c_str(), "r");
    if (!f)
        return 0;
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
            ours = line == HEADER + escape(r.target);
            first = false;
        } else if (ours) {
            std::string file;
            record_entry_t entry;
            if (parse_line(line, file, entry))
                r.files[file] = entry;
            else
                bad++;
        }
        line.clear();
    }
    std::fclose(f);
    // A last line without its newline was cut off while being written.
    return bad + (line.empty() ? 0 : 1);
}

int record_save(const std::string &path, const record_t &r, bool durable)
{
    std::string text = HEADER + escape(r.target) + "\n";
    char numbers[48];
    for (const auto &[file, entry] : r.files) {
        std::snprintf(numbers, sizeof numbers, "%" PRIu64 " %" PRId64 " ", entry.size, entry.mtime);
        text += numbers + escape(file) + "\n";
    }
    std::string tmp = path + TMP_SUFFIX;
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return 0;
    bool ok = write_all(fd, text) && (!durable || fsync(fd) == 0);
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
