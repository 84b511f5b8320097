// The record read line by line, by its stamps' UTC: watched spans, sleep, offsets and verdicts.
#include "coverage.h"

#include <algorithm>

#include "monitor.h"
#include "report.h" // skippedLinesShown

namespace report {
namespace {

using namespace std::chrono;
namespace event = record::event;

// Any line the watcher writes shows it alive; a silence longer than this vouches for nothing.
constexpr seconds longestSilence = record::heartbeat + record::heartbeatMargin;
// Lines longer than any the watcher writes are skipped unread.
constexpr std::size_t longestLine = 16'384;

class CoverageReader {
  public:
    explicit CoverageReader(Coverage& coverage) : coverage_(coverage) {}

    void add(const record::Line& line) {
        const record::Stamp& at = line.at;
        noteOffset(at);
        coverage_.first = coverage_.first.value_or(at);
        coverage_.last = at;
        const std::string_view what = line.event;
        // Sleep and a clock change say when they began: the silence before them ends there.
        const bool interrupted = what == event::asleep || what == event::clockChanged;
        const auto from = interrupted ? record::parseStamp(line.field("from")) : std::nullopt;
        const record::Stamp& silenceEnd = from ? *from : at;
        // A silence longer than the still-watching lines promise, or time going back with no
        // word of a clock change: what was watched ends at the last line before it.
        if (last_ &&
            (silenceEnd.utc - last_->utc > longestSilence || silenceEnd.utc < last_->utc)) {
            close(*last_);
        }
        if (what == event::started) {
            close(last_.value_or(at)); // a watcher before it that never said it stopped
            stopped_ = logDown_ = false;
            monitorDown_ = !line.field("monitor-failed").empty();
            const seconds bound = line.field("os") == "windows" ? core::monitor::windowsCheckBound
                                                                : core::monitor::linuxCheckBound;
            coverage_.slack = std::max(coverage_.slack, core::monitor::pause + bound);
        } else if (what == event::stopped) {
            close(at);
            stopped_ = true;
        } else if (interrupted) {
            close(from ? *from : at);
            if (what == event::asleep && from) {
                coverage_.asleep.push_back({*from, at});
            }
        } else if (what == event::monitorEnded) {
            close(at);
            monitorDown_ = true;
        } else if (what == event::monitorStarted) {
            monitorDown_ = line.field("monitor").empty();
        } else if (what == event::logUnwritable) {
            close(at);
            logDown_ = true;
        } else if (what == event::logWritable) {
            logDown_ = false;
        } else if (what == event::diagnosis) {
            const auto check = core::timeOfText(line.field("check"));
            const auto cause = core::verdictNamed(line.field("verdict"));
            if (check && cause) {
                coverage_.diagnoses.emplace_back(*check, *cause);
            }
        }
        if (!stopped_ && !monitorDown_ && !logDown_ && !since_) {
            since_ = at; // watching: from here on, until something says otherwise
        }
        last_ = at;
    }

    void finish() {
        if (last_) {
            close(*last_); // the last line vouches for nothing after it
        }
        std::sort(coverage_.diagnoses.begin(), coverage_.diagnoses.end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
        // A clock set back can make spans overlap: in order, and each moment once.
        auto& spans = coverage_.watched;
        std::sort(spans.begin(), spans.end(),
                  [](const WatchSpan& a, const WatchSpan& b) { return a.from.utc < b.from.utc; });
        std::vector<WatchSpan> merged;
        for (const WatchSpan& span : spans) {
            if (!merged.empty() && span.from.utc <= merged.back().to.utc) {
                if (span.to.utc > merged.back().to.utc) {
                    merged.back().to = span.to;
                }
            } else {
                merged.push_back(span);
            }
        }
        spans = std::move(merged);
    }

  private:
    void close(const record::Stamp& at) {
        if (since_ && at.utc > since_->utc) {
            coverage_.watched.push_back({*since_, at});
        }
        since_.reset();
    }

    void noteOffset(const record::Stamp& at) {
        if (coverage_.offsets.empty() || coverage_.offsets.back().second != at.offset) {
            coverage_.offsets.emplace_back(at.utc, at.offset);
        }
    }

    Coverage& coverage_;
    std::optional<record::Stamp> since_;
    std::optional<record::Stamp> last_;
    bool stopped_ = false;
    bool monitorDown_ = false;
    bool logDown_ = false;
};

} // namespace

std::optional<Verdict> Coverage::causeOf(LocalTime check) const {
    const auto found = std::lower_bound(diagnoses.begin(), diagnoses.end(), check,
                                        [](const std::pair<LocalTime, Verdict>& entry,
                                           LocalTime time) { return entry.first < time; });
    return found != diagnoses.end() && found->first == check ? std::optional(found->second)
                                                             : std::nullopt;
}

sys_seconds Coverage::utcOf(LocalTime time) const {
    if (offsets.empty()) {
        return sys_seconds{time.time_since_epoch()};
    }
    // Each offset holds from its change to the next: the first whose local stretch holds time.
    seconds offset = offsets.front().second;
    for (std::size_t i = 0; i < offsets.size(); ++i) {
        const seconds local = time.time_since_epoch();
        const seconds from = offsets[i].first.time_since_epoch() + offsets[i].second;
        const bool beforeNext = i + 1 == offsets.size() ||
                                local < offsets[i + 1].first.time_since_epoch() + offsets[i].second;
        if (local >= from) {
            offset = offsets[i].second;
            if (beforeNext) {
                break;
            }
        }
    }
    return sys_seconds{time.time_since_epoch() - offset};
}

seconds Coverage::offsetAt(sys_seconds moment) const {
    const auto after =
        std::upper_bound(offsets.begin(), offsets.end(), moment,
                         [](sys_seconds time, const auto& change) { return time < change.first; });
    return after == offsets.begin() ? (offsets.empty() ? 0s : offsets.front().second)
                                    : std::prev(after)->second;
}

bool Coverage::watchedAt(sys_seconds moment) const {
    const auto after = std::upper_bound(
        watched.begin(), watched.end(), moment,
        [](sys_seconds time, const WatchSpan& span) { return time < span.from.utc; });
    return after != watched.begin() && moment <= std::prev(after)->to.utc;
}

Coverage readCoverage(std::FILE* file, std::string source) {
    Coverage coverage;
    coverage.source = std::move(source);
    CoverageReader reader(coverage);
    long lineNumber = 0;
    coverage.problem =
        core::readLines(file, longestLine, 0, [&](std::string_view line, bool tornFront) {
            ++lineNumber;
            const auto parsed = tornFront ? std::nullopt : record::parseLine(line);
            if (parsed) {
                reader.add(*parsed);
                return;
            }
            if (coverage.firstSkippedLines.size() < skippedLinesShown) {
                coverage.firstSkippedLines.push_back(lineNumber);
            }
            ++coverage.skippedLines;
        });
    reader.finish();
    return coverage;
}

} // namespace report
