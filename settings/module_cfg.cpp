#include "settings/module_cfg.h"

#include "settings/cfg.h"

#define NUMBER(f, k) {#f, k, &module_cfg_t::f, nullptr}
#define TEXT(f, k) {#f, k, nullptr, &module_cfg_t::f}

const module_cfg_field_t module_cfg_fields[MODULE_CFG_FIELDS] = {
    NUMBER(enabled, "MOD_VELMORA_ENABLED"),
    TEXT(ftp_serv_ip, "MOD_VELMORA_FTP_SERV_IP"),
    NUMBER(oper, "MOD_VELMORA_OPER"),
    TEXT(dest_folder, "MOD_VELMORA_DEST_FOLDER"),
    TEXT(username, "MOD_VELMORA_USERNAME"),
    TEXT(password, "MOD_VELMORA_PASSWORD"),
    TEXT(uploadtime, "MOD_VELMORA_UPLOADTIME"),
    TEXT(company, "MOD_VELMORA_COMPANY"),
    TEXT(owner_first, "MOD_VELMORA_OWNER_FIRST"),
    TEXT(owner_surname, "MOD_VELMORA_OWNER_SURNAME"),
    TEXT(street, "MOD_VELMORA_STREET"),
    TEXT(street_number, "MOD_VELMORA_STREET_NUMBER"),
    TEXT(zip, "MOD_VELMORA_ZIP"),
    TEXT(town, "MOD_VELMORA_TOWN"),
    TEXT(tax, "MOD_VELMORA_TAX"),
    TEXT(phone, "MOD_VELMORA_PHONE"),
    TEXT(install_date, "MOD_VELMORA_INSTALL_DATE"),
    TEXT(offline_date, "MOD_VELMORA_OFFLINE_DATE"),
    TEXT(note, "MOD_VELMORA_NOTE"),
    TEXT(key, "MOD_VELMORA_KEY"),
};

#undef NUMBER
#undef TEXT

void module_cfg_load(module_cfg_t &cfg, const char *path) noexcept
{
    FILE *f = cfg_open(path, "r");
    for (const module_cfg_field_t &field : module_cfg_fields) {
        if (field.number)
            cfg.*field.number = cfg_get_int(f, field.key);
        else
            cfg.*field.text = cfg_get_str(f, field.key);
    }
    cfg_close(f);
}
