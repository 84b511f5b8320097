// A long unattended run without pauses: every failure recorded whole, memory and handles flat.
#include <filesystem>
#include <fstream>
#include <string>

#include "monitor_scenario.h"

namespace {

// Anonymous resident memory (heap and stacks, where leaks live) in KiB; -1 where unknown.
long anonymousKib() {
#ifdef __linux__
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("RssAnon:", 0) == 0) {
            return std::stol(line.substr(8));
        }
    }
#endif
    return -1;
}

long openDescriptors() {
#ifdef __linux__
    const auto entries = std::filesystem::directory_iterator("/proc/self/fd");
    return static_cast<long>(std::distance(begin(entries), end(entries)));
#else
    return -1;
#endif
}

} // namespace

class MonitorSoak : public MonitorScenario {};

TEST_F(MonitorSoak, ManyFailingCyclesGiveAsManyWholeLines) {
#ifdef _WIN32
    constexpr int cycles =
        20'000; // each open and close costs Wine a tenth of a millisecond or more
#else
    constexpr int cycles = 200'000;
#endif
    long kibAfterWarmUp = 0;
    long descriptorsAfterWarmUp = 0;
    long kibAtEnd = 0;
    long descriptorsAtEnd = 0;
    const platform_double::Script script{.secondsPerCycle = 1,
                                         .stopAfterPauses = cycles,
                                         .duringPause =
                                             [&](int pause) {
                                                 if (pause == 1'000) {
                                                     kibAfterWarmUp = anonymousKib();
                                                     descriptorsAfterWarmUp = openDescriptors();
                                                 } else if (pause == cycles) {
                                                     kibAtEnd = anonymousKib();
                                                     descriptorsAtEnd = openDescriptors();
                                                 }
                                             },
                                         .recordTrace = false};
    EXPECT_EQ(run({}, script), -1);

    std::ifstream log("connectivityLog.txt", std::ios::binary);
    std::string line;
    int lines = 0;
    int malformed = 0;
    while (std::getline(log, line)) {
        malformed += line + "\n" != logLine(1708216161 + lines) ? 1 : 0;
        ++lines;
    }
    EXPECT_EQ(lines, cycles);
    EXPECT_EQ(malformed, 0);
    EXPECT_EQ(descriptorsAtEnd, descriptorsAfterWarmUp);
#ifndef __SANITIZE_ADDRESS__ // AddressSanitizer's quarantine and stack records grow by design
    EXPECT_LT(kibAtEnd - kibAfterWarmUp, 64) // a leak of one byte a cycle would show as 195 KiB
        << "anonymous resident KiB grew from " << kibAfterWarmUp;
#endif
}
