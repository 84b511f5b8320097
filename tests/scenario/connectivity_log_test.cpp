// What reaches connectivityLog.txt, and when, across cycles, runs and file mishaps.
#include <algorithm>
#include <filesystem>
#include <fstream>

#include "monitor_scenario.h"

using platform_double::Script;
namespace fs = std::filesystem;

class ConnectivityLog : public MonitorScenario {};

TEST_F(ConnectivityLog, ExistsEmptyAfterQuittingInTheFirstCycleEvenWhenItsProbeFailed) {
    EXPECT_EQ(run({"y\n"}, Script{.verdicts = {false}}), 0);
    EXPECT_TRUE(fs::exists("connectivityLog.txt"));
    EXPECT_EQ(logText(), "");
}

TEST_F(ConnectivityLog, RecordsEachFailedCycleWithTheTimeTakenBeforeItsProbe) {
    const Script script{.verdicts = {false, true, false, false},
                        .clock = {1708216161, 1708216222, 1708216283, 1708216344}};
    EXPECT_EQ(run({"n\n", "n\n", "n\n", "y\n"}, script), 0);
    EXPECT_EQ(logText(), logLine(1708216161) + logLine(1708216283));
    EXPECT_EQ(logLine(1708216161), std::string("internet connection test failed on ") +
                                       "Sun Feb 18 00:29:21 2024" + lineEnd);
}

TEST_F(ConnectivityLog, KeepsEarlierRunsAndAppendsAfterThem) {
    {
        std::ofstream earlier("connectivityLog.txt", std::ios::binary);
        earlier << "from an earlier run" << lineEnd;
    }
    EXPECT_EQ(run({"n\n", "y\n"}), 0);
    EXPECT_EQ(logText(), std::string("from an earlier run") + lineEnd + logLine(1708216161));
}

TEST_F(ConnectivityLog, LineIsOnDiskAndFileClosedThroughoutThePause) {
    std::string seenDuringPause;
    const Script script{.duringPause = [&](int) { seenDuringPause = logText(); }};
    EXPECT_EQ(run({"n\n", "y\n"}, script), 0);
    EXPECT_EQ(seenDuringPause, logLine(1708216161));
    const auto& trace = platform_double::trace();
    EXPECT_EQ(std::count(trace.begin(), trace.end(), "pause 30000, log closed"), 1);
}

TEST_F(ConnectivityLog, FileRemovedOrRenamedDuringAPauseIsCreatedAfresh) {
    const Script script{.duringPause = [](int pause) {
        if (pause == 1) {
            fs::rename("connectivityLog.txt", "rotated.txt");
        } else if (pause == 2) {
            fs::remove("connectivityLog.txt");
        }
    }};
    EXPECT_EQ(run({"n\n", "n\n", "n\n", "y\n"}, script), 0);
    EXPECT_EQ(fileText("rotated.txt"), logLine(1708216161));
    EXPECT_EQ(logText(), logLine(1708216161 + 2 * 31));
}

TEST_F(ConnectivityLog, CycleWhoseOpenFailsLosesOnlyItsOwnLine) {
    // A folder in the log's place defeats the open, even for root.
    const Script script{.duringPause = [](int pause) {
        if (pause == 1) {
            fs::rename("connectivityLog.txt", "saved.txt");
            fs::create_directory("connectivityLog.txt");
        } else if (pause == 2) {
            fs::remove("connectivityLog.txt");
            fs::rename("saved.txt", "connectivityLog.txt");
        }
    }};
    EXPECT_EQ(run({"n\n", "n\n", "n\n", "y\n"}, script), 0);
    EXPECT_EQ(logText(), logLine(1708216161) + logLine(1708216161 + 2 * 31));
}

TEST_F(ConnectivityLog, MissingTimeTextStillRecordsTheFailure) {
    EXPECT_EQ(run({"n\n", "y\n"}, Script{.clock = {-1}}), 0);
    EXPECT_EQ(logText(),
              std::string("internet connection test failed on (time unavailable)") + lineEnd);
}
