// The card walk and the URL encoding of its paths: nothing outside the
// card, no name that a URL or FTP would mangle.
#include "upload/walk.h"
#include "../test_util.h"

#include <csignal>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
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

TEST(Walk, AFifoIsRefusedWithoutWaitingForAWriter)
{
    ScratchDir dir;
    ASSERT_EQ(mkfifo((dir.path() + "/fifo").c_str(), 0644), 0);
    int root = walk_open_root(dir.path().c_str());
    ASSERT_GE(root, 0);
    alarm(5);   // a wait for a writer ends the test here
    EXPECT_LT(walk_open(root, "fifo"), 0);
    alarm(0);
    close(root);
}

TEST(Walk, TemporaryNamesFitWhereTheNameFits)
{
    EXPECT_EQ(walk_temp_name("a.txt", 12, 34), ".a.txt.part-12-34");
    std::string long_a(200, 'x'), long_b(200, 'x');
    long_a += std::string(55, 'a');
    long_b += "\xc3\xbc" + std::string(53, 'b');   // a two-byte character where the cut falls
    std::string a = walk_temp_name(long_a, 4000000000ULL, 1765000000);
    std::string b = walk_temp_name(long_b, 4000000000ULL, 1765000000);
    EXPECT_LE(a.size(), 255u) << "a card name of 255 bytes could never be sent";
    EXPECT_LE(b.size(), 255u);
    EXPECT_NE(a, b) << "two long names sharing their start would share one temporary file";
    EXPECT_EQ(b.find("\xc3~"), std::string::npos) << "a character cut in half";
    EXPECT_EQ(a, walk_temp_name(long_a, 4000000000ULL, 1765000000)) << "a later run must find the same name";
}

TEST(Walk, ADeepCardNeedsFewDescriptors)
{
    ScratchDir dir;
    std::string path = dir.path() + "/card";
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    for (int depth = 0; depth < 200; depth++) {
        path += "/d";
        ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    }
    close(creat((path + "/deep.txt").c_str(), 0644));
    rlimit before;
    getrlimit(RLIMIT_NOFILE, &before);
    rlimit few = before;
    few.rlim_cur = 32;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &few), 0);
    int root = walk_open_root((dir.path() + "/card").c_str());
    walk_result_t out;
    walk_card(root, out);
    close(root);
    setrlimit(RLIMIT_NOFILE, &before);
    ASSERT_EQ(out.files.size(), 1u) << (out.unreadable.empty() ? "" : out.unreadable.front());
    EXPECT_TRUE(out.unreadable.empty()) << "a descriptor per level ran out of descriptors";
}

TEST(Walk, PrintableTextCarriesNoControlSequence)
{
    EXPECT_EQ(walk_printable("530 \x1b[31mno\r\n\xc2\x9b" "2J gr\xc3\xbc\xc3\x9f"),
              "530 \\x1b[31mno\\r\\n\\xc2\\x9b2J gr\xc3\xbc\xc3\x9f");
}

} // namespace
