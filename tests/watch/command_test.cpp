// The person's own command: its environment, its exit status, and its end once its time is up,
// with whatever it started.
#include <fstream>
#include <thread>

#include <gtest/gtest.h>
#include <unistd.h>

#include "watch_os.h"

using namespace std::chrono_literals;

namespace {

std::string endOf(watch::os::Command& command, std::chrono::milliseconds timeLimit) {
    for (;;) {
        if (auto how = command.ended(timeLimit)) {
            return *how;
        }
        std::this_thread::sleep_for(10ms);
    }
}

// Running, not ended and left for its new parent to reap.
bool alive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string id, name, state;
    return stat >> id >> name >> state && state != "Z";
}

} // namespace

TEST(Command, RunsWithTheChangeInItsEnvironmentAndEndsWithWhatItStartedOnceItsTimeIsUp) {
    std::string why;
    const auto told = watch::os::Command::start("test \"$CONNECTIVITY_EVENT\" = down && exit 3",
                                                {{"CONNECTIVITY_EVENT", "down"}}, why);
    ASSERT_TRUE(told) << why;
    EXPECT_EQ(endOf(*told, 10s), "exited with status 3");

    const std::string pids = ::testing::TempDir() + "command-pids";
    const auto hanging = watch::os::Command::start(
        "sleep 30 & echo $! >" + pids + "; echo $$ >>" + pids + "; wait", {}, why);
    ASSERT_TRUE(hanging) << why;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(endOf(*hanging, 300ms), "still running after 0 s: ended");
    EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
    std::ifstream file(pids);
    for (pid_t pid = 0; file >> pid;) {
        for (int waited = 0; waited < 100 && alive(pid); ++waited) { // a killed process dies soon
            std::this_thread::sleep_for(20ms);
        }
        EXPECT_FALSE(alive(pid)) << "process " << pid << " outlived its command";
    }
}
