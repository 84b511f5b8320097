// Grouping failed checks into outages, and the figures a report shows.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <vector>

#include "log_records.h"

namespace report {

// From the first failed check to the last; the real outage lasted at least this long.
struct Outage {
    LocalTime start;
    LocalTime end;
    long checks = 0;
    std::chrono::seconds span() const { return end - start; }
};

struct DaySummary {
    long checks = 0;  // failed checks stamped that day
    long outages = 0; // outages that began that day
    std::chrono::seconds longest{0};
};

struct Report {
    std::chrono::seconds gap{90};
    long failedChecks = 0; // with or without a time
    long untimedChecks = 0;
    long skippedLines = 0;
    std::vector<long> firstSkippedLines; // the first few, for the person to look at
    std::optional<LocalTime> earliest;
    std::optional<LocalTime> latest;
    std::vector<Outage> outages;
    // Every day with a failed check or touched by an outage, in date order.
    std::map<std::chrono::local_days, DaySummary> days;

    std::chrono::seconds totalSpan() const;
    const Outage* longest() const; // the first of the longest; null without outages
};

inline constexpr std::size_t skippedLinesShown = 5;

// Feeds on the log's lines in order: a check continues the current outage when it comes at most
// gap after the previous one and not before it; anything else, time going backwards included,
// starts a new outage.
class ReportBuilder {
  public:
    explicit ReportBuilder(std::chrono::seconds gap) { report_.gap = gap; }
    void add(const LineVerdict& verdict, long lineNumber);
    Report finish();

  private:
    void closeOutage();

    Report report_;
    std::optional<Outage> current_;
    std::chrono::local_days today_{};
    DaySummary* todaysFigures_ = nullptr; // map nodes stay put as others are added
};

} // namespace report
