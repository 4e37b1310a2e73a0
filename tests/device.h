// The fixture for tests of the real velmorad binary on a simulated device: a
// pseudo-terminal as /dev/ttyS1 with a simulated DTR line, a virtual wall
// clock that every sleep advances at once, and scripts written per test.
#pragma once

#include "sim/sandbox.h"

#include <algorithm>
#include <cmath>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace device {

constexpr time_t DAY = 86400;
constexpr int LOG_DAEMON_FACILITY = 3 << 3;
constexpr int NOTICE = 5;
constexpr int ERR = 3;

class Device : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(sim_create(dev));
        dev.velmorad = VELMORAD;
        dev.hw_library = HW_LIBRARY;
        dev.start = sim_at(dev, 2026, 12, 7, 8, 0);
        dev.horizon = dev.start + DAY;
        settings("MOD_VELMORA_UPLOADTIME=09:00\n");
        scripts();
    }
    void TearDown() override
    {
        if (!dev.dir.empty())
            std::system(("rm -rf '" + dev.dir + "'").c_str());
    }

    void settings(const std::string &content) { sim_write(sim_etc(dev, "settings"), content); }

    // The scripts check that the daemon left them only /dev/null.
    void scripts(const std::string &mount = "exit 0", const std::string &umount = "exit 0",
                 const std::string &upload = "exit 0")
    {
        sim_install_scripts(dev, mount, umount, upload, FD_PROBE);
    }

    sim_run_t start(double limit_s = 30)
    {
        sim_run_t r = sim_run(dev, limit_s);
        EXPECT_EQ(r.error, "") << "the sandbox could not be set up";
        EXPECT_FALSE(r.wedged) << "the daemon neither ended nor went back to waiting";
        return r;
    }

    static std::vector<sim_event_t> of(const sim_run_t &r, const std::string &kind)
    {
        std::vector<sim_event_t> found;
        for (const sim_event_t &e : r.events) {
            if (e.kind == kind)
                found.push_back(e);
        }
        return found;
    }

    // The daemon's messages as the system logger received them.
    static std::vector<std::string> messages(const sim_run_t &r)
    {
        std::vector<std::string> texts;
        for (const sim_log_t &m : r.log)
            texts.push_back(m.text);
        return texts;
    }

    static int priority_of(const sim_run_t &r, const std::string &text)
    {
        for (const sim_log_t &m : r.log) {
            if (m.text == text)
                return m.priority;
        }
        return -1;
    }

    static bool exited_with(const sim_run_t &r, int code)
    {
        return r.ended && WIFEXITED(r.status) && WEXITSTATUS(r.status) == code;
    }

    // Virtual times of the events of one kind whose text starts with `text`.
    static std::vector<double> times(const sim_run_t &r, const std::string &kind,
                                     const std::string &text = "")
    {
        std::vector<double> t;
        for (const sim_event_t &e : r.events) {
            if (e.kind == kind && e.text.compare(0, text.size(), text) == 0)
                t.push_back(e.t);
        }
        return t;
    }

    std::string local(double t) const { return sim_local(dev, t); }

    std::string lock_content() const
    {
        char buf[64] = {};
        int fd = open(sim_lock(dev).c_str(), O_RDONLY | O_NONBLOCK);
        if (fd < 0)
            return "<no lock file>";
        ssize_t n = read(fd, buf, sizeof buf - 1);
        close(fd);
        return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
    }

    static std::string pid_text(int pid)
    {
        char text[16];
        snprintf(text, sizeof text, "%10d\n", pid);
        return text;
    }

    sim_device_t dev;
};

using Messages = std::vector<std::string>;

} // namespace device
