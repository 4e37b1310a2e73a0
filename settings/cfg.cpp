#include "settings/cfg.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <new>
#include <strings.h>

namespace {

constexpr size_t VALUE_MAX = 16000;

// One line of at most 16383 characters; longer lines are read in pieces and
// each piece is examined as a line of its own.
char line[16384];

// Parses like strtoul() on a 32-bit machine, whatever the width of long here.
uint32_t to_u32(const char *s)
{
    while (std::isspace(static_cast<unsigned char>(*s)))
        s++;
    bool negative = false;
    if (*s == '+' || *s == '-')
        negative = *s++ == '-';
    uint64_t magnitude = 0;
    bool saturated = false;
    for (; *s >= '0' && *s <= '9'; s++) {
        magnitude = magnitude * 10 + static_cast<uint64_t>(*s - '0');
        if (magnitude > UINT32_MAX) {
            saturated = true;
            magnitude = UINT32_MAX;
        }
    }
    if (saturated)
        return UINT32_MAX;
    auto value = static_cast<uint32_t>(magnitude);
    return negative ? static_cast<uint32_t>(0u - value) : value;
}

// Splits one line as the reader sees it: the key is cut off in place and the
// value returned, or null for a line without one.
char *split(char *text)
{
    text[std::strcspn(text, "\r")] = '\0';
    text[std::strcspn(text, "\n")] = '\0';
    // The quote cut comes before the '=' search: that is what lets a
    // quoted value hold quotes of its own.
    if (char *quote = std::strrchr(text, '"'))
        *quote = '\0';
    char *eq = std::strchr(text, '=');
    if (!eq)
        return nullptr;
    *eq = '\0';
    return *(eq + 1) == '"' ? eq + 2 : eq + 1;
}

} // namespace

FILE *cfg_open(const char *path, const char *mode)
{
    return std::fopen(path, mode);
}

void cfg_close(FILE *f)
{
    if (f)
        std::fclose(f);
}

std::string cfg_get_str(FILE *f, const char *key) noexcept
{
    if (!f)
        return {};
    std::rewind(f);
    while (std::fgets(line, sizeof line, f)) {
        const char *value = split(line);
        if (!value || strcasecmp(line, key) != 0)
            continue;
        try {
            return value;
        } catch (const std::bad_alloc &) {
            return {};
        }
    }
    return {};
}

uint32_t cfg_get_int(FILE *f, const char *key) noexcept
{
    return to_u32(cfg_get_str(f, key).c_str());
}

uint32_t cfg_get_ip(FILE *f, const char *key) noexcept
{
    unsigned a, b, c, d;
    if (std::sscanf(cfg_get_str(f, key).c_str(), "%u.%u.%u.%u", &a, &b, &c, &d) != 4)
        return 0;
    return (a << 24) + (b << 16) + (c << 8) + d;
}

std::string cfg_line_key(const std::string &text)
{
    std::string copy = text.substr(0, sizeof line - 1);
    return split(copy.data()) ? copy.c_str() : "";
}

void cfg_put_str(FILE *f, const char *key, const char *value)
{
    if (!f)
        return;
    // Text after a line break would be read as lines of its own, able to
    // forge any key written after this one; the reader never sees it anyway.
    int len = static_cast<int>(std::min(std::strcspn(value, "\r\n"), VALUE_MAX));
    // The reader cuts a line at its last quote and drops one quote after the
    // '=', so a quoted value always reads back whole, quotes of its own
    // included; an unquoted one only when it holds no quote.
    bool quote = std::memchr(value, ' ', static_cast<size_t>(len)) ||
                 std::memchr(value, '"', static_cast<size_t>(len));
    std::fprintf(f, quote ? "%s=\"%.*s\"\n" : "%s=%.*s\n", key, len, value);
}

void cfg_put_int(FILE *f, const char *key, uint32_t value, int write_zero)
{
    if (!f)
        return;
    if (value || write_zero)
        std::fprintf(f, "%s=%u\n", key, static_cast<unsigned>(value));
    else
        std::fprintf(f, "%s=\n", key);
}

void cfg_put_bool(FILE *f, const char *key, int flag)
{
    if (f)
        std::fprintf(f, "%s=%u\n", key, flag ? 1u : 0u);
}

void cfg_put_ip(FILE *f, const char *key, uint32_t address)
{
    if (!f)
        return;
    if (address)
        std::fprintf(f, "%s=%u.%u.%u.%u\n", key, static_cast<unsigned>(address >> 24),
                     static_cast<unsigned>((address >> 16) & 255),
                     static_cast<unsigned>((address >> 8) & 255), static_cast<unsigned>(address & 255));
    else
        std::fprintf(f, "%s=\n", key);
}
