// The watcher's clocks as the system gives them: the local offset in a zone away from UTC, on
// each side of a change of summer time, and the boot clock running ahead of the awake one by
// what the machine slept (a time namespace stands in for a suspend).
#include <cstdlib>
#include <ctime>

#include <gtest/gtest.h>

#include "watch_os.h"

using namespace std::chrono;

TEST(Clocks, TheLocalOffsetAndTheSleepAsTheSystemHasThem) {
    const struct {
        const char* zone;
        sys_seconds moment;
        seconds offset;
    } zones[] = {
        {"<+03>-3", sys_days{2026y / 12 / 9} + 12h, 3h},
        {"<-0330>3:30", sys_days{2026y / 12 / 9} + 12h, -(3h + 30min)},
        {"Europe/Berlin", sys_days{2026y / 7 / 1}, 2h},
        {"Europe/Berlin", sys_days{2026y / 12 / 1}, 1h},
    };
    for (const auto& [zone, moment, offset] : zones) {
        ::setenv("TZ", zone, 1);
        ::tzset();
        EXPECT_EQ(core::system::offsetAt(moment), offset) << zone;
    }
    ::setenv("TZ", "<+03>-3", 1);
    ::tzset();
    const watch::Readings now = watch::os::readClocks();
    EXPECT_EQ(now.offset, 3h);
    EXPECT_EQ(now.stamp().local().time_since_epoch() - now.stamp().utc.time_since_epoch(), 3h);
    // Run in a time namespace whose boot clock is ahead, the test is told by how much.
    const char* ahead = std::getenv("CLOCKS_BOOT_AHEAD_SECONDS");
    EXPECT_GE(now.sinceBoot - now.awake, seconds{ahead != nullptr ? std::atoi(ahead) : 0});
    ::unsetenv("TZ");
    ::tzset();
}
