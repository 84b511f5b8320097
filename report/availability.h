// What the watcher's record adds to a report: the time watched in its period, the bounds of the
// connection's availability in that time, and the outages' causes.
#pragma once

#include <array>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "causes.h"
#include "coverage.h"
#include "outages.h"

namespace report {

struct Report;

struct CauseTotal {
    long outages = 0;
    std::chrono::seconds span{0};
    // Where the path stopped most often in these outages, and in how many; empty where none said.
    std::string mostStoppedAfter;
    long stoppedThere = 0;
};

struct LocalSpan {
    LocalTime from;
    LocalTime to;
};

struct WatchFigures {
    std::string source;
    std::string problem;             // why the record could not be read; nothing below holds then
    std::chrono::seconds period{0};  // the report's, from its start to its end
    std::chrono::seconds watched{0}; // of the period
    // Downtime within the watched time: at least the outages' spans; at most, those with on each
    // side the most the monitor can take between a success and a failure (slack).
    std::chrono::seconds leastDown{0};
    std::chrono::seconds mostDown{0};
    std::chrono::seconds slack{0};
    std::array<CauseTotal, Cause::count> causes{}; // by each outage's first cause, by its index
    long skippedLines = 0;
    std::vector<long> firstSkippedLines;
    // In the period, in the log's local time, for the page.
    std::optional<LocalSpan> extent; // the period itself
    std::vector<LocalSpan> watchedSpans;
    std::vector<LocalSpan> asleepSpans;
    std::shared_ptr<const Quality> quality; // the connection's while it was up
    std::string machine;                    // as the record names it; may be empty
    // The local clock's offset from UTC at the period's start, then at each change within it.
    std::vector<std::pair<LocalTime, std::chrono::seconds>> offsets;
};

// The cause an outage counts under: its first verdict, cleared and unknown giving way to any
// other; unwatched where none of its checks was watched and none diagnosed; else unknown.
Cause primaryCause(const Outage& outage);
// As the outage table shows it: "provider", "provider, then dns", "unwatched".
std::string causeList(const Outage& outage);
// Where the path stopped, as the diagnosis of the cause it counts under says: "100.64.0.1 (hop 2)";
// empty where no path applies.
std::string stoppedAfter(const Outage& outage);
// The causes, and where the path stopped where that is known: "provider; the path stopped after
// 100.64.0.1 (hop 2)".
std::string causeAndStop(const Outage& outage);

// The figures, for the report's outages and period.
WatchFigures watchFigures(const Coverage& coverage, const Report& report);

} // namespace report
