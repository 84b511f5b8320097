// An outage and a day's figures: what grouping failed checks makes.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "causes.h"
#include "log_records.h"

namespace report {

using core::LineVerdict;
using core::LocalTime;

// What a diagnosis found, stage by stage, in the record's own words; shared by every diagnosis
// that found the same.
struct Evidence {
    std::string gateway;     // "ipv4: 192.168.1.1 answers an ICMP echo; ipv6: no default route"
    std::string nameService; // "192.168.1.1: no such name (NXDOMAIN)"
    std::string beyond;      // "1.1.1.1: silent; 9.9.9.9: silent"
    std::string site;        // "ipv4: 142.250.1.1: silent"
    std::string loss;        // "2 of 3 tries unanswered beyond the edge"; often empty
    std::string path; // "ipv4 to 1.1.1.1: 192.168.1.1, 100.64.0.1, then silent (hops 3 to 16)"
    bool operator==(const Evidence&) const = default;
};

// From the first failed check to the last; the real outage lasted at least this long.
struct Outage {
    LocalTime start;
    LocalTime end;
    long checks = 0;
    // With the watcher's record: its checks' verdicts, each once, in the order they came, and
    // how many of its checks were logged while nothing watched.
    std::vector<Verdict> causes;
    long unwatchedChecks = 0;
    // For each of its causes, where the path stopped at its first diagnosis that says so, and
    // what its first diagnosis found.
    std::vector<std::string> stops;
    std::vector<std::shared_ptr<const Evidence>> evidence;
    // With the record: the moments its first and last checks stand for, its checks placed in
    // their order, so that its downtime never exceeds its span.
    std::optional<std::chrono::sys_seconds> startUtc;
    std::optional<std::chrono::sys_seconds> endUtc;
    // The last outage, where the watcher had not said it was over when its record ends.
    bool ongoing = false;
    std::chrono::seconds span() const { return end - start; }
};

struct DaySummary {
    long checks = 0;  // failed checks stamped that day
    long outages = 0; // outages that began that day
    std::chrono::seconds longest{0};
};

} // namespace report
