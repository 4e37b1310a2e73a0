// The daemon as devices and operators meet it on the simulated device: how
// it is started, stopped, told to reload or upload, and what it says of
// itself; and the clock set back under it.
#include "device.h"

#include <csignal>
#include <cstdio>
#include <fstream>
#include <termios.h>

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

TEST_F(Device, ClockSetBackMonthsTakesTheNextUploadTimeAheadHoursKeepTheTarget)
{
    struct Case { const char *back; time_t to; const char *cycle; };
    const Case cases[] = {
        {"six months", sim_at(dev, 2026, 6, 7, 8, 30), "2026-06-07 09:00:01"},
        {"two hours", sim_at(dev, 2026, 12, 7, 6, 30), "2026-12-07 09:00:01"},
    };
    for (const Case &c : cases) {
        dev.clock_steps = {{sim_at(dev, 2026, 12, 7, 8, 30), c.to}};
        dev.horizon = c.to + DAY - 3600;
        sim_run_t r = start();
        std::vector<double> raised = times(r, "dtr", "1");
        ASSERT_EQ(raised.size(), 1u) << c.back << ": no upload until the clock caught up";
        EXPECT_EQ(local(raised[0]), c.cycle) << c.back;
    }
}

TEST_F(Device, OneCycleADayWhenTheClockStepsBackMinutesAfterItOrARequestMeetsTheUploadTime)
{
    struct Case { const char *how; sim_device_t change; };
    sim_device_t back = dev, request = dev;
    back.clock_steps = {{sim_at(dev, 2026, 12, 7, 9, 1), sim_at(dev, 2026, 12, 7, 8, 56)}};
    request.actions = {{sim_at(dev, 2026, 12, 7, 8, 59, 50), SIGUSR1, {}}};
    for (const Case &c : {Case{"clock back 5 min at 09:01", back}, Case{"request at 08:59:50", request}}) {
        dev.clock_steps = c.change.clock_steps;
        dev.actions = c.change.actions;
        dev.horizon = dev.start + 2 * DAY - 3600;
        sim_run_t r = start();
        std::vector<double> raised = times(r, "dtr", "1");
        ASSERT_EQ(raised.size(), 2u) << c.how;
        EXPECT_EQ(local(raised[1]), "2026-12-08 09:00:01") << c.how << ": a second cycle on the 7th";
    }
}

class DeviceStop : public Device {
protected:
    // The cycle of 09:00 with scripts of 10 s: DTR up 09:00:01, mount script
    // :16-:26, upload :31-:41, unmount :41-:51, DTR down :56.
    time_t at(int minute, int second) const { return sim_at(dev, 2026, 12, 7, 9, minute, second); }
};

TEST_F(DeviceStop, StopEndsTheRunningScriptReleasesTheCardAndExitsZero)
{
    struct Case { const char *phase; int second; int signal; const char *upload; const char *cut; };
    const Case cases[] = {
        {"power-up", 5, SIGTERM, "sleep 10", ""},
        {"mount script", 20, SIGINT, "sleep 10", "memCard mount"},
        {"settle", 28, SIGTERM, "sleep 10", ""},
        {"upload script", 35, SIGTERM, "sleep 10", "dataPut"},
        {"upload script whose child ignores SIGTERM", 35, SIGTERM, "trap '' TERM; sleep 600", "dataPut"},
        {"unmount script", 45, SIGTERM, "sleep 10", ""},
        {"power-down", 53, SIGTERM, "sleep 10", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.phase);
        scripts("sleep 10", "sleep 10", c.upload);
        dev.actions = {{at(0, c.second), c.signal, {}}};
        sim_run_t r = start();
        EXPECT_TRUE(exited_with(r, 0)) << "a stop must end the daemon with status 0";
        EXPECT_EQ(r.stragglers, 0) << "a script outlived the daemon";
        if (*c.cut) {
            EXPECT_TRUE(times(r, "exit", c.cut).empty()) << "the running script was not ended";
        }
        std::vector<double> unmounted = times(r, "exit", "memCard umount");
        ASSERT_EQ(unmounted.size(), 1u) << "the card was not unmounted exactly once";
        EXPECT_LE(times(r, "script", "memCard umount")[0] - at(0, c.second), 10)
            << "the release waited longer than the grace period";
        ASSERT_FALSE(of(r, "dtr").empty());
        EXPECT_EQ(of(r, "dtr").back().text, "0") << "the card kept its power";
        EXPECT_EQ(of(r, "dtr").back().t - unmounted[0], 5) << "DTR must stay up 5 s after the unmount";
        EXPECT_EQ(r.line_speed, static_cast<int>(B0)) << "the next start would raise DTR on open";
        EXPECT_EQ(messages(r).back(), "stopped");
    }
}

TEST_F(DeviceStop, StopWhileWaitingEndsAtOnceWithStatusZero)
{
    dev.notify_socket = true;
    dev.actions = {{at(-30, 0), SIGTERM, {}}};
    sim_run_t r = start();
    EXPECT_TRUE(exited_with(r, 0));
    EXPECT_EQ(messages(r), (Messages{"started", "stopped"}));
    EXPECT_EQ(of(r, "dtr").size(), 1u) << "the card was attached on the way out";
    EXPECT_EQ(r.end, at(-30, 0)) << "the stop waited";
    EXPECT_EQ(r.line_speed, static_cast<int>(B0));
    EXPECT_EQ(lock_content(), "<no lock file>")
        << "left behind, its pid may belong to another process by the next start";
    ASSERT_FALSE(r.notified.empty());
    EXPECT_EQ(r.notified.back(), "STOPPING=1\nSTATUS=stopping; last upload none yet");
}

TEST_F(Device, SettingsChangesWhileWaitingSetTheNextUploadOrAreRefusedWithTheReason)
{
    const std::string file = sim_etc(dev, "settings");
    auto in_place = [file](const char *time) {
        return [file, time] {
            // As an editor saving in place: the same file, truncated.
            int fd = open(file.c_str(), O_WRONLY | O_TRUNC);
            std::string text = std::string("MOD_VELMORA_UPLOADTIME=") + time + "\n";
            ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
            close(fd);
        };
    };
    struct Case { const char *how; sim_action_t change; const char *upload; std::string logged; int priority;
                  std::function<void()> prepare = {}; };
    const time_t at = sim_at(dev, 2026, 12, 7, 8, 30);
    // The settings a symbolic link to a file in another folder, which a
    // writer replaces there.
    const std::string elsewhere = sim_var(dev, "settings");
    auto linked = [&] {
        sim_write(elsewhere, "MOD_VELMORA_UPLOADTIME=09:00\n");
        unlink(file.c_str());
        ASSERT_EQ(symlink("/var/Velmora/settings", file.c_str()), 0);
    };
    auto replace_elsewhere = [elsewhere] {
        sim_write(elsewhere + ".new", "MOD_VELMORA_UPLOADTIME=10:30\n");
        ASSERT_EQ(rename((elsewhere + ".new").c_str(), elsewhere.c_str()), 0);
    };
    const Case cases[] = {
        {"velmora-settings set",
         {at, 0, [file] { ASSERT_EQ(std::system((std::string(VELMORA_SETTINGS) + " --file '" + file +
                                                 "' set uploadtime=10:30").c_str()), 0); }},
         "2026-12-07 10:30:01", "Settings read: upload time 10:30", NOTICE},
        {"an editor, in place", {at, 0, in_place("07:15")}, "2026-12-08 07:15:01",
         "Settings read: upload time 07:15", NOTICE},
        {"an editor, unusable", {at, 0, in_place("25:00")}, "2026-12-07 09:00:01",
         "Settings changed: unusable upload time \"25:00\" (hours above 23), keeping 09:00", ERR},
        {"SIGHUP", {at, SIGHUP, {}}, "2026-12-07 09:00:01", "Settings read: upload time 09:00", NOTICE},
        {"an editor, as the daemon starts", {dev.start, 0, in_place("10:30")}, "2026-12-07 10:30:01",
         "started", NOTICE},
        {"a symbolic link's file replaced", {at, 0, replace_elsewhere}, "2026-12-07 10:30:01",
         "Settings read: upload time 10:30", NOTICE, linked},
    };
    for (const Case &c : cases) {
        settings("MOD_VELMORA_UPLOADTIME=09:00\n");
        if (c.prepare)
            c.prepare();
        dev.actions = {c.change};
        dev.horizon = dev.start + DAY + 3600;
        sim_run_t r = start();
        std::vector<double> raised = times(r, "dtr", "1");
        ASSERT_FALSE(raised.empty()) << c.how;
        EXPECT_EQ(local(raised[0]), c.upload) << c.how;
        EXPECT_EQ(priority_of(r, c.logged), c.priority) << c.how << ": not logged: " << c.logged;
    }
}

TEST_F(Device, UploadNowRunsOneCycleAndKeepsTheScheduleIgnoredDuringACycle)
{
    scripts("exit 0", "exit 0", "sleep 10");
    dev.actions = {{sim_at(dev, 2026, 12, 7, 8, 30), SIGUSR1, {}},
                   {sim_at(dev, 2026, 12, 7, 9, 0, 25), SIGUSR1, {}}};
    sim_run_t r = start();
    EXPECT_TRUE(r.parked);
    std::vector<double> raised = times(r, "dtr", "1");
    ASSERT_EQ(raised.size(), 2u) << "one cycle on demand, one on schedule, none for the second request";
    EXPECT_EQ(local(raised[0]), "2026-12-07 08:30:00");
    EXPECT_EQ(local(raised[1]), "2026-12-07 09:00:01");
    EXPECT_EQ(messages(r), (Messages{"started", "Upload requested: starting a cycle now",
                                     "Data succesfully uploaded",
                                     "Upload requested during an upload cycle: ignored",
                                     "Data succesfully uploaded"}));
}

TEST_F(Device, StatusLineFollowsTheDayInTheFileAndOnTheNotifySocket)
{
    scripts("exit 0", "exit 0", "sleep 10");
    dev.notify_socket = true;
    std::string during;
    const std::string file = dev.dir + "/run/velmorad.status";
    dev.actions = {{sim_at(dev, 2026, 12, 7, 9, 0, 25), 0, [&] {
                        std::ifstream in(file);
                        std::getline(in, during);
                    }},
                   {sim_at(dev, 2026, 12, 7, 12, 0), SIGTERM, {}}};
    sim_run_t r = start();
    EXPECT_TRUE(exited_with(r, 0));
    EXPECT_EQ(during, "uploading; last upload none yet");
    const Messages expected = {
        "READY=1\nSTATUS=next upload 2026-12-07 09:00; last upload none yet",
        "STATUS=attaching the card; last upload none yet",
        "STATUS=uploading; last upload none yet",
        "STATUS=releasing the card; last upload none yet",
        "STATUS=next upload 2026-12-08 09:00; last upload 2026-12-07 09:00:01 succeeded",
        "STOPPING=1\nSTATUS=stopping; last upload 2026-12-07 09:00:01 succeeded",
    };
    EXPECT_EQ(r.notified, expected);
    std::ifstream in(file);
    std::string left;
    std::getline(in, left);
    EXPECT_EQ(left, "stopping; last upload 2026-12-07 09:00:01 succeeded");
}

} // namespace
