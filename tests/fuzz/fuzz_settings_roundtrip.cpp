// A value written with the writer and read back with the reader must give
// the value's first line (at most 16000 characters), quotes and all.
#include "settings/cfg.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string value(reinterpret_cast<const char *>(data), size);
    value = value.c_str();  // a C string ends at its first zero byte

    char *text = nullptr;
    size_t len = 0;
    FILE *out = open_memstream(&text, &len);
    cfg_put_str(out, "MOD_VELMORA_NOTE", value.c_str());
    std::fclose(out);

    FILE *in = fmemopen(text, len, "r");
    std::string back = cfg_get_str(in, "mod_velmora_note");
    std::fclose(in);
    std::free(text);

    std::string expected = value.substr(0, std::min(value.find_first_of("\r\n"), size_t{16000}));
    if (back != expected)
        __builtin_trap();
    return 0;
}
