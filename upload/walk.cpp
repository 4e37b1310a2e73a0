#include "upload/walk.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <numeric>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int DIR_FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// Opening a FIFO waits for a writer, a device may wait for anything: the
// file is opened without waiting, and only a regular file is kept.
constexpr int FILE_FLAGS = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
// The longest name the common file systems hold, on the server as here.
constexpr size_t NAME_MAX_BYTES = 255;

std::string join(const std::string &prefix, const std::string &name)
{
    if (prefix.empty())
        return name;
    std::string path = prefix;
    path += '/';
    path += name;
    return path;
}

bool ftp_can_carry(const std::string &name)
{
    // CR and LF would end the FTP command; libcurl refuses every other
    // control byte in a path, so those could never be sent either.
    return std::none_of(name.begin(), name.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

// Opens `path` below the root one segment at a time, refusing a symbolic
// link at every level; only the root and one segment are open at a time.
int open_below(int root_fd, const std::string &path, int last_flags)
{
    int dir = root_fd;
    size_t start = 0;
    for (;;) {
        size_t slash = path.find('/', start);
        std::string segment = path.substr(start, slash == std::string::npos ? slash : slash - start);
        bool last = slash == std::string::npos;
        int fd = segment.empty() || segment == "." || segment == ".."
                     ? (errno = EINVAL, -1)
                     : openat(dir, segment.c_str(), last ? last_flags : DIR_FLAGS);
        int saved = errno;
        if (dir != root_fd)
            close(dir);
        if (fd < 0) {
            errno = saved;
            return -1;
        }
        if (last)
            return fd;
        dir = fd;
        start = slash + 1;
    }
}

// The folder is read and closed before its subfolders are opened, each
// again from the root: descriptors stay few however deep the card.
void walk_dir(int root_fd, int dir_fd, const std::string &prefix, walk_result_t &out)
{
    DIR *dir = fdopendir(dir_fd);
    if (!dir) {
        out.unreadable.push_back(walk_printable(prefix) + ": " + std::strerror(errno));
        close(dir_fd);
        return;
    }
    std::vector<std::string> names;
    errno = 0;
    while (dirent *entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.push_back(entry->d_name);
    }
    if (errno)
        out.unreadable.push_back(walk_printable(prefix) + ": " + std::strerror(errno));
    std::sort(names.begin(), names.end());

    std::vector<std::string> folders;
    for (const std::string &name : names) {
        std::string path = join(prefix, name);
        struct stat st;
        if (fstatat(dirfd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            out.unreadable.push_back(walk_printable(path) + ": " + std::strerror(errno));
            continue;
        }
        bool folder = S_ISDIR(st.st_mode);
        if (!folder && !S_ISREG(st.st_mode))
            continue;   // links, devices, sockets: not the card's data
        if (!ftp_can_carry(name)) {
            out.unsendable.push_back(walk_printable(path));
            continue;
        }
        if (folder)
            folders.push_back(name);
        else
            out.files.push_back({path, uint64_t(st.st_size), int64_t(st.st_mtime)});
    }
    // Files of a folder before its subfolders: the server changes folder
    // once per folder, never back and forth.
    closedir(dir);
    for (const std::string &name : folders) {
        std::string path = join(prefix, name);
        int fd = open_below(root_fd, path, DIR_FLAGS);
        if (fd < 0)
            out.unreadable.push_back(walk_printable(path) + ": " + std::strerror(errno));
        else
            walk_dir(root_fd, fd, path, out);
    }
}

} // namespace

int walk_open_root(const char *root)
{
    return open(root, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

void walk_card(int root_fd, walk_result_t &out)
{
    int fd = dup(root_fd);
    if (fd < 0) {
        out.unreadable.push_back(std::string(".: ") + std::strerror(errno));
        return;
    }
    // fdopendir() takes over the descriptor and reads from its position.
    lseek(fd, 0, SEEK_SET);
    walk_dir(root_fd, fd, "", out);
}

int walk_open(int root_fd, const std::string &path)
{
    int fd = open_below(root_fd, path, FILE_FLAGS);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || fcntl(fd, F_SETFL, O_RDONLY) != 0) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

std::string walk_encode(const std::string &path)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : path) {
        bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                          c == '-' || c == '.' || c == '_' || c == '~';
        if (unreserved || c == '/')
            out += char(c);
        else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string walk_printable(const std::string &text)
{
    static const char hex[] = "0123456789abcdef";
    auto escaped = [](std::string &out, unsigned char c) {
        out += "\\x";
        out += hex[c >> 4];
        out += hex[c & 15];
    };
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        auto c = static_cast<unsigned char>(text[i]);
        auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c < 0x20 || c == 0x7f)
            escaped(out, c);
        else if (c == 0xc2 && next >= 0x80 && next <= 0x9f) {
            escaped(out, c);
            escaped(out, next);
            i++;
        } else
            out += char(c);
    }
    return out;
}

std::string walk_temp_name(const std::string &name, uint64_t size, int64_t mtime)
{
    std::string suffix = ".part-" + std::to_string(size) + "-" + std::to_string(mtime);
    std::string tmp = "." + name + suffix;
    if (tmp.size() <= NAME_MAX_BYTES)
        return tmp;
    uint64_t hash = std::accumulate(name.begin(), name.end(), uint64_t{14695981039346656037ULL},   // FNV-1a
                                    [](uint64_t h, char c) { return (h ^ static_cast<unsigned char>(c)) * 1099511628211ULL; });
    char mark[20];
    std::snprintf(mark, sizeof mark, "~%016llx", static_cast<unsigned long long>(hash));
    size_t keep = NAME_MAX_BYTES - 1 - suffix.size() - std::strlen(mark);
    while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xc0) == 0x80)
        keep--;
    return "." + name.substr(0, keep) + mark + suffix;
}
