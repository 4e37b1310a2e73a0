#include "settings/cfg.h"
#include "settings/module_cfg.h"
#include "test_util.h"

#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <random>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class SettingsWriting : public ::testing::Test {
protected:
    // What a writer puts in a file of its own.
    std::string written(const std::function<void(FILE *)> &write)
    {
        FILE *f = cfg_open(file().c_str(), "w");
        write(f);
        cfg_close(f);
        return dir.read("settings");
    }

    std::string read_back(const std::string &value)
    {
        written([&](FILE *f) { cfg_put_str(f, "KEY", value.c_str()); });
        FILE *f = cfg_open(file().c_str(), "r");
        std::string back = cfg_get_str(f, "KEY");
        cfg_close(f);
        return back;
    }

    std::string file() const { return dir.path() + "/settings"; }

    static module_cfg_t sample()
    {
        module_cfg_t cfg;
        cfg.enabled = 1;
        cfg.ftp_serv_ip = "192.0.2.10";
        cfg.oper = 0;
        cfg.dest_folder = "/upload/device 7";
        cfg.username = "velmora";
        cfg.password = "p\"ss word\"";
        cfg.uploadtime = "09:15";
        cfg.owner_surname = "van \"the\" Berg";
        cfg.note = "\ttab, = and \"quotes\"";
        return cfg;
    }

    ScratchDir dir;
};

TEST_F(SettingsWriting, EachWriterWritesOneLineInItsFormat)
{
    EXPECT_EQ(written([](FILE *f) { cfg_put_str(f, "K", "plain"); }), "K=plain\n");
    EXPECT_EQ(written([](FILE *f) { cfg_put_str(f, "K", "a b"); }), "K=\"a b\"\n");
    EXPECT_EQ(written([](FILE *f) { cfg_put_str(f, "K", "a\tb"); }), "K=a\tb\n")
        << "only the space character calls for quotes";
    EXPECT_EQ(written([](FILE *f) { cfg_put_str(f, "K", ""); }), "K=\n");
    EXPECT_EQ(written([](FILE *f) { cfg_put_int(f, "K", 0, 0); }), "K=\n");
    EXPECT_EQ(written([](FILE *f) { cfg_put_int(f, "K", 0, 1); }), "K=0\n");
    EXPECT_EQ(written([](FILE *f) { cfg_put_int(f, "K", 4294967295u, 0); }), "K=4294967295\n");
    EXPECT_EQ(written([](FILE *f) { cfg_put_bool(f, "K", 7); }), "K=1\n");
    EXPECT_EQ(written([](FILE *f) { cfg_put_bool(f, "K", 0); }), "K=0\n");
    EXPECT_EQ(written([](FILE *f) { cfg_put_ip(f, "K", 0xC0000210u); }), "K=192.0.2.16\n");
    EXPECT_EQ(written([](FILE *f) { cfg_put_ip(f, "K", 0); }), "K=\n");
    std::string huge(20000, 'v');
    EXPECT_EQ(written([&](FILE *f) { cfg_put_str(f, "K", huge.c_str()); }),
              "K=" + huge.substr(0, 16000) + "\n");
    cfg_put_str(nullptr, "K", "v");
    cfg_put_int(nullptr, "K", 1, 1);
}

TEST_F(SettingsWriting, ValuesWithQuotesComeBackWhole)
{
    for (const char *value : {"a\"b", "ab\"", "\"ab", "\"", "say \"hi\" now", "\"\""})
        EXPECT_EQ(read_back(value), value);
}

TEST_F(SettingsWriting, LineBreakCannotForgeAnotherKey)
{
    module_cfg_t cfg = sample();
    cfg.note = "nice device\nMOD_VELMORA_KEY=forged";
    cfg.key = "real";
    ASSERT_EQ(module_cfg_save(cfg, file().c_str()), 1);
    module_cfg_t back;
    module_cfg_load(back, file().c_str());
    EXPECT_EQ(back.key, "real");
    EXPECT_EQ(back.note, "nice device");
    EXPECT_EQ(read_back("one\rtwo"), "one");
}

TEST_F(SettingsWriting, AnySingleLineValueSurvivesSaveAndLoad)
{
    std::mt19937 rng(20261207);
    const std::string alphabet = "ab Z09\"'=\t#\\ -_.:;%$&\xc3\xa9";
    std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
    std::uniform_int_distribution<int> length(0, 40);
    for (int round = 0; round < 300; round++) {
        module_cfg_t cfg = sample();
        for (const module_cfg_field_t &field : module_cfg_fields) {
            if (!field.text)
                continue;
            std::string value;
            for (int n = length(rng); n > 0; n--)
                value += alphabet[pick(rng)];
            cfg.*field.text = value;
        }
        if (round == 0)
            cfg.note = std::string(16000, '"');
        ASSERT_EQ(module_cfg_save(cfg, file().c_str()), 1);
        module_cfg_t back;
        module_cfg_load(back, file().c_str());
        for (const module_cfg_field_t &field : module_cfg_fields) {
            if (field.text)
                ASSERT_EQ(back.*field.text, cfg.*field.text) << field.name << " in round " << round;
            else
                ASSERT_EQ(back.*field.number, cfg.*field.number) << field.name;
        }
    }
}

TEST_F(SettingsWriting, SavedFileHasTheTwentyKeysInRecordOrder)
{
    module_cfg_t cfg = sample();
    cfg.enabled = 5;
    ASSERT_EQ(module_cfg_save(cfg, file().c_str()), 1);
    std::string text = dir.read("settings");
    size_t pos = 0;
    for (const module_cfg_field_t &field : module_cfg_fields) {
        ASSERT_EQ(text.compare(pos, std::strlen(field.key) + 1, std::string(field.key) + "="), 0)
            << field.key << " not next in:\n" << text;
        pos = text.find('\n', pos) + 1;
    }
    EXPECT_EQ(pos, text.size());
    EXPECT_NE(text.find("MOD_VELMORA_ENABLED=1\n"), std::string::npos);
    EXPECT_NE(text.find("MOD_VELMORA_OPER=0\n"), std::string::npos);
}

TEST_F(SettingsWriting, SaveKeepsPermissionsAndSymlinks)
{
    std::string real = dir.write("real-settings", "MOD_VELMORA_UPLOADTIME=01:00\n");
    ASSERT_EQ(chmod(real.c_str(), 0600), 0);
    ASSERT_EQ(symlink(real.c_str(), file().c_str()), 0);
    ASSERT_EQ(module_cfg_save(sample(), file().c_str()), 1);

    struct stat st;
    ASSERT_EQ(lstat(file().c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link was replaced by a file";
    ASSERT_EQ(stat(real.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "a password file must not become readable";
    module_cfg_t back;
    module_cfg_load(back, file().c_str());
    EXPECT_EQ(back.uploadtime, "09:15");
    EXPECT_EQ(std::system(("test $(ls -A '" + dir.path() + "' | wc -l) -eq 2").c_str()), 0)
        << "a temporary file was left beside the settings";
}

TEST_F(SettingsWriting, PasswordFileIsSaved0600UnlessItWasStricter)
{
    ASSERT_EQ(module_cfg_save(sample(), file().c_str()), 1);
    struct stat st;
    ASSERT_EQ(stat(file().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "a new settings file shows the password to every user";
    for (mode_t mode : {0644u, 0400u}) {
        ASSERT_EQ(chmod(file().c_str(), mode), 0);
        ASSERT_EQ(module_cfg_save(sample(), file().c_str()), 1);
        ASSERT_EQ(stat(file().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, mode & 0600) << "saved over a file of mode 0" << std::oct << mode;
    }
}

TEST_F(SettingsWriting, MissingDirectoryFailsAndSaysSo)
{
    EXPECT_EQ(module_cfg_save(sample(), (dir.path() + "/absent/settings").c_str()), 0);
}

// Runs `body` in a child with a private mount namespace; its result is the
// child's exit status, or -1 when namespaces are not available here.
int in_namespace(const std::function<int()> &body)
{
    pid_t pid = fork();
    if (pid == 0) {
        int flags = CLONE_NEWNS | (getuid() == 0 ? 0 : CLONE_NEWUSER);
        if (unshare(flags) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            _exit(99);
        _exit(body());
    }
    int status;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) != 99 ? WEXITSTATUS(status) : -1;
}

// 0 when a failing save returned 0 and left `old` exactly as it was, and no
// temporary file behind; else what went wrong.
int save_fails_cleanly(const std::string &dir, const std::string &old)
{
    std::string path = dir + "/settings";
    module_cfg_t cfg;
    cfg.uploadtime = "09:15";
    cfg.note = std::string(12000, 'n');
    if (module_cfg_save(cfg, path.c_str()) != 0)
        return 1;
    std::ifstream in(path);
    if (std::string(std::istreambuf_iterator<char>(in), {}) != old)
        return 2;
    return std::system(("test $(ls -A '" + dir + "' | grep -c '^\\.settings') -eq 0").c_str()) == 0 ? 0 : 3;
}

TEST_F(SettingsWriting, FailedSaveOnAFullDiskKeepsTheOldFile)
{
    const std::string old = "MOD_VELMORA_UPLOADTIME=01:00\n";
    int result = in_namespace([&] {
        if (mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=8k") != 0)
            return 98;
        dir.write("settings", old);
        dir.write("filler", std::string(8192, 'f'));
        return save_fails_cleanly(dir.path(), old);
    });
    if (result < 0)
        GTEST_SKIP() << "no mount namespaces here";
    EXPECT_EQ(result, 0) << "1: reported success, 2: old file changed, 3: temporary file left";
}

TEST_F(SettingsWriting, FailedRenameKeepsTheOldFile)
{
    const std::string old = "MOD_VELMORA_UPLOADTIME=01:00\n";
    std::string path = dir.write("settings", old);
    // A file that is a mount point cannot be renamed over.
    int result = in_namespace([&] {
        if (mount(path.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) != 0)
            return 98;
        return save_fails_cleanly(dir.path(), old);
    });
    if (result < 0)
        GTEST_SKIP() << "no mount namespaces here";
    EXPECT_EQ(result, 0) << "1: reported success, 2: old file changed, 3: temporary file left";
}

TEST_F(SettingsWriting, ReadOnlyFileSystemKeepsTheOldFile)
{
    const std::string old = "MOD_VELMORA_UPLOADTIME=01:00\n";
    dir.write("settings", old);
    int result = in_namespace([&] {
        if (mount(dir.path().c_str(), dir.path().c_str(), nullptr, MS_BIND, nullptr) != 0 ||
            mount(nullptr, dir.path().c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
            return 98;
        return save_fails_cleanly(dir.path(), old);
    });
    if (result < 0)
        GTEST_SKIP() << "no mount namespaces here";
    EXPECT_EQ(result, 0);
}

// The result of module_cfg_save in a child running as a plain user: root
// ignores directory permissions, a plain user does not. 98: no such user.
int save_as_plain_user(const module_cfg_t &cfg, const std::string &path)
{
    pid_t pid = fork();
    if (pid == 0) {
        if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(98);
        _exit(module_cfg_save(cfg, path.c_str()));
    }
    int status;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(SettingsWriting, ReadOnlyDirectoryWithWritableFileIsWrittenInPlace)
{
    std::string path = dir.write("settings", "MOD_VELMORA_UPLOADTIME=01:00\n");
    ASSERT_EQ(chmod(path.c_str(), 0666), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 0555), 0);
    ASSERT_EQ(save_as_plain_user(sample(), path), 1) << "the save in place failed";
    module_cfg_t back;
    module_cfg_load(back, path.c_str());
    EXPECT_EQ(back.uploadtime, "09:15");

    // With the file read-only as well, nothing can be written: 0, file kept.
    const std::string before = dir.read("settings");
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    module_cfg_t cfg = sample();
    cfg.uploadtime = "23:00";
    int saved = save_as_plain_user(cfg, path);
    chmod(dir.path().c_str(), 0755);
    EXPECT_EQ(saved, 0) << "a save that wrote nothing reported success";
    EXPECT_EQ(dir.read("settings"), before);
}

} // namespace
