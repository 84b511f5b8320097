// Reading the watcher's record: when the log was watched, the local clock's offsets, and the
// verdict of each diagnosed check.
#pragma once

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "causes.h"
#include "log_records.h"
#include "outages.h"
#include "watch_record.h"

namespace report {

namespace record = core::record;

// A stretch of time the record vouches for, or one the machine slept through.
struct WatchSpan {
    record::Stamp from;
    record::Stamp to;
    std::chrono::seconds length() const { return to.utc - from.utc; }
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
    std::optional<record::Stamp> first; // the first and the last line
    std::optional<record::Stamp> last;
    // Where the local clock's offset from UTC changed: from then on, that offset.
    std::vector<std::pair<std::chrono::sys_seconds, std::chrono::seconds>> offsets;
    std::vector<std::pair<LocalTime, Verdict>> diagnoses; // by the failed check's time, sorted

    // The verdict of the failed check at this local time, if it was diagnosed.
    std::optional<Verdict> causeOf(LocalTime check) const;
    // The moment a local time of the log stands for, by the offsets the record gives that time
    // (the first of the two, in an hour a change of offset repeats).
    std::chrono::sys_seconds utcOf(LocalTime time) const;
    // The local clock's offset at a moment, as the record last gave it before then.
    std::chrono::seconds offsetAt(std::chrono::sys_seconds moment) const;
    bool watchedAt(std::chrono::sys_seconds moment) const;
};

// Reads a record from an open file in binary mode; lines not in its form are skipped and
// counted. A failure to read is in problem, with what was read before it.
Coverage readCoverage(std::FILE* file, std::string source);

} // namespace report
