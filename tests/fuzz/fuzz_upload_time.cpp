// Any text as an upload time: accepted only as a real time of day.
#include "settings/module_cfg.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    unsigned hours = 0, minutes = 0;
    if (module_cfg_upload_time(text.c_str(), hours, minutes) == UPLOAD_TIME_OK &&
        (hours > 23 || minutes > 59))
        __builtin_trap();
    return 0;
}
