// The real velmorad binary through its days on the simulated device.
#include "device.h"

#include <fstream>
#include <termios.h>

namespace {

using namespace device;

TEST_F(Device, OneDayRunsTheWholeCycleOnItsTimeline)
{
    sim_run_t r = start();
    ASSERT_TRUE(r.parked) << "the daemon did not go back to waiting for the next day";

    EXPECT_EQ(messages(r), (Messages{"started", "Data succesfully uploaded"}));
    for (const sim_log_t &m : r.log) {
        EXPECT_EQ(m.facility, LOG_DAEMON_FACILITY) << m.text;
        EXPECT_EQ(m.ident, "Velmora") << m.text;
        EXPECT_EQ(m.pid, r.pid) << m.text;
    }
    EXPECT_EQ(priority_of(r, "started"), NOTICE);
    EXPECT_EQ(priority_of(r, "Data succesfully uploaded"), ERR);

    // Released at start, attached at the first second after 09:00.
    std::vector<double> dtr = times(r, "dtr");
    std::vector<sim_event_t> line = of(r, "dtr");
    ASSERT_EQ(line.size(), 3u);
    EXPECT_EQ(line[0].text, "0");
    EXPECT_EQ(local(dtr[0]), "2026-12-07 08:00:00");
    EXPECT_EQ(line[1].text, "1");
    EXPECT_EQ(local(dtr[1]), "2026-12-07 09:00:01");
    EXPECT_EQ(line[2].text, "0");

    std::vector<sim_event_t> runs = of(r, "script");
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[0].text, "memCard mount");
    EXPECT_EQ(runs[0].t - dtr[1], 15) << "the card needs 15 s after DTR rises";
    EXPECT_EQ(runs[1].text, "dataPut");
    EXPECT_EQ(runs[1].t - runs[0].t, 5);
    EXPECT_EQ(runs[2].text, "memCard umount");
    EXPECT_EQ(runs[2].t, runs[1].t);
    EXPECT_EQ(dtr[2] - runs[2].t, 5) << "DTR must stay up 5 s after the unmount";

    for (const sim_event_t &fds : of(r, "fds"))
        EXPECT_EQ(fds.text, "0") << "a script got a descriptor other than /dev/null (4: inherited)";
    EXPECT_EQ(r.children_left, 0) << "a child of the daemon was left behind";

    EXPECT_EQ(lock_content(), pid_text(r.pid));
    struct stat st;
    ASSERT_EQ(stat(sim_lock(dev).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_EQ(r.line_speed, static_cast<int>(B0))
        << "a UART raises DTR whenever its speed leaves 0: a pulse of power at every start";
}

TEST_F(Device, FirstCycleFollowsTheStartTime)
{
    // Started after the upload time: tomorrow.
    dev.start = sim_at(dev, 2026, 12, 7, 10, 0);
    dev.horizon = dev.start + 2 * DAY;
    sim_run_t r = start();
    std::vector<double> raised = times(r, "dtr", "1");
    ASSERT_FALSE(raised.empty());
    EXPECT_EQ(local(raised[0]), "2026-12-08 09:00:01");

    // Started within the target second itself: one second later, today.
    dev.start = sim_at(dev, 2026, 12, 7, 9, 0);
    dev.horizon = dev.start + DAY / 2;
    r = start();
    raised = times(r, "dtr", "1");
    ASSERT_EQ(raised.size(), 1u);
    EXPECT_EQ(local(raised[0]), "2026-12-07 09:00:01");
}

TEST_F(Device, UnusableUploadTimesEndTheDaemonWithStatusZero)
{
    struct Case { const char *value; Messages expected; };
    const Case cases[] = {
        {"24:00", {"started", "Invalid hours 24", "Invalid time settings. Exit"}},
        {"12:60", {"started", "Invalid minutes 60", "Invalid time settings. Exit"}},
        {"25:61", {"started", "Invalid hours 25", "Invalid time settings. Exit"}},
        {"-1:00", {"started", "Invalid hours -1", "Invalid time settings. Exit"}},
        {"noon", {"started", "Invalid time settings. Exit"}},
        {"", {"started", "Invalid time settings. Exit"}},
    };
    for (const Case &c : cases) {
        settings(std::string("MOD_VELMORA_UPLOADTIME=") + c.value + "\n");
        sim_run_t r = start();
        EXPECT_TRUE(exited_with(r, 0)) << c.value;
        EXPECT_EQ(messages(r), c.expected) << c.value;
        for (const std::string &text : c.expected)
            EXPECT_EQ(priority_of(r, text), NOTICE) << text;
        EXPECT_EQ(lock_content(), pid_text(r.pid)) << "the lock file stays behind";
        EXPECT_EQ(of(r, "dtr").size(), 1u) << "DTR is lowered at start and never raised";
        EXPECT_TRUE(of(r, "script").empty());
    }
    // Not ready before the exit is a failed start to systemd, which starts
    // the daemon again every few minutes.
    dev.notify_socket = true;
    sim_run_t r = start();
    ASSERT_FALSE(r.notified.empty());
    EXPECT_EQ(r.notified.back(), "READY=1\nSTATUS=ended: invalid upload time; last upload none yet");
    EXPECT_EQ(priority_of(start(), "Invalid hours 24"), -1);
}

TEST_F(Device, MissingSettingsFileEndsWithStatusZero)
{
    unlink(sim_etc(dev, "settings").c_str());
    sim_run_t r = start();
    EXPECT_TRUE(exited_with(r, 0));
    EXPECT_EQ(messages(r), (Messages{"started", "Invalid time settings. Exit"}));
    std::vector<sim_event_t> line = of(r, "dtr");
    ASSERT_EQ(line.size(), 1u);
    EXPECT_EQ(line[0].text, "0");
}

TEST_F(Device, EnabledZeroChangesNothing)
{
    settings("MOD_VELMORA_ENABLED=0\nMOD_VELMORA_UPLOADTIME=09:00\n");
    sim_run_t r = start();
    EXPECT_EQ(messages(r), (Messages{"started", "Data succesfully uploaded"}));
}

TEST_F(Device, FailedUploadIsReportedAndTheCardStillReleased)
{
    std::string errlog = sim_var(dev, "ftperror.log");
    std::string long_line(300, 'x');
    struct Case { std::string writes; std::string reported; };
    const Case cases[] = {
        {"printf 'login refused\\nsecond line\\n' > '" + errlog + "'", "login refused\n"},
        {"rm -f '" + errlog + "'", "unknown error\n"},
        {": > '" + errlog + "'", "unknown error\n"},
        {"printf '" + long_line + "\\n' > '" + errlog + "'", std::string(255, 'x')},
    };
    for (const Case &c : cases) {
        scripts("exit 0", "exit 0", c.writes + "\nexit 4");
        dev.horizon = dev.start + 2 * DAY;
        sim_run_t r = start();
        Messages expected = {"started", "Data put problem: " + c.reported,
                             "Data put problem: " + c.reported};
        EXPECT_EQ(messages(r), expected) << c.writes;
        EXPECT_EQ(priority_of(r, expected[1]), ERR);
        EXPECT_EQ(times(r, "script", "memCard umount").size(), 2u)
            << "the card must be released after a failed upload, and the next day runs";
        ASSERT_FALSE(of(r, "dtr").empty());
        EXPECT_EQ(of(r, "dtr").back().text, "0");
    }

    // A script that fails before it rewrites the log (a broken configuration).
    sim_write(errlog, "last week's reason\n");
    scripts("exit 0", "exit 0", "exit 4");
    sim_run_t r = start();
    EXPECT_EQ(messages(r), (Messages{"started", "Data put problem: unknown error\n",
                                     "Data put problem: unknown error\n"}))
        << "an old error log was reported as today's reason";
}

TEST_F(Device, ScriptThatCannotRunCountsAsFailed)
{
    unlink(sim_etc(dev, "dataPut").c_str());
    sim_run_t r = start();
    EXPECT_EQ(messages(r), (Messages{"started", "Data put problem: unknown error\n"}));
}

TEST_F(Device, FailedMountReleasesTheCardBeforeTheDaemonEnds)
{
    scripts("exit 3");
    sim_run_t r = start();
    EXPECT_TRUE(exited_with(r, 1));
    EXPECT_EQ(messages(r), (Messages{"started", "Mount error"}));
    EXPECT_EQ(priority_of(r, "Mount error"), ERR);
    ASSERT_FALSE(of(r, "dtr").empty());
    EXPECT_EQ(of(r, "dtr").back().text, "0")
        << "the card stayed powered for as long as another process holds the port";
    EXPECT_EQ(r.line_speed, static_cast<int>(B0)) << "the next start would raise DTR on open";
    EXPECT_EQ(times(r, "script", "dataPut").size(), 0u);
    std::ifstream status(dev.dir + "/run/velmorad.status");
    std::string line;
    std::getline(status, line);
    EXPECT_EQ(line, "ended: Mount error; last upload none yet") << "the status file tells of a cycle";
}

TEST_F(Device, FailedUnmountEndsTheDaemonWithStatusOne)
{
    scripts("exit 0", "exit 5");
    sim_run_t r = start();
    EXPECT_TRUE(exited_with(r, 1));
    EXPECT_EQ(messages(r), (Messages{"started", "Data succesfully uploaded", "Umount error"}));
    EXPECT_EQ(of(r, "dtr").back().text, "1") << "DTR is lowered only after a good unmount";
    EXPECT_TRUE(of(r, "hangup").empty()) << "the port's close at the exit dropped DTR after all";
}

TEST_F(Device, RefusedDtrRequestsAreFatalWhereverTheyHappen)
{
    struct Case { int request; Messages expected; };
    const Case cases[] = {
        {1, {"started", "ioctl umount error"}},
        {2, {"started", "ioctl mount error", "Mount error"}},
        {3, {"started", "Data succesfully uploaded", "ioctl umount error", "Umount error"}},
    };
    for (const Case &c : cases) {
        dev.fail_modem_request = c.request;
        sim_run_t r = start();
        EXPECT_TRUE(exited_with(r, 1)) << "request " << c.request;
        EXPECT_EQ(messages(r), c.expected) << "request " << c.request;
        for (size_t i = 1; i < c.expected.size(); i++)
            EXPECT_EQ(priority_of(r, c.expected[i]), ERR) << c.expected[i];
    }
}

TEST_F(Device, MissingPortEndsTheDaemon)
{
    dev.with_port = false;
    sim_run_t r = start();
    EXPECT_TRUE(exited_with(r, 1));
    const std::string error = "open(/dev/ttyS1) error: No such file or directory";
    EXPECT_EQ(messages(r), (Messages{"started", error}));
    EXPECT_EQ(priority_of(r, error), ERR);
}

TEST_F(Device, RefusedLineSettingsAreReportedAndTheDayGoesOn)
{
    dev.refuse_line_settings = true;
    sim_run_t r = start();
    EXPECT_TRUE(r.parked);
    const std::string error = "tcsetattr(/dev/ttyS1) error: Invalid argument";
    EXPECT_EQ(messages(r), (Messages{"started", error, "Data succesfully uploaded"}));
    EXPECT_EQ(priority_of(r, error), ERR);
}

TEST_F(Device, PortLockedByALiveProcessEndsTheDaemonAfterOneToTwoSeconds)
{
    // This test process is alive and visible from inside the sandbox.
    std::string held = pid_text(getpid());
    sim_write(sim_lock(dev), held);
    sim_run_t r = start();
    EXPECT_TRUE(exited_with(r, 1));
    EXPECT_EQ(messages(r), (Messages{"started", "device ttyS1 is locked"}));
    EXPECT_EQ(priority_of(r, "device ttyS1 is locked"), ERR);
    std::vector<double> logged = times(r, "log");
    ASSERT_EQ(logged.size(), 2u);
    double waited = logged[1] - logged[0];
    EXPECT_GE(waited, 1.0);
    EXPECT_LE(waited, 2.2);
    EXPECT_EQ(lock_content(), held) << "another process's lock was touched";
    EXPECT_TRUE(of(r, "dtr").empty());
}

TEST_F(Device, UnusableLockDirectoryIsNamedNotTakenForAHeldPort)
{
    for (const char *state : {"missing", "read-only"}) {
        dev.lock_dir = state;
        sim_run_t r = start();
        EXPECT_TRUE(exited_with(r, 1)) << state;
        ASSERT_EQ(r.log.size(), 2u) << state;
        EXPECT_EQ(r.log[1].text.rfind("cannot lock ttyS1: no lock file can be made in /var/lock: ", 0), 0u)
            << r.log[1].text;
        EXPECT_EQ(r.log[1].priority, ERR);
        EXPECT_EQ(r.log[1].text.find(state[0] == 'm' ? "No such file" : "Read-only"), r.log[1].text.rfind(": ") + 2);
        EXPECT_LT(times(r, "log")[1] - times(r, "log")[0], 1) << "waited for a lock that cannot come";
    }
}

TEST_F(Device, StaleLockIsTakenOver)
{
    pid_t child = fork();
    if (child == 0)
        _exit(0);
    waitpid(child, nullptr, 0);
    sim_write(sim_lock(dev), pid_text(child));
    sim_run_t r = start();
    EXPECT_TRUE(r.parked);
    EXPECT_EQ(messages(r), (Messages{"started", "Data succesfully uploaded"}));
    EXPECT_EQ(lock_content(), pid_text(r.pid));
}

TEST_F(Device, GarbageOrFifoAsLockFileCountsAsHeld)
{
    sim_write(sim_lock(dev), "garbage\n");
    sim_run_t r = start();
    EXPECT_TRUE(exited_with(r, 1));
    EXPECT_EQ(messages(r), (Messages{"started", "device ttyS1 is locked"}));
    EXPECT_EQ(lock_content(), "garbage\n");

    unlink(sim_lock(dev).c_str());
    ASSERT_EQ(mkfifo(sim_lock(dev).c_str(), 0644), 0);
    r = start(10);
    EXPECT_TRUE(exited_with(r, 1)) << "a FIFO as lock file wedged the start-up";
    EXPECT_EQ(messages(r), (Messages{"started", "device ttyS1 is locked"}));
    struct stat st;
    ASSERT_EQ(lstat(sim_lock(dev).c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

TEST_F(Device, CyclesFollowEachOtherExactlyADayApart)
{
    dev.horizon = dev.start + 5 * DAY;
    sim_run_t r = start();
    std::vector<double> raised = times(r, "dtr", "1");
    ASSERT_EQ(raised.size(), 5u);
    for (size_t i = 1; i < raised.size(); i++)
        EXPECT_EQ(raised[i] - raised[i - 1], DAY);
    EXPECT_EQ(local(raised[4]), "2026-12-11 09:00:01");
    EXPECT_EQ(of(r, "script").size(), 15u);
    EXPECT_EQ(r.children_left, 0);
}

TEST_F(Device, ForwardClockStepOfDaysGivesOneCatchUpCycle)
{
    // At 08:30 the clock is stepped forward by three days and a half.
    time_t at = sim_at(dev, 2026, 12, 7, 8, 30);
    time_t to = sim_at(dev, 2026, 12, 10, 20, 30);
    dev.clock_steps = {{at, to}};
    dev.horizon = dev.start + 5 * DAY;
    sim_run_t r = start();
    std::vector<double> raised = times(r, "dtr", "1");
    ASSERT_EQ(raised.size(), 2u) << "one catch-up cycle, then the usual time";
    EXPECT_LE(raised[0] - to, 1) << "the step past the target must wake the daemon at once";
    EXPECT_EQ(local(raised[1]), "2026-12-11 09:00:01");
}

TEST_F(Device, ClockSetInto1970AtBootCatchesUpWithOneCycle)
{
    dev.start = 0;
    time_t network_time = sim_at(dev, 2026, 12, 7, 12, 0);
    dev.clock_steps = {{60, network_time}};
    dev.horizon = network_time + DAY;
    sim_run_t r = start();
    std::vector<double> raised = times(r, "dtr", "1");
    ASSERT_EQ(raised.size(), 2u);
    EXPECT_LE(raised[0] - network_time, 1);
    EXPECT_EQ(local(raised[1]), "2026-12-08 09:00:01");

    // Summer time where 1970 had winter time: the upload time stays 09:00.
    dev.tz = "Europe/Berlin";
    network_time = sim_at(dev, 2026, 6, 7, 12, 0);
    dev.clock_steps = {{60, network_time}};
    dev.horizon = network_time + DAY;
    raised = times(start(), "dtr", "1");
    ASSERT_EQ(raised.size(), 2u);
    EXPECT_EQ(local(raised[1]), "2026-06-08 09:00:01") << "an hour off all summer";
}

TEST_F(Device, CycleThatLastsDaysIsFollowedByOneCatchUp)
{
    std::string once = dev.dir + "/slow-upload-done";
    scripts("exit 0", "exit 0",
            "[ -e '" + once + "' ] || { touch '" + once + "'; sleep 259200; }\nexit 0");
    dev.horizon = dev.start + 6 * DAY;
    sim_run_t r = start();
    std::vector<double> raised = times(r, "dtr", "1");
    ASSERT_GE(raised.size(), 3u);
    EXPECT_EQ(local(raised[0]), "2026-12-07 09:00:01");
    // The first cycle ended on the 10th at 09:00:26; the 8th, 9th and 10th
    // were missed and are covered by one cycle straight away.
    EXPECT_EQ(local(raised[1]), "2026-12-10 09:00:26");
    EXPECT_EQ(local(raised[2]), "2026-12-11 09:00:01");
}

TEST_F(Device, DaylightSavingMovesTheLocalUploadTime)
{
    dev.tz = "Europe/Berlin";
    dev.start = sim_at(dev, 2026, 3, 28, 8, 0);
    dev.horizon = dev.start + 2 * DAY;
    sim_run_t r = start();
    std::vector<double> raised = times(r, "dtr", "1");
    ASSERT_EQ(raised.size(), 2u);
    EXPECT_EQ(local(raised[0]), "2026-03-28 09:00:01");
    EXPECT_EQ(local(raised[1]), "2026-03-29 10:00:01") << "targets are 86400 s apart";
}

} // namespace
