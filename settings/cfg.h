// Access to KEY=value settings files: open, close, typed look-ups and writers.
//
// Look-ups never fail: a missing key, a missing file (null handle) or an
// exhausted heap all give an empty string or 0. Every look-up rewinds the
// handle and shares one static line buffer, so use a handle from one thread.
// Writers append one line each and report nothing: check ferror() after.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// A plain fopen(path, mode); null when the file does not open.
FILE *cfg_open(const char *path, const char *mode);
// Accepts null and then does nothing.
void cfg_close(FILE *f);

// Value of the first line whose key matches, ignoring letter case.
std::string cfg_get_str(FILE *f, const char *key) noexcept;
// Unsigned decimal, modulo 2^32 for a leading minus, saturating at UINT32_MAX.
uint32_t cfg_get_int(FILE *f, const char *key) noexcept;
// "a.b.c.d" as (a << 24) + (b << 16) + (c << 8) + d in host order, else 0.
uint32_t cfg_get_ip(FILE *f, const char *key) noexcept;

// The key the look-ups see in one line of a file, "" when they skip it.
std::string cfg_line_key(const std::string &text);

// Writes at most the first 16000 characters before any CR or LF, between
// quotes when they hold a space or a quote, so the reader gives them back.
void cfg_put_str(FILE *f, const char *key, const char *value);
// A zero is written as an empty value unless `write_zero` is set.
void cfg_put_int(FILE *f, const char *key, uint32_t value, int write_zero);
void cfg_put_bool(FILE *f, const char *key, int flag);
// Host-order IPv4 address as a.b.c.d; 0 as an empty value.
void cfg_put_ip(FILE *f, const char *key, uint32_t address);
