// velmora-settings: reads and changes the module settings file for
// installers and scripts, through the same reader and writer as the daemon.
#include "settings/cfg.h"
#include "settings/module_cfg.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <strings.h>
#include <vector>

namespace {

constexpr int EXIT_REFUSED = 1;
constexpr int EXIT_USAGE = 2;
constexpr size_t VALUE_MAX = 16000;

void usage(FILE *out)
{
    std::fprintf(out,
        "usage: velmora-settings [--file PATH] show [--show-password]\n"
        "       velmora-settings [--file PATH] get NAME\n"
        "       velmora-settings [--file PATH] set NAME=VALUE...\n"
        "\n"
        "Reads and changes the module settings (default %s).\n"
        "NAME is a field name such as uploadtime or owner_surname, or its key such as\n"
        "MOD_VELMORA_UPLOADTIME, in any letter case.\n"
        "\n"
        "  show    every field in the file's order as KEY=value (password masked\n"
        "          unless --show-password)\n"
        "  get     one value exactly as the daemon reads it\n"
        "  set     change fields and save; uploadtime must be HH:MM (00:00 to 23:59),\n"
        "          enabled 0 or 1, oper a number; other values at most 16000\n"
        "          characters on one line. Nothing is written unless every value is\n"
        "          accepted.\n"
        "\n"
        "The file holds the FTP password: it is written with mode 0600, or a stricter\n"
        "mode it already has.\n"
        "\n"
        "Exit status: 0 done, 1 value refused or file not read or saved, 2 wrong usage.\n",
        MODULE_CFG_PATH);
}

const module_cfg_field_t *find_field(const std::string &name)
{
    for (const module_cfg_field_t &field : module_cfg_fields) {
        if (strcasecmp(name.c_str(), field.name) == 0 || strcasecmp(name.c_str(), field.key) == 0)
            return &field;
    }
    return nullptr;
}

std::string value_of(const module_cfg_t &cfg, const module_cfg_field_t &field)
{
    return field.number ? std::to_string(cfg.*field.number) : cfg.*field.text;
}

bool readable(const char *path)
{
    FILE *f = module_cfg_open(path);
    if (!f) {
        std::fprintf(stderr, "velmora-settings: cannot read %s: %s\n", path,
                     errno == EINVAL ? "not a regular file" : std::strerror(errno));
        return false;
    }
    cfg_close(f);
    return true;
}

// Why `value` cannot be stored in `field` as the daemon and scripts would
// need it, or "" when it can.
std::string refusal(const module_cfg_field_t &field, const std::string &value)
{
    if (field.number == &module_cfg_t::enabled)
        return value == "0" || value == "1" ? "" : "must be 0 or 1";
    if (field.number) {
        bool digits = !value.empty() && value.size() <= 10 &&
                      value.find_first_not_of("0123456789") == std::string::npos;
        return digits && std::stoull(value) <= UINT32_MAX ? "" : "must be a number from 0 to 4294967295";
    }
    if (field.text == &module_cfg_t::uploadtime) {
        unsigned hours, minutes;
        return module_cfg_upload_time(value.c_str(), hours, minutes) == UPLOAD_TIME_OK
                   ? ""
                   : "must be a time of day as HH:MM, from 00:00 to 23:59";
    }
    if (value.find_first_of("\r\n") != std::string::npos)
        return "must be on one line";
    if (value.size() > VALUE_MAX)
        return "is longer than 16000 characters";
    return "";
}

int show(const char *path, bool show_password)
{
    if (!readable(path))
        return EXIT_REFUSED;
    module_cfg_t cfg;
    module_cfg_load(cfg, path);
    for (const module_cfg_field_t &field : module_cfg_fields) {
        std::string value = value_of(cfg, field);
        if (field.text == &module_cfg_t::password && !show_password && !value.empty())
            value = "********";
        std::printf("%s=%s\n", field.key, value.c_str());
    }
    return 0;
}

int get(const char *path, const std::string &name)
{
    const module_cfg_field_t *field = find_field(name);
    if (!field) {
        std::fprintf(stderr, "velmora-settings: unknown setting '%s'\n", name.c_str());
        return EXIT_REFUSED;
    }
    if (!readable(path))
        return EXIT_REFUSED;
    module_cfg_t cfg;
    module_cfg_load(cfg, path);
    std::printf("%s\n", value_of(cfg, *field).c_str());
    return 0;
}

int set(const char *path, const std::vector<std::string> &assignments)
{
    module_cfg_t cfg;
    module_cfg_load(cfg, path);
    for (const std::string &assignment : assignments) {
        size_t eq = assignment.find('=');
        if (eq == std::string::npos) {
            std::fprintf(stderr, "velmora-settings: '%s' is not NAME=VALUE\n", assignment.c_str());
            return EXIT_USAGE;
        }
        std::string name = assignment.substr(0, eq);
        std::string value = assignment.substr(eq + 1);
        const module_cfg_field_t *field = find_field(name);
        if (!field) {
            std::fprintf(stderr, "velmora-settings: unknown setting '%s'; nothing changed\n",
                         name.c_str());
            return EXIT_REFUSED;
        }
        std::string why = refusal(*field, value);
        if (!why.empty()) {
            std::fprintf(stderr, "velmora-settings: %s '%s' %s; nothing changed\n", field->name,
                         value.c_str(), why.c_str());
            return EXIT_REFUSED;
        }
        if (field->number)
            cfg.*field->number = static_cast<uint32_t>(std::stoul(value));
        else
            cfg.*field->text = value;
    }
    errno = 0;
    if (!module_cfg_save(cfg, path)) {
        std::fprintf(stderr, "velmora-settings: could not save %s%s%s; the previous settings are kept\n",
                     path, errno ? ": " : "", errno ? std::strerror(errno) : "");
        return EXIT_REFUSED;
    }
    return 0;
}

int settings_main(const std::vector<std::string> &args)
{
    std::string path = MODULE_CFG_PATH;
    bool show_password = false;
    std::vector<std::string> words;
    for (size_t i = 0; i < args.size(); i++) {
        if (args[i] == "--help" || args[i] == "-h") {
            usage(stdout);
            return 0;
        }
        if (args[i] == "--version") {
            std::printf("velmora-settings %s\n", VELMORA_VERSION);
            return 0;
        }
        if (args[i] == "--file" && i + 1 < args.size()) {
            path = args[++i];
        } else if (args[i] == "--show-password") {
            show_password = true;
        } else if (args[i].rfind("--", 0) == 0 && words.empty()) {
            std::fprintf(stderr, "velmora-settings: unknown option %s\n", args[i].c_str());
            usage(stderr);
            return EXIT_USAGE;
        } else {
            words.push_back(args[i]);
        }
    }
    if (words.empty()) {
        usage(stderr);
        return EXIT_USAGE;
    }
    std::string command = words[0];
    words.erase(words.begin());
    if (command == "show" && words.empty())
        return show(path.c_str(), show_password);
    if (command == "get" && words.size() == 1)
        return get(path.c_str(), words[0]);
    if (command == "set" && !words.empty())
        return set(path.c_str(), words);
    usage(stderr);
    return EXIT_USAGE;
}

} // namespace

int main(int argc, char **argv)
{
    try {
        return settings_main(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception &e) {
        std::fprintf(stderr, "velmora-settings: %s\n", e.what());
        return EXIT_REFUSED;
    }
}
