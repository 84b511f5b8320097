// Watched time, the bounds of downtime within it, and the totals per cause, all in UTC.
#include "availability.h"

#include <algorithm>
#include <map>

#include "report.h"

namespace report {
namespace {

using namespace std::chrono;
using Interval = std::pair<sys_seconds, sys_seconds>;

// Sorted, and each moment once.
std::vector<Interval> merged(std::vector<Interval> intervals) {
    std::sort(intervals.begin(), intervals.end());
    std::vector<Interval> union_;
    for (const Interval& interval : intervals) {
        if (!union_.empty() && interval.first <= union_.back().second) {
            union_.back().second = std::max(union_.back().second, interval.second);
        } else {
            union_.push_back(interval);
        }
    }
    return union_;
}

// How much of the intervals (sorted, not overlapping) the watched spans hold within [start, end].
seconds watchedPart(const std::vector<Interval>& intervals, const std::vector<WatchSpan>& watched,
                    sys_seconds start, sys_seconds end) {
    seconds total{0};
    std::size_t next = 0;
    for (const Interval& interval : intervals) {
        while (next < watched.size() && watched[next].to.utc <= interval.first) {
            ++next;
        }
        for (std::size_t i = next; i < watched.size() && watched[i].from.utc < interval.second;
             ++i) {
            const sys_seconds from = std::max({interval.first, watched[i].from.utc, start});
            const sys_seconds to = std::min({interval.second, watched[i].to.utc, end});
            total += to > from ? to - from : seconds{0};
        }
    }
    return total;
}

// The spans in [start, end], in the local time their stamps give.
std::vector<LocalSpan> localSpans(const std::vector<WatchSpan>& spans, sys_seconds start,
                                  sys_seconds end) {
    std::vector<LocalSpan> local;
    for (const WatchSpan& span : spans) {
        const sys_seconds from = std::max(span.from.utc, start);
        const sys_seconds to = std::min(span.to.utc, end);
        if (to > from) {
            local.push_back({LocalTime{(from + span.from.offset).time_since_epoch()},
                             LocalTime{(to + span.to.offset).time_since_epoch()}});
        }
    }
    return local;
}

} // namespace

Cause primaryCause(const Outage& outage) {
    const auto definite = std::find_if(outage.causes.begin(), outage.causes.end(), [](Verdict v) {
        return v != Verdict::cleared && v != Verdict::unknown;
    });
    if (definite != outage.causes.end()) {
        return *definite;
    }
    if (!outage.causes.empty()) {
        return outage.causes.front();
    }
    return outage.unwatchedChecks == outage.checks ? Cause::unwatched() : Verdict::unknown;
}

std::string causeList(const Outage& outage) {
    if (outage.causes.empty()) {
        return std::string(primaryCause(outage).name());
    }
    std::string list;
    for (const Verdict verdict : outage.causes) {
        list.append(list.empty() ? "" : ", then ").append(core::wordOf(verdict));
    }
    return list;
}

std::string stoppedAfter(const Outage& outage) {
    const Cause counted = primaryCause(outage);
    for (std::size_t i = 0; i < outage.causes.size() && i < outage.stops.size(); ++i) {
        if (Cause(outage.causes[i]) == counted) {
            return outage.stops[i];
        }
    }
    return {};
}

std::string causeAndStop(const Outage& outage) {
    const std::string stop = stoppedAfter(outage);
    return causeList(outage) + (stop.empty() ? "" : "; the path stopped after " + stop);
}

WatchFigures watchFigures(const Coverage& coverage, const Report& report) {
    WatchFigures figures;
    figures.source = coverage.source;
    figures.problem = coverage.problem;
    figures.skippedLines = coverage.skippedLines;
    figures.firstSkippedLines = coverage.firstSkippedLines;
    figures.slack = coverage.slack;
    figures.quality = coverage.quality;
    figures.machine = coverage.machine;
    std::array<std::map<std::string, long>, Cause::count> stops;
    for (const Outage& outage : report.outages) {
        const std::size_t cause = primaryCause(outage).index();
        CauseTotal& total = figures.causes[cause];
        ++total.outages;
        total.span += outage.span();
        if (const std::string stop = stoppedAfter(outage); !stop.empty()) {
            const long count = ++stops[cause][stop];
            if (count > total.stoppedThere) {
                total.mostStoppedAfter = stop;
                total.stoppedThere = count;
            }
        }
    }
    if (!figures.problem.empty()) {
        return figures;
    }

    // The period: from the first thing either file knows to the last, or the days selected up to
    // the last thing known (not the future).
    sys_seconds first = sys_seconds::max();
    sys_seconds last = sys_seconds::min();
    if (coverage.first) {
        first = coverage.first->utc;
        last = coverage.last->utc;
    }
    for (const Outage& outage : report.outages) {
        first = std::min(first, outage.startUtc.value_or(coverage.utcOf(outage.start)));
        last = std::max(last, outage.endUtc.value_or(coverage.utcOf(outage.end)));
    }
    if (first > last) {
        return figures; // an empty record and no outage: nothing to measure
    }
    const Period& period = report.period;
    const sys_seconds start = period.since ? coverage.utcOf(LocalTime{*period.since}) : first;
    sys_seconds end = last;
    if (period.until) {
        end = std::min(end, coverage.utcOf(LocalTime{*period.until + days{1}}));
    }
    end = std::max(end, start);
    figures.period = end - start;
    figures.extent = LocalSpan{LocalTime{(start + coverage.offsetAt(start)).time_since_epoch()},
                               LocalTime{(end + coverage.offsetAt(end)).time_since_epoch()}};

    const std::vector<Interval> whole{{start, end}};
    figures.watched = watchedPart(whole, coverage.watched, start, end);
    std::vector<Interval> spans;
    std::vector<Interval> widened;
    for (const Outage& outage : report.outages) {
        const sys_seconds from = outage.startUtc.value_or(coverage.utcOf(outage.start));
        const sys_seconds to = outage.endUtc.value_or(coverage.utcOf(outage.end));
        spans.emplace_back(from, std::max(from, to));
        widened.emplace_back(from - coverage.slack, std::max(from, to) + coverage.slack);
    }
    figures.leastDown = watchedPart(merged(spans), coverage.watched, start, end);
    figures.mostDown = watchedPart(merged(widened), coverage.watched, start, end);
    figures.watchedSpans = localSpans(coverage.watched, start, end);
    figures.offsets.emplace_back(figures.extent->from, coverage.offsetAt(start));
    for (const OffsetRun& run : coverage.offsets) {
        if (run.from > start && run.from <= end && run.offset != figures.offsets.back().second) {
            figures.offsets.emplace_back(LocalTime{(run.from + run.offset).time_since_epoch()},
                                         run.offset);
        }
    }
    figures.asleepSpans = localSpans(coverage.asleep, start, end);
    return figures;
}

} // namespace report
