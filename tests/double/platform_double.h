// Scripted verdicts, a fixed clock and recorded pauses for running the monitor inside a test.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace platform_double {

struct Script {
    std::vector<bool> verdicts{};        // probe results in call order; probes past the end fail
    std::int64_t firstTime = 1708216161; // Sun Feb 18 00:29:21 2024 UTC
    std::int64_t secondsPerCycle = 31;
    std::vector<std::int64_t> clock{};            // if given, successive clock readings instead
    int stopAfterPauses = 10;                     // the pause that throws MonitorStopped
    std::function<void(int pause)> duringPause{}; // runs inside each pause, counted from 1
    bool recordTrace = true;
};

// Thrown by the pause double to end a run that would otherwise go on unattended.
struct MonitorStopped {};

void reset(Script script);
void record(std::string event);
bool recording();
const std::vector<std::string>& trace();
int probeCount();
int pauseCount();

// Whether this process holds the log file open; shown in trace events.
bool logHeldOpen();

// The clock double's text: the C library's asctime in UTC, or none for times before 1970
// (as Windows' _ctime64 gives none).
char* timeTextOf(std::int64_t time);

} // namespace platform_double

int runMonitor();
