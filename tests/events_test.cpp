#include "daemon/events.h"
#include "test_util.h"

#include <cstdio>
#include <ctime>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// What the settings path reads can change without the file in its folder
// being written: the folder replaced as a whole, the path made a link, the
// link's file replaced in its own folder. Each must wake the daemon.
TEST(SettingsWatch, FollowsAReplacedFolderAndWhatALinkLeadsTo)
{
    ScratchDir dir;
    const std::string d = dir.path();
    ASSERT_EQ(mkdir((d + "/etc").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((d + "/other").c_str(), 0755), 0);
    dir.write("etc/settings", "MOD_VELMORA_UPLOADTIME=09:00\n");
    dir.write("other/settings", "MOD_VELMORA_UPLOADTIME=09:00\n");
    ASSERT_EQ(events_init((d + "/etc/settings").c_str()), 1);

    // A clock already past the target: what is queued comes first, then
    // the alarm.
    auto changed = [] {
        bool any = false;
        while (events_wait(std::time(nullptr) - 10) == EVENT_RELOAD)
            any = true;
        return any;
    };
    auto replace = [&](const std::string &file) {
        dir.write(file + ".new", "MOD_VELMORA_UPLOADTIME=10:30\n");
        return rename((d + "/" + file + ".new").c_str(), (d + "/" + file).c_str()) == 0;
    };

    ASSERT_EQ(mkdir((d + "/etc.new").c_str(), 0755), 0);
    dir.write("etc.new/settings", "MOD_VELMORA_UPLOADTIME=10:30\n");
    ASSERT_EQ(rename((d + "/etc").c_str(), (d + "/etc.old").c_str()), 0);
    ASSERT_EQ(rename((d + "/etc.new").c_str(), (d + "/etc").c_str()), 0);
    EXPECT_TRUE(changed()) << "the folder replaced as a whole";
    ASSERT_TRUE(replace("etc/settings"));
    EXPECT_TRUE(changed()) << "a write in the new folder";
    ASSERT_TRUE(replace("etc.old/settings"));
    EXPECT_FALSE(changed()) << "a write in the old folder";

    ASSERT_EQ(unlink((d + "/etc/settings").c_str()), 0);
    ASSERT_EQ(symlink("../other/settings", (d + "/etc/settings").c_str()), 0);
    EXPECT_TRUE(changed()) << "the path made a link";
    ASSERT_TRUE(replace("other/settings"));
    EXPECT_TRUE(changed()) << "the link's file replaced in its own folder";
}

} // namespace
