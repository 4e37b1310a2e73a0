#include "settings/cfg.h"
#include "settings/module_cfg.h"
#include "test_util.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Result {
    int status;
    std::string out;
};

class SettingsTool : public ::testing::Test {
protected:
    // Runs velmora-settings on the scratch file; stderr goes to err.txt.
    Result tool(const std::string &args)
    {
        std::string cmd = "'" VELMORA_SETTINGS "' --file '" + file + "' " + args + " 2>'" +
                          dir.path() + "/err.txt'";
        Result r{-1, ""};
        FILE *p = popen(cmd.c_str(), "r");
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0)
            r.out.append(buf, n);
        int status = pclose(p);
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return r;
    }
    std::string err() { return dir.read("err.txt"); }

    ScratchDir dir;
    std::string file = dir.path() + "/settings";
};

TEST_F(SettingsTool, RefusedValuesLeaveTheFileByteIdentical)
{
    const std::string original = "# installer's comment\r\nMOD_VELMORA_UPLOADTIME=\"07:00\"\r\n";
    dir.write("settings", original);
    struct Case { const char *args; const char *named; };
    for (Case c : {Case{"set uploadtime=24:00", "uploadtime"}, Case{"set UPLOADTIME=7", "uploadtime"},
                   Case{"set enabled=2", "enabled"}, Case{"set oper=-1", "oper"},
                   Case{"set oper=4294967296", "oper"}, Case{"set 'note=two\nlines'", "note"},
                   Case{"set town=Lyon colour=red", "colour"}}) {
        Result r = tool(c.args);
        EXPECT_EQ(r.status, 1) << c.args;
        EXPECT_NE(err().find(c.named), std::string::npos) << c.args << ": " << err();
        EXPECT_EQ(dir.read("settings"), original) << c.args;
    }
    EXPECT_EQ(tool("set town").status, 2);
    EXPECT_EQ(tool("frobnicate").status, 2);
    EXPECT_EQ(tool("get").status, 2);
    EXPECT_EQ(dir.read("settings"), original);
}

TEST_F(SettingsTool, SetKeepsEveryLineItDoesNotChange)
{
    // Another module's keys, the example's comments, a key in other letter
    // case and a line of the record whose value stays.
    const std::string head = "# installer's comment\r\nOTHER_MODULE_PORT=8080\n";
    const std::string tail = "mod_velmora_town=\"Lyon\"\n\n# MOD_VELMORA_UPLOADTIME=05:00\nlast line";
    dir.write("settings", head + "MOD_VELMORA_UPLOADTIME=07:00\r\n" + tail);
    ASSERT_EQ(tool("set uploadtime=08:30").status, 0) << err();
    std::string text = dir.read("settings");
    EXPECT_EQ(text.rfind(head + "MOD_VELMORA_UPLOADTIME=08:30\n" + tail + "\n", 0), 0u) << text;
    EXPECT_NE(text.find("\nMOD_VELMORA_PASSWORD=\n"), std::string::npos) << "missing keys are added";
    EXPECT_EQ(tool("get uploadtime").out, "08:30\n");
    EXPECT_EQ(tool("get town").out, "Lyon\n");
}

TEST_F(SettingsTool, AFifoIsNotWaitedForAndALinkToNowhereIsNotReplaced)
{
    // A FIFO would block the daemon's reader for ever: SIGALRM ends a test
    // that waits on it.
    ASSERT_EQ(mkfifo(file.c_str(), 0600), 0);
    alarm(5);
    module_cfg_t cfg;
    module_cfg_load(cfg, file.c_str());
    alarm(0);
    EXPECT_EQ(cfg.uploadtime, "");
    unlink(file.c_str());

    ASSERT_EQ(symlink((dir.path() + "/elsewhere/settings").c_str(), file.c_str()), 0);
    EXPECT_EQ(tool("set uploadtime=10:00").status, 1);
    struct stat st;
    ASSERT_EQ(lstat(file.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link was replaced by a file of its own";
}

TEST_F(SettingsTool, GetAgreesWithTheDaemonsReader)
{
    dir.write("settings", "mod_velmora_note=\"a \"b\" c\"\nMOD_VELMORA_OPER=-1\n"
                          "MOD_VELMORA_TOWN=x\"y\nMOD_VELMORA_ENABLED=\"1\"\n"
                          "MOD_VELMORA_PHONE=+33 1\r\n");
    FILE *f = cfg_open(file.c_str(), "r");
    for (const module_cfg_field_t &field : module_cfg_fields) {
        std::string expected = field.number ? std::to_string(cfg_get_int(f, field.key))
                                            : cfg_get_str(f, field.key);
        EXPECT_EQ(tool(std::string("get ") + field.name).out, expected + "\n") << field.name;
    }
    cfg_close(f);
    EXPECT_EQ(tool("get MOD_VELMORA_NOTE").out, "a \"b\" c\n");
    EXPECT_EQ(tool("get nosuch").status, 1);
}

TEST_F(SettingsTool, SetSavesWhatTheDaemonReadsAndShowMasksThePassword)
{
    Result r = tool("set uploadtime=06:45 'owner_surname=van der Berg' password=s3cret enabled=1");
    ASSERT_EQ(r.status, 0) << err();
    module_cfg_t cfg;
    module_cfg_load(cfg, file.c_str());
    EXPECT_EQ(cfg.uploadtime, "06:45");
    EXPECT_EQ(cfg.owner_surname, "van der Berg");
    EXPECT_EQ(cfg.enabled, 1u);

    r = tool("show");
    EXPECT_NE(r.out.find("MOD_VELMORA_PASSWORD=********\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("s3cret"), std::string::npos);
    EXPECT_NE(tool("show --show-password").out.find("MOD_VELMORA_PASSWORD=s3cret\n"),
              std::string::npos);
    EXPECT_EQ(tool("set town=Lyon").status, 0);
    EXPECT_EQ(tool("get password").out, "s3cret\n") << "a set must keep the other fields";
}

TEST_F(SettingsTool, UnreadableFileIsReportedNotShownAsEmpty)
{
    Result r = tool("show");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(err().find("cannot read"), std::string::npos);
}

} // namespace
