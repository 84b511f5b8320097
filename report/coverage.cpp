// The record read line by line, by its stamps' UTC: watched spans, sleep, offsets and verdicts.
#include "coverage.h"

#include <algorithm>
#include <map>

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

    // Each diagnosis's findings, kept once however many diagnoses found the same: an outage of a
    // week has thousands.
    std::shared_ptr<const Evidence> evidenceOf(const record::Line& line) {
        Evidence found{std::string(line.field("local")),  std::string(line.field("dns")),
                       std::string(line.field("beyond")), std::string(line.field("site")),
                       std::string(line.field("loss")),   std::string(line.field("path"))};
        if (!lastEvidence_ || !(*lastEvidence_ == found)) {
            std::string key;
            for (const std::string* part : {&found.gateway, &found.nameService, &found.beyond,
                                            &found.site, &found.loss, &found.path}) {
                key.append(*part).append(1, '\n');
            }
            auto& kept = evidence_[key];
            if (!kept) {
                kept = std::make_shared<const Evidence>(std::move(found));
            }
            lastEvidence_ = kept;
        }
        return lastEvidence_;
    }

    void add(const record::Line& line) {
        const record::Stamp& at = line.at;
        noteOffset(at);
        // A clock set back puts lines out of time order: the record spans its earliest to latest.
        if (!coverage_.first || at.utc < coverage_.first->utc) {
            coverage_.first = at;
        }
        if (!coverage_.last || at.utc > coverage_.last->utc) {
            coverage_.last = at;
        }
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
            const auto verdict = core::verdictNamed(line.field("verdict"));
            // Only a path that explains the verdict has a stop: past the provider's edge, or to
            // the site. A stop beside any other verdict (a line edited by hand) says nothing.
            const bool explained = verdict == Verdict::provider || verdict == Verdict::site;
            if (check && verdict) {
                coverage_.diagnoses.push_back(
                    {*check, *verdict,
                     explained ? std::string(line.field("stopped-after")) : std::string(),
                     evidenceOf(line)});
            }
        }
        if (what == event::started && line.find("machine")) {
            coverage_.machine = line.field("machine");
        }
        told_.take(line);
        // Lines before any start (a record begun by hand, or its head cut off) count as a
        // watcher's: watched from the first of them, until something says otherwise.
        if (!stopped_ && !monitorDown_ && !logDown_ && !since_) {
            since_ = at;
        }
        last_ = at;
    }

    void finish() {
        // The last line vouches for nothing after it; a watcher still running, up to now.
        const auto& until = coverage_.watchingUntil;
        if (last_ && until && *until > last_->utc && *until - last_->utc <= longestSilence &&
            since_) {
            const record::Stamp now{*until, last_->offset};
            close(now);
            coverage_.last = now;
        } else if (last_) {
            close(*last_);
        }
        if (coverage_.last) {
            coverage_.ongoing = told_.goingOnAt(coverage_.last->utc);
        }
        std::stable_sort(coverage_.diagnoses.begin(), coverage_.diagnoses.end(),
                         [](const Diagnosed& a, const Diagnosed& b) { return a.check < b.check; });
        std::sort(coverage_.offsets.begin(), coverage_.offsets.end(),
                  [](const OffsetRun& a, const OffsetRun& b) { return a.from < b.from; });
        for (const OffsetRun& run : coverage_.offsets) {
            auto& values = coverage_.offsetValues;
            if (std::find(values.begin(), values.end(), run.offset) == values.end()) {
                values.push_back(run.offset);
            }
        }
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

    // Lines in file order with one offset make a run: that offset held from the first to the last.
    void noteOffset(const record::Stamp& at) {
        if (!coverage_.offsets.empty() && latestRun_ < coverage_.offsets.size() &&
            coverage_.offsets[latestRun_].offset == at.offset) {
            OffsetRun& run = coverage_.offsets[latestRun_];
            run.from = std::min(run.from, at.utc);
            run.to = std::max(run.to, at.utc);
            return;
        }
        latestRun_ = coverage_.offsets.size();
        coverage_.offsets.push_back({at.utc, at.utc, at.offset});
    }

    Coverage& coverage_;
    std::optional<record::Stamp> since_;
    std::optional<record::Stamp> last_;
    bool stopped_ = false;
    bool monitorDown_ = false;
    bool logDown_ = false;
    std::size_t latestRun_ = 0; // the run the latest line in file order belongs to
    record::ToldOutages told_;
    std::map<std::string, std::shared_ptr<const Evidence>> evidence_;
    std::shared_ptr<const Evidence> lastEvidence_;
};

} // namespace

sys_seconds Coverage::utcOf(LocalTime time, std::optional<sys_seconds> notBefore) const {
    if (offsets.empty()) {
        return sys_seconds{time.time_since_epoch()};
    }
    // Each offset the record gives is a candidate: the local time at it is a moment. The record
    // shows it holding there if a run of that offset, with the silence its lines vouch for after
    // it, holds the moment. A zone has few offsets, and runs are in time order: a search each.
    std::optional<sys_seconds> shown;
    std::optional<sys_seconds> consistent;
    for (const seconds offset : offsetValues) {
        const sys_seconds moment{time.time_since_epoch() - offset};
        const auto after =
            std::upper_bound(offsets.begin(), offsets.end(), moment,
                             [](sys_seconds at, const OffsetRun& run) { return at < run.from; });
        if (after == offsets.begin() || std::prev(after)->offset != offset ||
            (notBefore && moment < *notBefore)) {
            continue;
        }
        const bool held = moment <= std::prev(after)->to + longestSilence;
        std::optional<sys_seconds>& best = held ? shown : consistent;
        best = std::min(best.value_or(moment), moment); // the first of two
    }
    if (shown || consistent) {
        return shown ? *shown : *consistent;
    }
    const sys_seconds guess{time.time_since_epoch() - offsets.front().offset};
    const sys_seconds placed{time.time_since_epoch() - offsetAt(guess)};
    return notBefore ? std::max(placed, *notBefore) : placed;
}

seconds Coverage::offsetAt(sys_seconds moment) const {
    const auto after =
        std::upper_bound(offsets.begin(), offsets.end(), moment,
                         [](sys_seconds time, const OffsetRun& run) { return time < run.from; });
    return after == offsets.begin() ? (offsets.empty() ? 0s : offsets.front().offset)
                                    : std::prev(after)->offset;
}

bool Coverage::watchedAt(sys_seconds moment) const {
    const auto after = std::upper_bound(
        watched.begin(), watched.end(), moment,
        [](sys_seconds time, const WatchSpan& span) { return time < span.from.utc; });
    return after != watched.begin() && moment <= std::prev(after)->to.utc;
}

const Diagnosed* DiagnosisTaker::of(LocalTime check) {
    const auto& all = coverage_.diagnoses;
    auto found =
        std::lower_bound(all.begin(), all.end(), check,
                         [](const Diagnosed& entry, LocalTime time) { return entry.check < time; });
    for (; found != all.end() && found->check == check; ++found) {
        const auto index = static_cast<std::size_t>(found - all.begin());
        if (!taken_[index]) {
            taken_[index] = true;
            return &*found;
        }
    }
    return nullptr;
}

std::string readRecordLines(std::FILE* file, const std::function<void(const record::Line&)>& take,
                            const std::function<void(long line)>& skip) {
    long lineNumber = 0;
    return core::readLines(
        file, longestLine, 0, [&](std::string_view line, bool tornFront, bool ended) {
            ++lineNumber;
            // A last line a crash cut short may be cut anywhere, even in a value: never read. A
            // line cut short elsewhere is marked as cut, or lacks what its event always holds.
            bool runOn = false;
            auto parsed =
                tornFront || !ended ? std::nullopt : record::parseLineAfterFragment(line, runOn);
            if (parsed && !record::isWhole(*parsed)) {
                parsed.reset();
                runOn = false;
            }
            if (!parsed || runOn) {
                skip(lineNumber); // the torn fragment, whatever was run on after it
            }
            if (parsed) {
                take(*parsed);
            }
        });
}

Coverage readCoverage(std::FILE* file, std::string source, const Period& period,
                      std::optional<sys_seconds> watchingUntil) {
    Coverage coverage;
    coverage.source = std::move(source);
    coverage.watchingUntil = watchingUntil;
    CoverageReader reader(coverage);
    QualityReader quality(*coverage.quality, period);
    coverage.problem = readRecordLines(
        file,
        [&](const record::Line& line) {
            reader.add(line);
            if (line.event == event::quality) {
                quality.add(line);
            }
        },
        [&](long line) {
            if (coverage.firstSkippedLines.size() < skippedLinesShown) {
                coverage.firstSkippedLines.push_back(line);
            }
            ++coverage.skippedLines;
        });
    reader.finish();
    quality.finish();
    return coverage;
}

} // namespace report
