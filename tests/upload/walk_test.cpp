// The card walk and the URL encoding of its paths: nothing outside the
// card, no name that a URL or FTP would mangle.
#include "upload/walk.h"
#include "../test_util.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

TEST(Walk, EverySegmentIsEncodedAndSlashesKept)
{
    EXPECT_EQ(walk_encode("logs/photo[1].jpg"), "logs/photo%5B1%5D.jpg");
    EXPECT_EQ(walk_encode("{a,b} #?%.txt"), "%7Ba%2Cb%7D%20%23%3F%25.txt");
    EXPECT_EQ(walk_encode("-x/gr\xc3\xbc\xc3\x9f" "e~_.A9"), "-x/gr%C3%BC%C3%9Fe~_.A9");
    EXPECT_EQ(walk_encode("*"), "%2A") << "a pattern character would reach the URL as it is";
}

TEST(Walk, LinksAreNotFollowedAndLineBreaksAreReported)
{
    ScratchDir dir;
    std::string card = dir.path() + "/card";
    ASSERT_EQ(mkdir(card.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((card + "/sub").c_str(), 0755), 0);
    dir.write("card/sub/a.txt", "a");
    dir.write("card/b.txt", "bb");
    dir.write("card/line\nbreak", "x");
    dir.write("secret", "outside");
    ASSERT_EQ(symlink((dir.path() + "/secret").c_str(), (card + "/link").c_str()), 0);
    ASSERT_EQ(symlink(dir.path().c_str(), (card + "/up").c_str()), 0);

    int root = walk_open_root(card.c_str());
    ASSERT_GE(root, 0);
    walk_result_t out;
    walk_card(root, out);
    ASSERT_EQ(out.files.size(), 2u) << "links or unsendable names were taken as files";
    EXPECT_EQ(out.files[0].path, "b.txt");
    EXPECT_EQ(out.files[0].size, 2u);
    EXPECT_EQ(out.files[1].path, "sub/a.txt");
    ASSERT_EQ(out.unsendable.size(), 1u);
    EXPECT_EQ(out.unsendable[0], "line\\nbreak");

    EXPECT_LT(walk_open(root, "link"), 0) << "a link let the upload read outside the card";
    EXPECT_LT(walk_open(root, "up/secret"), 0) << "a linked folder let the upload read outside the card";
    EXPECT_LT(walk_open(root, "../secret"), 0);
    int fd = walk_open(root, "sub/a.txt");
    EXPECT_GE(fd, 0);
    close(fd);
    close(root);
}

} // namespace
