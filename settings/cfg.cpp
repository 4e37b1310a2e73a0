#include "settings/cfg.h"

#include <cctype>
#include <cstring>
#include <new>
#include <strings.h>

namespace {

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
        line[std::strcspn(line, "\r")] = '\0';
        line[std::strcspn(line, "\n")] = '\0';
        // The quote cut comes before the '=' search: that is what lets a
        // quoted value hold quotes of its own.
        if (char *quote = std::strrchr(line, '"'))
            *quote = '\0';
        char *eq = std::strchr(line, '=');
        if (!eq)
            continue;
        *eq = '\0';
        if (strcasecmp(line, key) != 0)
            continue;
        const char *value = eq + 1;
        if (*value == '"')
            value++;
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
