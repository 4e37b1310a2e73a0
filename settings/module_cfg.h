// The module's settings record and its twenty MOD_VELMORA_ keys.
//
// Loading never fails: a missing file or key leaves an empty string or 0.
// Saving replaces the file as a whole or not at all, and says which; the
// file holds a password, so it is saved 0600 (or a stricter mode it had).
// Lines that are not the record's (comments, other programs' keys) and the
// record's lines whose value stays are kept as they were.
// The daemon reads only `uploadtime`; every other field is carried for the
// scripts and tools that share the file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

constexpr const char *MODULE_CFG_PATH = "/opt/Velmora/etc/settings";

struct module_cfg_t {
    uint32_t enabled = 0;
    std::string ftp_serv_ip;
    uint32_t oper = 0;
    std::string dest_folder;
    std::string username;
    std::string password;
    std::string uploadtime;
    std::string company;
    std::string owner_first;
    std::string owner_surname;
    std::string street;
    std::string street_number;
    std::string zip;
    std::string town;
    std::string tax;
    std::string phone;
    std::string install_date;
    std::string offline_date;
    std::string note;
    std::string key;
};

// One field of the record, in the file's order: exactly one of `number` and
// `text` is set.
struct module_cfg_field_t {
    const char *name;   // the field's name, as in module_cfg_t
    const char *key;    // its key in the settings file
    uint32_t module_cfg_t::*number;
    std::string module_cfg_t::*text;
};

constexpr int MODULE_CFG_FIELDS = 20;
extern const module_cfg_field_t module_cfg_fields[MODULE_CFG_FIELDS];

// The settings file opened for reading, or null with errno: only a regular
// file (EINVAL for anything else: a FIFO would block the reader for ever,
// a device like /dev/zero never ends).
FILE *module_cfg_open(const char *path);
void module_cfg_load(module_cfg_t &cfg, const char *path = MODULE_CFG_PATH) noexcept;
// 1 when the whole record is on disk, 0 when the file was left as it was
// (or, where no temporary file could be made beside it, possibly cut short).
int module_cfg_save(const module_cfg_t &cfg, const char *path = MODULE_CFG_PATH);

enum upload_time_t {
    UPLOAD_TIME_OK,
    UPLOAD_TIME_UNREADABLE,    // not two numbers in the form "%u:%u"
    UPLOAD_TIME_BAD_HOURS,     // hours above 23 (checked first)
    UPLOAD_TIME_BAD_MINUTES,   // minutes above 59
};
// What the daemon makes of an upload time: the one rule for it and the tools.
upload_time_t module_cfg_upload_time(const char *text, unsigned &hours, unsigned &minutes);
