// Abrupt ends and bad input on the simulated device: the daemon is killed at
// each stage of its day and started again, run under valgrind, and given
// settings files that are anything but settings.
#include "device.h"

#include <csignal>
#include <random>

namespace {

using namespace device;

class DeviceFaults : public Device {
protected:
    static bool killed(const sim_run_t &r)
    {
        return r.ended && WIFSIGNALED(r.status) && WTERMSIG(r.status) == SIGKILL;
    }
};

TEST_F(DeviceFaults, RestartAfterAKillAtAnyStageRecoversTheDevice)
{
    // Each script takes 10 s, so the kill can land inside it.
    struct Case { const char *stage; int after_target_s; const char *running; };
    const Case cases[] = {{"waiting", -1800, ""}, {"DTR raised", 5, ""},
                          {"mount script", 21, "memCard mount"}, {"upload script", 36, "dataPut"},
                          {"unmount script", 51, "memCard umount"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.stage);
        scripts("sleep 10", "sleep 10", "sleep 10");
        dev.start = sim_at(dev, 2026, 12, 7, 8, 0);
        dev.horizon = dev.start + DAY;
        dev.kill_at = sim_at(dev, 2026, 12, 7, 9, 0) + c.after_target_s;
        sim_run_t first = start();
        ASSERT_TRUE(killed(first)) << "the daemon was not killed where planned";
        std::string running;
        for (const sim_event_t &e : first.events) {
            if (e.kind == "kill")
                break;
            running = e.kind == "script" ? e.text : e.kind == "exit" ? "" : running;
        }
        EXPECT_EQ(running, c.running) << "the kill landed in another stage";
        EXPECT_EQ(first.stragglers, 0) << "a script of the killed daemon kept running";

        // The next start, a minute later, on the same device.
        dev.kill_at = 0;
        dev.start = static_cast<time_t>(first.end) + 60;
        dev.horizon = dev.start + DAY;
        sim_run_t second = start();
        EXPECT_TRUE(second.parked) << "the restarted daemon did not carry on";
        EXPECT_EQ(lock_content(), pid_text(second.pid)) << "the stale lock was not taken over";
        std::vector<sim_event_t> line = of(second, "dtr");
        ASSERT_GE(line.size(), 3u);
        EXPECT_EQ(line[0].text, "0") << "the card must start released";
        EXPECT_EQ(local(line[1].t).substr(11), "09:00:01") << "the next cycle is at the usual time";
        EXPECT_EQ(messages(second), (Messages{"started", "Data succesfully uploaded"}));
        EXPECT_EQ(second.children_left, 0);
    }
}

TEST_F(DeviceFaults, CycleUnderValgrindHasNoMemoryErrors)
{
    if (access("/usr/bin/valgrind", X_OK) != 0)
        GTEST_SKIP() << "valgrind is not installed";
#ifdef VELMORA_SANITIZED
    GTEST_SKIP() << "valgrind cannot run a sanitized daemon; the sanitizers check it instead";
#endif
    // The failing unmount ends the daemon after a whole cycle, so valgrind
    // can report; its own exit status would be 42.
    scripts("exit 0", "exit 1", "exit 0");
    dev.wrapper = {"/usr/bin/valgrind", "-q", "--error-exitcode=42", "--leak-check=full",
                   "--errors-for-leak-kinds=definite"};
    sim_run_t r = start(120);
    EXPECT_TRUE(exited_with(r, 1)) << "valgrind found errors (exit status 42) or the run failed";
    EXPECT_EQ(messages(r), (Messages{"started", "Data succesfully uploaded", "Umount error"}));
}

TEST_F(DeviceFaults, SettingsFilesThatAreNotSettingsNeverCrashTheDaemon)
{
    std::mt19937 rng(7);
    std::string random(1 << 20, '\0');
    for (char &c : random)
        c = static_cast<char>(rng());
    std::string nul_bytes = std::string("MOD_VELMORA_UPLOADTIME=\0" "09:00\n", 30) + std::string(100, '\0');
    struct Case { const char *name; std::string content; };
    const Case cases[] = {
        {"1 MiB of random bytes", random},
        {"a 100000-character line", std::string(100000, 'x') + "\n"},
        {"an upload time of 100000 digits", "MOD_VELMORA_UPLOADTIME=" + std::string(100000, '9') + "\n"},
        {"NUL bytes", nul_bytes},
        {"only carriage returns", std::string(5000, '\r')},
    };
    for (const Case &c : cases) {
        settings(c.content);
        sim_run_t r = start();
        EXPECT_TRUE(exited_with(r, 0)) << c.name;
        ASSERT_FALSE(r.log.empty()) << c.name;
        EXPECT_EQ(r.log.back().text, "Invalid time settings. Exit") << c.name;
    }

    // A directory where the file should be reads as an empty file.
    unlink(sim_etc(dev, "settings").c_str());
    ASSERT_EQ(mkdir(sim_etc(dev, "settings").c_str(), 0755), 0);
    sim_run_t r = start();
    EXPECT_TRUE(exited_with(r, 0));
    EXPECT_EQ(messages(r), (Messages{"started", "Invalid time settings. Exit"}));
    rmdir(sim_etc(dev, "settings").c_str());

    // Unreadable: as root the daemon reads it all the same, otherwise it
    // reads nothing; either way it must not crash.
    settings("MOD_VELMORA_UPLOADTIME=09:00\n");
    chmod(sim_etc(dev, "settings").c_str(), 0);
    r = start();
    EXPECT_TRUE(r.parked || exited_with(r, 0));
    EXPECT_FALSE(r.ended && WIFSIGNALED(r.status));
}

} // namespace
