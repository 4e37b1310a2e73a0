#include "daemon/schedule.h"

#include <cstdint>
#include <cstdlib>
#include <gtest/gtest.h>
#include <optional>
#include <string>

namespace {

constexpr time_t DAY = 86400;

// Runs each test in a fixed time zone and restores the process's own after.
class Schedule : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (saved)
            setenv("TZ", saved->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

    void zone(const char *tz)
    {
        if (!saved_once) {
            const char *old = getenv("TZ");
            if (old)
                saved = std::string(old);
            saved_once = true;
        }
        setenv("TZ", tz, 1);
        tzset();
    }

    // Local date and time to seconds since the epoch, in the current zone.
    static time_t at(int year, int month, int day, int hour, int minute, int second = 0)
    {
        struct tm tm = {};
        tm.tm_year = year - 1900;
        tm.tm_mon = month - 1;
        tm.tm_mday = day;
        tm.tm_hour = hour;
        tm.tm_min = minute;
        tm.tm_sec = second;
        tm.tm_isdst = -1;
        return mktime(&tm);
    }

    static std::string local(time_t t)
    {
        struct tm tm;
        localtime_r(&t, &tm);
        char text[32];
        strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
        return text;
    }

    std::optional<std::string> saved;
    bool saved_once = false;
};

TEST_F(Schedule, UploadTimeAcceptsWhatTheScanFormatReads)
{
    struct Case { const char *text; unsigned hours, minutes; };
    for (Case c : {Case{"07:30", 7, 30}, Case{"7:30", 7, 30}, Case{" 7:30", 7, 30},
                   Case{"7:30:15", 7, 30}, Case{"0:0", 0, 0}, Case{"23:59", 23, 59}}) {
        unsigned hours = 99, minutes = 99;
        EXPECT_EQ(upload_time_parse(c.text, hours, minutes), 1) << c.text;
        EXPECT_EQ(hours, c.hours) << c.text;
        EXPECT_EQ(minutes, c.minutes) << c.text;
    }
}

TEST_F(Schedule, UnusableUploadTimesAreRefused)
{
    for (const char *text : {"24:00", "12:60", "25:61", "", "noon", "7", "7:", ":30", "-1:00"}) {
        unsigned hours = 0, minutes = 0;
        EXPECT_EQ(upload_time_parse(text, hours, minutes), 0) << "'" << text << "' accepted";
    }
    unsigned hours, minutes;
    upload_time_parse("-1:00", hours, minutes);
    EXPECT_EQ(hours, 4294967295u) << "a minus wraps to a huge unsigned hour";
}

TEST_F(Schedule, FirstTargetIsTodayUnlessAlreadyPast)
{
    zone("UTC0");
    EXPECT_EQ(local(first_target(at(2026, 12, 7, 8, 0), 9, 0)), "2026-12-07 09:00:00");
    EXPECT_EQ(local(first_target(at(2026, 12, 7, 10, 0), 9, 0)), "2026-12-08 09:00:00");
    EXPECT_EQ(local(first_target(at(2026, 12, 7, 9, 0, 30), 9, 0)), "2026-12-08 09:00:00");
    // Started during the target second itself: the target stays, and the
    // cycle follows one second later.
    EXPECT_EQ(first_target(at(2026, 12, 7, 9, 0, 0), 9, 0), at(2026, 12, 7, 9, 0, 0));
    EXPECT_EQ(local(first_target(at(2026, 12, 31, 23, 59, 59), 0, 0)), "2027-01-01 00:00:00");
}

TEST_F(Schedule, FirstTargetUsesLocalTime)
{
    zone("Europe/Berlin");
    time_t target = first_target(at(2026, 7, 1, 6, 0), 9, 0);
    EXPECT_EQ(local(target), "2026-07-01 09:00:00");
    EXPECT_EQ(target, 1782889200) << "09:00 CEST is 07:00 UTC";
    // Started in the night the clocks change: the upload time is read in
    // the day's own offset, not in the night's.
    EXPECT_EQ(local(first_target(at(2026, 3, 29, 1, 0), 9, 0)), "2026-03-29 09:00:00");
    EXPECT_EQ(local(first_target(at(2026, 10, 25, 1, 0), 9, 0)), "2026-10-25 09:00:00");
}

TEST_F(Schedule, DaylightSavingShiftsTheLocalUploadTimeByItsSize)
{
    zone("Europe/Berlin");
    // Summer time starts on 2026-03-29; targets stay 86400 s apart.
    time_t target = first_target(at(2026, 3, 28, 8, 0), 9, 0);
    EXPECT_EQ(local(target), "2026-03-28 09:00:00");
    EXPECT_EQ(local(target + DAY), "2026-03-29 10:00:00");
    // Started after the upload time on the eve of the change.
    EXPECT_EQ(local(first_target(at(2026, 3, 28, 10, 0), 9, 0)), "2026-03-29 10:00:00");
    // And back when winter time returns on 2026-10-25.
    target = first_target(at(2026, 10, 24, 8, 0), 9, 0);
    EXPECT_EQ(local(target + DAY), "2026-10-25 08:00:00");
}

TEST_F(Schedule, OneCycleCoversEveryMissedTarget)
{
    const time_t target = 1'800'000'000;
    EXPECT_EQ(latest_missed_target(target, target + 1), target);
    EXPECT_EQ(latest_missed_target(target, target + DAY), target)
        << "the next target is reached but not passed";
    EXPECT_EQ(latest_missed_target(target, target + DAY + 1), target + DAY);
    EXPECT_EQ(latest_missed_target(target, target + 3 * DAY + 500), target + 3 * DAY);
    // A device without a clock boots in 1970 and then gets network time.
    time_t boot_target = 32400;
    time_t stepped = 1'796'630'400;
    time_t latest = latest_missed_target(boot_target, stepped);
    EXPECT_EQ((latest - boot_target) % DAY, 0);
    EXPECT_LT(latest, stepped);
    EXPECT_GE(latest + DAY, stepped) << "the next target must lie ahead of the clock";
}

TEST_F(Schedule, SchedulingCarriesOnPastJanuary2038)
{
    zone("UTC0");
    ASSERT_EQ(sizeof(time_t), 8u) << "a 32-bit time_t stops the daemon in January 2038";
    time_t now = at(2038, 1, 18, 12, 0);
    time_t target = first_target(now, 9, 0);
    EXPECT_EQ(local(target), "2038-01-19 09:00:00");
    EXPECT_GT(target, static_cast<time_t>(INT32_MAX));
    EXPECT_EQ(local(target + DAY), "2038-01-20 09:00:00");
    EXPECT_EQ(latest_missed_target(now - DAY, target + 2 * DAY + 1), now + 2 * DAY);
    EXPECT_EQ(local(first_target(at(2106, 2, 7, 7, 0), 9, 0)), "2106-02-07 09:00:00")
        << "past the end of an unsigned 32-bit time as well";
}

TEST_F(Schedule, OnlyAStepBackOfMoreThanADayTakesTheNextUploadTimeAhead)
{
    zone("UTC0");
    time_t target = at(2026, 12, 7, 9, 0);
    time_t half_year = at(2026, 6, 7, 8, 30) - at(2026, 12, 6, 8, 30);
    EXPECT_EQ(local(target_for_clock(target, at(2026, 6, 7, 8, 30), half_year, 9, 0)),
              "2026-06-07 09:00:00")
        << "six months back: no upload for six months";
    EXPECT_EQ(target_for_clock(target, at(2026, 12, 6, 8, 56), -300, 9, 0), target)
        << "five minutes back just after the 6th's cycle: a second cycle that day";
    EXPECT_EQ(target_for_clock(target, at(2026, 12, 7, 6, 30), -2 * 3600, 9, 0), target)
        << "two hours back: today's upload must stay, late by the step";
}

} // namespace
