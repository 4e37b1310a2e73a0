// The daemon as devices and operators meet it on the simulated device: how
// it is started, stopped, told to reload or upload, and what it says of
// itself; and the clock set back under it.
#include "device.h"

#include <csignal>
#include <cstdio>

namespace {

using namespace device;

std::string output_of(const std::string &command)
{
    std::string text;
    FILE *p = popen(command.c_str(), "r");
    char buf[256];
    while (p && std::fgets(buf, sizeof buf, p))
        text += buf;
    if (p)
        pclose(p);
    return text;
}

TEST_F(Device, CommandLineAnswersWithoutTouchingThePortOrTheLock)
{
    struct Case { const char *arg; int status; };
    for (Case c : {Case{"--help", 0}, Case{"--version", 0}, Case{"--frobnicate", 2}}) {
        dev.args = {c.arg};
        sim_run_t r = start();
        EXPECT_TRUE(exited_with(r, c.status)) << c.arg;
        EXPECT_TRUE(r.log.empty()) << c.arg << ": the daemon started instead of answering";
        EXPECT_EQ(lock_content(), "<no lock file>") << c.arg << " took the port's lock";
        EXPECT_TRUE(of(r, "dtr").empty()) << c.arg << " drove DTR";
    }
    EXPECT_EQ(output_of(std::string(VELMORAD) + " --version"), "velmorad " VELMORA_VERSION "\n");
    EXPECT_EQ(output_of(std::string(VELMORAD) + " --help").rfind("usage: velmorad", 0), 0u);
    std::string wrong = output_of(std::string(VELMORAD) + " --frobnicate 2>&1 >/dev/null");
    EXPECT_NE(wrong.find("usage: velmorad"), std::string::npos) << "no usage on stderr: " << wrong;
}

TEST_F(Device, StartedWithSigchldIgnoredAndSignalsBlockedRunsItsDay)
{
    dev.signals_ignored_and_blocked = true;
    // The upload script fails if it inherited an ignored or blocked signal.
    scripts("exit 0", "exit 0", "! grep -E '^Sig(Blk|Ign):.*[1-9a-f]' /proc/self/status");
    sim_run_t r = start();
    EXPECT_TRUE(r.parked);
    EXPECT_EQ(messages(r), (Messages{"started", "Data succesfully uploaded"}))
        << "Mount error: children could not be waited for; Data put problem: a script "
           "inherited the signal state";
}

TEST_F(Device, LockFileWithTheDaemonsOwnPidIsStale)
{
    dev.lock_names_daemon = true;
    sim_run_t r = start();
    EXPECT_TRUE(r.parked) << "the daemon took its own old lock for a live holder";
    EXPECT_EQ(messages(r), (Messages{"started", "Data succesfully uploaded"}));
    EXPECT_EQ(lock_content(), pid_text(r.pid));
}

} // namespace
