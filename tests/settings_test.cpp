#include "settings/cfg.h"
#include "settings/module_cfg.h"
#include "test_util.h"

#include <gtest/gtest.h>

namespace {

class SettingsFile : public ::testing::Test {
protected:
    // The value the reader gives for KEY in a file of exactly `content`.
    std::string lookup(const std::string &content, const char *key = "KEY")
    {
        FILE *f = cfg_open(dir.write("settings", content).c_str(), "r");
        EXPECT_NE(f, nullptr);
        std::string value = cfg_get_str(f, key);
        cfg_close(f);
        return value;
    }

    uint32_t number(const std::string &value)
    {
        FILE *f = cfg_open(dir.write("settings", "KEY=" + value + "\n").c_str(), "r");
        uint32_t n = cfg_get_int(f, "KEY");
        cfg_close(f);
        return n;
    }

    uint32_t address(const std::string &value)
    {
        FILE *f = cfg_open(dir.write("settings", "KEY=" + value + "\n").c_str(), "r");
        uint32_t ip = cfg_get_ip(f, "KEY");
        cfg_close(f);
        return ip;
    }

    ScratchDir dir;
};

TEST_F(SettingsFile, ValuesReadAsTheFileFormatDefines)
{
    EXPECT_EQ(lookup("KEY=abc\n"), "abc");
    EXPECT_EQ(lookup("KEY=\"a b\"\n"), "a b");
    EXPECT_EQ(lookup("KEY=\n"), "");
    EXPECT_EQ(lookup("KEY=a\"b\n"), "a") << "the last quote cuts the line";
    EXPECT_EQ(lookup("KEY=\"abc\n"), "") << "a lone opening quote is the last quote";
    EXPECT_EQ(lookup("KEY=\"say \"hi\" now\"\n"), "say \"hi\" now");
    EXPECT_EQ(lookup("KEY = v\n"), "") << "blanks belong to the key";
    EXPECT_EQ(lookup("key=v\n"), "v");
    EXPECT_EQ(lookup("KEY=v\r\n"), "v");
    EXPECT_EQ(lookup("KEY=v"), "v") << "last line without a newline";
    EXPECT_EQ(lookup("KEY=a=b\n"), "a=b") << "only the first '=' separates";
}

TEST_F(SettingsFile, FirstMatchingLineWinsAndNonEntriesAreSkipped)
{
    EXPECT_EQ(lookup("# a comment\n\nOTHER=x\nKEY=first\nKEY=second\n"), "first");
    EXPECT_EQ(lookup("# KEY=commented\nKEY=real\n"), "real");
    EXPECT_EQ(lookup("\"KEY=hidden\nKEY=seen\n"), "seen")
        << "a quote before the '=' cuts the entry away";
}

TEST_F(SettingsFile, MissingKeyOrFileGivesEmptyAndZero)
{
    EXPECT_EQ(lookup("OTHER=1\n"), "");
    EXPECT_EQ(cfg_get_str(nullptr, "KEY"), "");
    EXPECT_EQ(cfg_get_int(nullptr, "KEY"), 0u);
    EXPECT_EQ(cfg_get_ip(nullptr, "KEY"), 0u);
    EXPECT_EQ(cfg_open((dir.path() + "/absent").c_str(), "r"), nullptr);
    cfg_close(nullptr);
}

TEST_F(SettingsFile, OverlongLineIsReadInPiecesEachALineOfItsOwn)
{
    std::string filler(16383 - 4, 'x');
    // The first piece ends exactly at 16383 characters; the rest of the line
    // is examined as a line that starts with "KEY=".
    EXPECT_EQ(lookup("XYZ=" + filler + "KEY=tail\n"), "tail");
    std::string value(16383 - 4, 'v');
    EXPECT_EQ(lookup("KEY=" + value + "\n"), value);
}

TEST_F(SettingsFile, LookupsRewindSoOrderOfQueriesDoesNotMatter)
{
    FILE *f = cfg_open(dir.write("settings", "A=1\nB=2\n").c_str(), "r");
    EXPECT_EQ(cfg_get_str(f, "B"), "2");
    EXPECT_EQ(cfg_get_str(f, "A"), "1");
    EXPECT_EQ(cfg_get_str(f, "B"), "2");
    cfg_close(f);
}

TEST_F(SettingsFile, NumbersConvertLikeAThirtyTwoBitStrtoul)
{
    EXPECT_EQ(number("42"), 42u);
    EXPECT_EQ(number("  7"), 7u);
    EXPECT_EQ(number("+7"), 7u);
    EXPECT_EQ(number("-1"), 4294967295u);
    EXPECT_EQ(number("-5"), 4294967291u);
    EXPECT_EQ(number("12abc"), 12u);
    EXPECT_EQ(number("yes"), 0u);
    EXPECT_EQ(number(""), 0u);
    EXPECT_EQ(number("4294967295"), 4294967295u);
    EXPECT_EQ(number("4294967296"), 4294967295u);
    EXPECT_EQ(number("99999999999999999999999"), 4294967295u);
    EXPECT_EQ(number("-99999999999999999999999"), 4294967295u);
    EXPECT_EQ(number("\"1\""), 1u);
}

TEST_F(SettingsFile, AddressesAddTheirPartsWithoutRangeChecks)
{
    EXPECT_EQ(address("192.168.1.10"), 0xC0A8010Au);
    EXPECT_EQ(address("1.2.3.256"), 0x01020400u) << "a part above 255 carries";
    EXPECT_EQ(address("1.2.3"), 0u);
    EXPECT_EQ(address("ftp.example"), 0u);
}

class ModuleSettings : public ::testing::Test {
protected:
    module_cfg_t load(const std::string &content)
    {
        module_cfg_t cfg;
        module_cfg_load(cfg, dir.write("settings", content).c_str());
        return cfg;
    }
    ScratchDir dir;
};

TEST_F(ModuleSettings, OnlyUploadTimeGivenLeavesEverythingElseEmpty)
{
    module_cfg_t cfg = load("MOD_VELMORA_UPLOADTIME=09:15\n");
    EXPECT_EQ(cfg.uploadtime, "09:15");
    EXPECT_EQ(cfg.enabled, 0u);
    EXPECT_EQ(cfg.oper, 0u);
    for (const module_cfg_field_t &field : module_cfg_fields) {
        if (field.text && field.text != &module_cfg_t::uploadtime) {
            EXPECT_EQ(cfg.*field.text, "") << field.name;
        }
    }
}

TEST_F(ModuleSettings, EveryKeyLandsInItsOwnField)
{
    std::string content;
    for (int i = 0; i < MODULE_CFG_FIELDS; i++)
        content += std::string(module_cfg_fields[i].key) + "=" + std::to_string(100 + i) + "\n";
    module_cfg_t cfg = load(content);
    for (int i = 0; i < MODULE_CFG_FIELDS; i++) {
        const module_cfg_field_t &field = module_cfg_fields[i];
        if (field.number)
            EXPECT_EQ(cfg.*field.number, 100u + i) << field.name;
        else
            EXPECT_EQ(cfg.*field.text, std::to_string(100 + i)) << field.name;
    }
}

TEST_F(ModuleSettings, KeysIgnoreCaseAndQuotedValuesLoseTheirQuotes)
{
    module_cfg_t cfg = load("mod_velmora_uploadtime=09:15\r\n"
                            "MOD_VELMORA_ENABLED=\"1\"\r\n"
                            "MOD_VELMORA_NOTE=\"two words\"\r\n"
                            "MOD_VELMORA_NOTE=ignored\r\n");
    EXPECT_EQ(cfg.uploadtime, "09:15");
    EXPECT_EQ(cfg.enabled, 1u);
    EXPECT_EQ(cfg.note, "two words");
    EXPECT_EQ(load("MOD_VELMORA_ENABLED=yes\n").enabled, 0u);
}

TEST_F(ModuleSettings, MissingFileLoadsAnEmptyRecord)
{
    module_cfg_t cfg;
    cfg.uploadtime = "stale";
    module_cfg_load(cfg, (dir.path() + "/absent").c_str());
    EXPECT_EQ(cfg.uploadtime, "");
    EXPECT_EQ(cfg.enabled, 0u);
}

} // namespace
