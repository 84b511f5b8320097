// The figures a report shows, and the builder that gathers them as the log's lines stream past.
#pragma once

#include <map>
#include <optional>
#include <vector>

#include "availability.h"
#include "coverage.h"
#include "outages.h"
#include "period.h"

namespace report {

// What the outputs say of their own making, beside the figures.
struct About {
    std::string title;   // the person's own line ("Flat 3, provider X, contract 123"); may be empty
    std::string machine; // where the report was made
    std::optional<core::record::Stamp> madeAt;
    std::string version;
};

struct Report {
    About about;
    std::chrono::seconds gap{90};
    Period period;
    long failedChecks = 0; // with or without a time; within the period, those of its outages
    long untimedChecks = 0;
    long skippedLines = 0;
    std::vector<long> firstSkippedLines; // the first few, for the person to look at
    long monitorLines = 0;               // lines in the monitor's form, in the period or not
    long timeWentBackwards = 0;          // checks stamped earlier than the one before them
    long firstBackwardsLine = 0;
    std::optional<LocalTime> earliest;
    std::optional<LocalTime> latest;
    std::vector<Outage> outages; // in the order of the log
    // Every day with a failed check, in date order.
    std::map<std::chrono::local_days, DaySummary> days;

    std::optional<WatchFigures> watch; // what the watcher's record adds, where one was read

    std::chrono::seconds totalSpan() const; // overlapping outages counted once
    const Outage* longest() const;          // the first of the longest; null without outages
};

inline constexpr std::size_t skippedLinesShown = 5;

// Feeds on the log's lines in order: a check continues the current outage when it comes at most
// gap after the previous one and not before it; anything else, time going backwards included,
// starts a new outage. Only outages that begin within the period are kept.
class ReportBuilder {
  public:
    // With the watcher's record, each check takes its verdict and whether it was watched.
    explicit ReportBuilder(std::chrono::seconds gap, Period period = {},
                           const Coverage* coverage = nullptr)
        : coverage_(coverage) {
        report_.gap = gap;
        report_.period = period;
        if (coverage != nullptr) {
            diagnoses_.emplace(*coverage);
        }
    }
    void add(const LineVerdict& verdict, long lineNumber);
    Report finish();

  private:
    void closeOutage();

    const Coverage* coverage_;
    std::optional<DiagnosisTaker> diagnoses_;
    Report report_;
    std::optional<Outage> current_;
    std::vector<std::pair<std::chrono::local_days, long>> currentChecksPerDay_;
    std::optional<LocalTime> previous_; // the last timed check, to see time going backwards
};

} // namespace report
