// The person's own command: its environment, its exit status, and its end, at its own end or once
// its time is up, with whatever it started.
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

TEST(Command, RunsWithTheChangeInItsEnvironmentAndEndsWithWhatItStartedAtItsEndOrItsLimit) {
    // Each command leaves two processes in the background, one in a session of its own, and
    // writes down their numbers and its own.
    const struct {
        std::string line;
        std::chrono::milliseconds limit;
        const char* ended;
    } commands[] = {
        {"test \"$CONNECTIVITY_EVENT\" = down && exit 3", 10s, "exited with status 3"},
        {"wait", 300ms, "still running after 0 s: ended"},
    };
    for (const auto& [line, limit, ended] : commands) {
        const std::string pids = ::testing::TempDir() + "command-pids";
        std::string why;
        std::string script = "sleep 30 & echo $! >";
        script.append(pids).append("; setsid sleep 30 & echo $! >>").append(pids);
        script.append("; echo $$ >>").append(pids).append("; ").append(line);
        const auto command =
            watch::os::Command::start(script, {{"CONNECTIVITY_EVENT", "down"}}, why);
        ASSERT_TRUE(command) << why;
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(endOf(*command, limit), ended);
        EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
        std::ifstream file(pids);
        for (pid_t pid = 0; file >> pid;) {
            for (int waited = 0; waited < 100 && alive(pid); ++waited) { // the killed die soon
                std::this_thread::sleep_for(20ms);
            }
            EXPECT_FALSE(alive(pid)) << "process " << pid << " outlived its command: " << line;
        }
    }
}
