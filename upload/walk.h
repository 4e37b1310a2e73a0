// The card walk: every regular file below the card's root, found without
// following a symbolic link, and the percent-encoding of its path for a URL.
//
// A file is opened only through walk_open(), which refuses a link at any
// level, so nothing outside the card is ever read, even when the card's
// contents change between the walk and the upload.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct walk_file_t {
    std::string path;   // relative to the card's root, '/' between segments
    uint64_t size;
    int64_t mtime;      // seconds since the epoch
};

struct walk_result_t {
    std::vector<walk_file_t> files;      // sorted, folder by folder
    std::vector<std::string> unsendable; // names FTP cannot carry (a control character)
    std::vector<std::string> unreadable; // "path: reason" for what could not be read
};

// Descriptor of the card's root directory, or -1 with errno set.
int walk_open_root(const char *root);
// Fills `out` from the card below `root_fd`; the descriptor stays open.
void walk_card(int root_fd, walk_result_t &out);
// Opens a regular file below the root for reading, refusing symbolic links
// on the way and never waiting on a FIFO or device; -1 with errno set
// otherwise.
int walk_open(int root_fd, const std::string &path);
// Each segment percent-encoded (all but A-Z a-z 0-9 - . _ ~), '/' kept.
std::string walk_encode(const std::string &path);
// The text as printable text: control bytes (C1 controls in UTF-8 too) as
// \n, \r or \xHH, so no name or server reply can drive a terminal or a log.
std::string walk_printable(const std::string &text);
// The name a file is stored under until it is whole: hidden, and unique to
// this version of the file (size and time). Never longer than 255 bytes
// when `name` is not: a long name is cut at a character's start and marked
// with a hash of the whole name.
std::string walk_temp_name(const std::string &name, uint64_t size, int64_t mtime);
