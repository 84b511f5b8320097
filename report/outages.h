// An outage and a day's figures: what grouping failed checks makes.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "causes.h"
#include "log_records.h"

namespace report {

using core::LineVerdict;
using core::LocalTime;

// From the first failed check to the last; the real outage lasted at least this long.
struct Outage {
    LocalTime start;
    LocalTime end;
    long checks = 0;
    // With the watcher's record: its checks' verdicts, each once, in the order they came, and
    // how many of its checks were logged while nothing watched.
    std::vector<Verdict> causes;
    long unwatchedChecks = 0;
    // For each of its causes, where the path stopped at its first diagnosis that says so.
    std::vector<std::string> stops;
    // With the record: the moments its first and last checks stand for, its checks placed in
    // their order, so that its downtime never exceeds its span.
    std::optional<std::chrono::sys_seconds> startUtc;
    std::optional<std::chrono::sys_seconds> endUtc;
    std::chrono::seconds span() const { return end - start; }
};

struct DaySummary {
    long checks = 0;  // failed checks stamped that day
    long outages = 0; // outages that began that day
    std::chrono::seconds longest{0};
};

} // namespace report
