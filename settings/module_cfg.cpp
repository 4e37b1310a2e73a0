#include "settings/module_cfg.h"

#include "settings/cfg.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

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

FILE *module_cfg_open(const char *path)
{
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = EINVAL;
        return nullptr;
    }
    FILE *f = fdopen(fd, "r");
    if (!f)
        close(fd);
    return f;
}

void module_cfg_load(module_cfg_t &cfg, const char *path) noexcept
{
    FILE *f = module_cfg_open(path);
    for (const module_cfg_field_t &field : module_cfg_fields) {
        if (field.number)
            cfg.*field.number = cfg_get_int(f, field.key);
        else
            cfg.*field.text = cfg_get_str(f, field.key);
    }
    cfg_close(f);
}

namespace {

// The file holds the FTP password: never readable by other users, and a
// stricter mode that an installer chose is kept.
constexpr mode_t SETTINGS_MODE = 0600;

void write_field(FILE *f, const module_cfg_t &cfg, const module_cfg_field_t &field)
{
    if (field.number == &module_cfg_t::enabled)
        cfg_put_bool(f, field.key, static_cast<int>(cfg.enabled));
    else if (field.number)
        cfg_put_int(f, field.key, cfg.*field.number, 1);
    else
        cfg_put_str(f, field.key, (cfg.*field.text).c_str());
}

// The lines of the file as it is, each with its line break; none when it
// cannot be read.
std::vector<std::string> lines_of(const std::string &path)
{
    std::vector<std::string> lines;
    FILE *f = module_cfg_open(path.c_str());
    if (!f)
        return lines;
    char *text = nullptr;
    size_t size = 0;
    ssize_t n;
    while ((n = getline(&text, &size, f)) > 0)
        lines.emplace_back(text, static_cast<size_t>(n));
    std::free(text);
    cfg_close(f);
    return lines;
}

// Whether `line` already gives the field the record's value.
bool says(const std::string &line, const module_cfg_t &cfg, const module_cfg_field_t &field)
{
    std::string copy = line;
    FILE *f = fmemopen(copy.data(), copy.size(), "r");
    if (!f)
        return false;
    bool same = field.number ? cfg_get_int(f, field.key) == cfg.*field.number
                             : cfg_get_str(f, field.key) == cfg.*field.text;
    std::fclose(f);
    return same;
}

// The file is shared: comments, other programs' keys and every line whose
// value stays are kept as they are. Each field's first line (the one the
// reader takes) gets its value; a field the file lacks is added at the end.
void write_record(FILE *f, const module_cfg_t &cfg, const std::vector<std::string> &old)
{
    bool written[MODULE_CFG_FIELDS] = {};
    for (const std::string &line : old) {
        std::string key = cfg_line_key(line);
        int i = 0;
        while (i < MODULE_CFG_FIELDS && (key.empty() || strcasecmp(key.c_str(), module_cfg_fields[i].key) != 0))
            i++;
        if (i == MODULE_CFG_FIELDS || written[i] || says(line, cfg, module_cfg_fields[i])) {
            std::fwrite(line.data(), 1, line.size(), f);
            if (line.back() != '\n')
                std::fputc('\n', f);
        } else {
            write_field(f, cfg, module_cfg_fields[i]);
        }
        if (i < MODULE_CFG_FIELDS)
            written[i] = true;
    }
    for (int i = 0; i < MODULE_CFG_FIELDS; i++) {
        if (!written[i])
            write_field(f, cfg, module_cfg_fields[i]);
    }
}

// Writes, flushes and syncs; closes `f` in any case.
bool write_and_close(FILE *f, const module_cfg_t &cfg, const std::vector<std::string> &old)
{
    write_record(f, cfg, old);
    bool ok = std::fflush(f) == 0 && !std::ferror(f) && fsync(fileno(f)) == 0;
    return std::fclose(f) == 0 && ok;
}

// The file a path names: a symbolic link is replaced by what it points to,
// not by a file of its own. False (errno set) for a link that leads nowhere:
// a file put in its place would not be where the link's owner keeps them.
bool resolve(const char *path, std::string &target)
{
    char real[PATH_MAX];
    if (realpath(path, real)) {
        target = real;
        return true;
    }
    int why = errno;
    struct stat st;
    if (lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) {
        errno = why;
        return false;
    }
    target = path;
    return true;
}

std::string directory_of(const std::string &file)
{
    size_t slash = file.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : file.substr(0, slash);
}

bool sync_directory(const std::string &dir)
{
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    // Some file systems cannot sync a directory; the rename stands all the same.
    bool ok = fsync(fd) == 0 || errno == EINVAL;
    close(fd);
    return ok;
}

} // namespace

int module_cfg_save(const module_cfg_t &cfg, const char *path)
{
    // A crash, power cut or full disk halfway through a save must not leave
    // the device without its settings: write a new file beside the old one
    // and rename it over it.
    std::string target;
    if (!resolve(path, target))
        return 0;
    std::string dir = directory_of(target);
    std::vector<std::string> lines = lines_of(target);
    std::string tmp = dir + "/.settings.XXXXXX";
    int fd = mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) {
        // Only a directory that may not be written leaves no other way than
        // writing in place; a full disk must not cost the old file.
        if (errno != EACCES && errno != EPERM)
            return 0;
        FILE *f = cfg_open(target.c_str(), "w");
        struct stat st;
        if (f && fstat(fileno(f), &st) == 0) {
            // Only the owner may tighten it; the save goes on all the same.
            int tightened = fchmod(fileno(f), st.st_mode & SETTINGS_MODE);
            (void)tightened;
        }
        return f && write_and_close(f, cfg, lines) ? 1 : 0;
    }

    struct stat old;
    if (stat(target.c_str(), &old) == 0) {
        if (old.st_uid != geteuid() || old.st_gid != getegid()) {
            // Only root can keep another owner, and it is a courtesy.
            int kept = fchown(fd, old.st_uid, old.st_gid);
            (void)kept;
        }
        fchmod(fd, old.st_mode & SETTINGS_MODE);
    } else {
        fchmod(fd, SETTINGS_MODE);
    }

    FILE *f = fdopen(fd, "w");
    if (!f) {
        close(fd);
        unlink(tmp.c_str());
        return 0;
    }
    if (!write_and_close(f, cfg, lines) || rename(tmp.c_str(), target.c_str()) != 0) {
        unlink(tmp.c_str());
        return 0;
    }
    return sync_directory(dir) ? 1 : 0;
}

upload_time_t module_cfg_upload_time(const char *text, unsigned &hours, unsigned &minutes)
{
    if (std::sscanf(text, "%u:%u", &hours, &minutes) < 2)
        return UPLOAD_TIME_UNREADABLE;
    if (hours > 23)
        return UPLOAD_TIME_BAD_HOURS;
    if (minutes > 59)
        return UPLOAD_TIME_BAD_MINUTES;
    return UPLOAD_TIME_OK;
}
