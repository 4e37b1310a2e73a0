#include "support/com.h"
#include "support/lock.h"
#include "test_util.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// A scripted device on the master side of a pseudo-terminal; the port under
// test is its slave side, opened with com_open().
class SerialPeer : public ::testing::Test {
protected:
    struct Step {
        int after_ms;
        std::string bytes;
    };

    void SetUp() override
    {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        slave = ptsname(master);
        port = com_open(slave.c_str(), 115200, 8, "N", 1);
        ASSERT_GE(port, 0);
    }
    void TearDown() override
    {
        stop = true;
        if (peer.joinable())
            peer.join();
        close(port);
        close(master);
    }

    bool put(const std::string &bytes)
    {
        for (size_t done = 0; done < bytes.size() && !stop;) {
            ssize_t n = write(master, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
                written += static_cast<size_t>(n);
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        return !stop;
    }

    void answer(std::vector<Step> steps)
    {
        peer = std::thread([this, steps] {
            for (const Step &s : steps) {
                std::this_thread::sleep_for(std::chrono::milliseconds(s.after_ms));
                if (!put(s.bytes))
                    return;
            }
        });
    }

    // The reply as a string of its own, and how long the exchange took.
    std::string send(const char *command, int timeout)
    {
        auto start = Clock::now();
        std::string reply = com_send(port, command, timeout);
        seconds = std::chrono::duration<double>(Clock::now() - start).count();
        return reply;
    }

    std::string heard()
    {
        char buf[256];
        ssize_t n = read(master, buf, sizeof buf);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
    }

    int master = -1;
    int port = -1;
    std::string slave;
    std::thread peer;
    std::atomic<bool> stop{false};
    std::atomic<size_t> written{0};
    double seconds = 0;
};

TEST_F(SerialPeer, CommandIsSentAndShortReplyEndsAfterTheQuietTime)
{
    answer({{50, "OK\r\nx"}});
    EXPECT_EQ(send("AT\r", 2), "OK\r\nx");
    EXPECT_EQ(heard(), "AT\r");
    EXPECT_GE(seconds, 0.2) << "the reply must wait for 200 ms of quiet";
    EXPECT_LT(seconds, 1.5) << "a reply of more than two bytes must not wait the full timeout";
}

TEST_F(SerialPeer, NoReplyGivesEmptyTextAfterTheTimeout)
{
    EXPECT_EQ(send("AT\r", 1), "");
    EXPECT_GE(seconds, 0.9);
    EXPECT_LT(seconds, 3.0);
}

TEST_F(SerialPeer, LongBurstKeepsTheFirst8191BytesAndDrainsTheRest)
{
    std::string burst;
    for (int i = 0; i < 10000; i++)
        burst += static_cast<char>('A' + i % 26);
    answer({{0, burst}});
    std::string reply = send("dump\r", 2);
    EXPECT_EQ(reply, burst.substr(0, 8191));
    EXPECT_EQ(written.load(), 10000u);
    char rest;
    EXPECT_EQ(read(port, &rest, 1), -1) << "bytes beyond the buffer were left unread";
}

TEST_F(SerialPeer, EndlessTalkerIsCutOffAfter65536Bytes)
{
    peer = std::thread([this] {
        auto until = Clock::now() + std::chrono::seconds(10);
        while (Clock::now() < until && put(std::string(512, 'z'))) {
        }
    });
    std::string reply = send("stream\r", 2);
    EXPECT_LT(seconds, 8.0) << "the exchange did not stop at its limit";
    EXPECT_EQ(reply.size(), 8191u);
    // The talker counts a chunk only once its write returned, which may be
    // after the reader already took it (seen under user-mode emulation).
    EXPECT_GE(written.load() + 512, 65536u);
}

TEST_F(SerialPeer, OneByteAtATimeReArmsTheFullTimeout)
{
    answer({{0, "H"}, {500, "E"}, {500, "L"}, {500, "L"}, {500, "O"}});
    EXPECT_EQ(send("hi\r", 1), "HELLO");
    EXPECT_GE(seconds, 2.0 + 0.9) << "the last byte should be followed by the full timeout";
}

TEST_F(SerialPeer, ReplyWithAZeroByteReadsAsCutThereButKeepsItsLength)
{
    answer({{0, std::string("\0B\0CD", 5)}});
    com_result_t result;
    const char *reply = com_send(port, "x", 1, &result);
    EXPECT_EQ(std::string(reply, result.length), std::string("\0B\0CD", 5))
        << "a reply starting with a zero byte would read as no reply";
    EXPECT_TRUE(result.sent);
}

TEST_F(SerialPeer, LongCommandIsWrittenWholeWhileThePortTakesIt)
{
    const std::string command(20000, 'c');
    peer = std::thread([this, &command] {
        std::string got;
        for (int i = 0; i < 2000 && got.size() < command.size() && !stop; i++) {
            got += heard();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        put(got == command ? "OK\r\n" : "CUT " + std::to_string(got.size()));
    });
    com_result_t result;
    std::string reply = com_send(port, command.c_str(), 2, &result);
    EXPECT_EQ(reply, "OK\r\n") << "the device got only part of the command";
    EXPECT_TRUE(result.sent);
}

TEST_F(SerialPeer, CommandThePortNeverTakesIsReportedNotSent)
{
    // Nobody reads the other side: the terminal's buffer fills and stays full.
    com_result_t result;
    com_send(port, std::string(200000, 'c').c_str(), 1, &result);
    EXPECT_FALSE(result.sent) << "a command cut short was reported as sent";
}

TEST_F(SerialPeer, DescriptorAbove1024Works)
{
    struct rlimit lim;
    getrlimit(RLIMIT_NOFILE, &lim);
    if (lim.rlim_max < 1600)
        GTEST_SKIP() << "descriptor limit too low here";
    lim.rlim_cur = std::max<rlim_t>(lim.rlim_cur, 1600);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lim), 0);
    ASSERT_EQ(dup2(port, 1500), 1500);
    answer({{20, "PONG"}});
    std::string reply = com_send(1500, "PING", 1);
    close(1500);
    EXPECT_EQ(reply, "PONG");
}

class ComTool : public SerialPeer {
protected:
    int tool(const std::string &args, std::string &out)
    {
        return tool_command("'" VELMORA_COM "' " + args, out);
    }
    int tool_command(const std::string &command, std::string &out)
    {
        std::string cmd = command + " 2>&1";
        FILE *p = popen(cmd.c_str(), "r");
        char buf[1024];
        size_t n;
        out.clear();
        while ((n = fread(buf, 1, sizeof buf, p)) > 0)
            out.append(buf, n);
        int status = pclose(p);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string lock_file() const { return "/var/lock/LCK.." + slave.substr(slave.rfind('/') + 1); }
};

TEST_F(ComTool, EscapesGoOutAndComeBackAndTheLockIsReleased)
{
    if (access("/var/lock", W_OK) != 0)
        GTEST_SKIP() << "/var/lock is not writable here";
    peer = std::thread([this] {
        std::string got;
        for (int i = 0; i < 200 && got.size() < 6; i++) {
            got += heard();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        put(got == "AT\r\n\x01\\" ? std::string("\0OK\r\n\x7f", 6) : std::string("WRONG"));
    });
    std::string out;
    EXPECT_EQ(tool("--timeout 2 " + slave + " 'AT\\r\\n\\x01\\\\'", out), 0) << out;
    EXPECT_EQ(out, "\\x00OK\\r\\n\\x7f\n") << "zero bytes must be shown, not end the reply";
    EXPECT_NE(access(lock_file().c_str(), F_OK), 0) << "the lock file was left behind";
}

TEST_F(ComTool, PortLockedUnderItsRealNameIsRefusedThroughALinkNamingTheOwner)
{
    if (access("/var/lock", W_OK) != 0)
        GTEST_SKIP() << "/var/lock is not writable here";
    ScratchDir dir;
    std::string link = dir.path() + "/modem";
    ASSERT_EQ(symlink(slave.c_str(), link.c_str()), 0);
    std::string out;
    ASSERT_EQ(lock(slave.c_str(), 1), 1);
    EXPECT_EQ(tool(link + " 'AT\\r'", out), 1);
    EXPECT_NE(out.find("in use by pid " + std::to_string(getpid())), std::string::npos) << out;
    EXPECT_EQ(heard(), "") << "the tool talked on a port another program holds";
    unlock(slave.c_str());

    EXPECT_EQ(tool("--timeout 1 " + link + " 'AT\\r'", out), 3);
    EXPECT_NE(access(lock_file().c_str(), F_OK), 0);
    EXPECT_NE(access("/var/lock/LCK..modem", F_OK), 0) << "the link's lock file was left behind";
    EXPECT_EQ(tool("--parity X " + slave + " x", out), 2);
    EXPECT_EQ(tool(slave + " '\\q'", out), 2);
    EXPECT_EQ(tool("--baud 460800 " + slave + " x", out), 2) << "a speed it cannot set was used";
    EXPECT_NE(out.find("230400"), std::string::npos) << "the supported speeds are not listed: " << out;
}

TEST_F(ComTool, UnwritableLockDirectoryIsNotReportedAsAPortInUse)
{
    std::string out;
    std::string cmd = "unshare -m sh -c 'mount -t tmpfs -o ro tmpfs /var/lock 2>/dev/null || exit 77; "
                      "exec \"$0\" \"$1\" x' '" VELMORA_COM "' " + slave;
    int status = tool_command(cmd, out);
    if (status == 77 || (status == 1 && out.find("unshare") != std::string::npos))
        GTEST_SKIP() << "no private mount namespace here (needs root)";
    EXPECT_EQ(status, 1) << out;
    EXPECT_NE(out.find("cannot create the lock file /var/lock/LCK.."), std::string::npos) << out;
    EXPECT_EQ(out.find("in use"), std::string::npos) << out;
}

} // namespace
