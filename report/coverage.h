// Reading the watcher's record: when the log was watched, the local clock's offsets, and the
// verdict of each diagnosed check.
#pragma once

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <functional>
#include <memory>

#include "causes.h"
#include "log_records.h"
#include "outages.h"
#include "period.h"
#include "quality_figures.h"
#include "watch_record.h"

namespace report {

namespace record = core::record;

// A stretch of time the record vouches for, or one the machine slept through.
struct WatchSpan {
    record::Stamp from;
    record::Stamp to;
    std::chrono::seconds length() const { return to.utc - from.utc; }
};

// A failed check's diagnosis, as the record has it.
struct Diagnosed {
    LocalTime check;
    Verdict verdict;
    std::string stoppedAfter; // where the path stopped, "100.64.0.1 (hop 2)"; often empty
    std::shared_ptr<const Evidence> evidence;
};

// Consecutive lines with one offset from UTC: it held at least from the first to the last.
struct OffsetRun {
    std::chrono::sys_seconds from;
    std::chrono::sys_seconds to;
    std::chrono::seconds offset;
};

struct Coverage {
    std::string source;  // the record's name, as given
    std::string problem; // why it could not be read; empty where it was
    // Watched: from a start to a stop, sleep, clock change, ended monitor or unwritable log, or
    // to the last line before a silence longer than the still-watching lines promise. In order.
    std::vector<WatchSpan> watched;
    std::vector<WatchSpan> asleep;
    // The most the monitor takes between a success and a failure: its pause and its check's bound.
    std::chrono::seconds slack{0};
    long skippedLines = 0;
    std::vector<long> firstSkippedLines;
    std::optional<record::Stamp> first; // the earliest and the latest line, whatever their order
    std::optional<record::Stamp> last;
    std::vector<OffsetRun> offsets;                 // in time order
    std::vector<std::chrono::seconds> offsetValues; // each offset the record gives, once
    // By the failed check's time, and for one time in the record's order.
    std::vector<Diagnosed> diagnoses;
    std::string machine; // as the latest watch to start named it; may be empty
    // Where its watcher still runs (its claim on the folder says so), the moment it was read:
    // the last watch is counted up to then.
    std::optional<std::chrono::sys_seconds> watchingUntil;
    // The outage the watcher told of and had not said was over when the record ends.
    std::optional<record::ToldOutage> ongoing;
    // Of the windows that began in the period; shared with the figures the outputs are made of.
    std::shared_ptr<Quality> quality = std::make_shared<Quality>();

    // The moment a local time of the log stands for: by the offset the record shows holding at
    // that moment (in the hour summer time repeats, watched both times, the first of the two that
    // is not before notBefore); where it shows none, the offset it gave last before then, or its
    // first before its first line.
    std::chrono::sys_seconds utcOf(LocalTime time,
                                   std::optional<std::chrono::sys_seconds> notBefore = {}) const;
    // The local clock's offset at a moment, as the record last gave it before then.
    std::chrono::seconds offsetAt(std::chrono::sys_seconds moment) const;
    bool watchedAt(std::chrono::sys_seconds moment) const;
};

// Hands each diagnosis to one check of the log, taken in the log's order: checks of one time (a
// clock set back repeats it) take that time's diagnoses in the order the record has them.
class DiagnosisTaker {
  public:
    explicit DiagnosisTaker(const Coverage& coverage)
        : coverage_(coverage), taken_(coverage.diagnoses.size(), false) {}
    const Diagnosed* of(LocalTime check);

  private:
    const Coverage& coverage_;
    std::vector<bool> taken_;
};

// Each whole line of a record read from an open file in binary mode, in the file's order; each
// other one (not in the form, torn, cut short) skipped by its number. Returns an empty string, or
// why reading failed.
std::string readRecordLines(std::FILE* file, const std::function<void(const record::Line&)>& take,
                            const std::function<void(long line)>& skip);

// Reads a record from an open file in binary mode; lines not in its form are skipped and
// counted. A failure to read is in problem, with what was read before it. Its quality windows are
// those that began in the period. watchingUntil: where a watcher still runs, now.
Coverage readCoverage(std::FILE* file, std::string source, const Period& period = {},
                      std::optional<std::chrono::sys_seconds> watchingUntil = std::nullopt);

} // namespace report
