// Arbitrary bytes as a settings file: every key is looked up with every
// reader, and the values must keep the reader's promises.
#include "settings/cfg.h"
#include "settings/module_cfg.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FILE *f = size ? fmemopen(const_cast<uint8_t *>(data), size, "r") : nullptr;
    for (const module_cfg_field_t &field : module_cfg_fields) {
        std::string value = cfg_get_str(f, field.key);
        // One piece of a line at most, and never a line break.
        if (value.size() > 16383 - std::strlen(field.key) - 1 ||
            value.find_first_of("\r\n") != std::string::npos)
            __builtin_trap();
        cfg_get_int(f, field.key);
        cfg_get_ip(f, field.key);
        unsigned hours, minutes;
        module_cfg_upload_time(value.c_str(), hours, minutes);
    }
    cfg_close(f);
    return 0;
}
