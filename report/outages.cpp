// Outages and per-day figures, kept as lines stream past: memory grows with outages and days.
#include "report.h"

#include <algorithm>

namespace report {

using std::chrono::floor;
using std::chrono::local_days;
using std::chrono::sys_seconds;

std::chrono::seconds Report::totalSpan() const {
    // Outages overlap only where time went backwards; then they are merged in start order.
    std::vector<std::pair<LocalTime, LocalTime>> spans;
    spans.reserve(outages.size());
    for (const Outage& outage : outages) {
        spans.emplace_back(outage.start, outage.end);
    }
    if (!std::is_sorted(spans.begin(), spans.end())) {
        std::sort(spans.begin(), spans.end());
    }
    std::chrono::seconds total{0};
    std::optional<LocalTime> coveredTo;
    for (const auto& [start, end] : spans) {
        const LocalTime from = coveredTo ? std::max(start, *coveredTo) : start;
        if (end > from) {
            total += end - from;
        }
        coveredTo = coveredTo ? std::max(*coveredTo, end) : end;
    }
    return total;
}

const Outage* Report::longest() const {
    const auto found =
        std::max_element(outages.begin(), outages.end(),
                         [](const Outage& a, const Outage& b) { return a.span() < b.span(); });
    return found == outages.end() ? nullptr : &*found;
}

void ReportBuilder::add(const LineVerdict& verdict, long lineNumber) {
    switch (verdict.kind) {
    case LineVerdict::Kind::notARecord:
        if (report_.firstSkippedLines.size() < skippedLinesShown) {
            report_.firstSkippedLines.push_back(lineNumber);
        }
        ++report_.skippedLines;
        return;
    case LineVerdict::Kind::untimed:
        ++report_.monitorLines;
        // A check without a time belongs to no day, so to no period narrower than the whole.
        if (report_.period.isWhole()) {
            ++report_.failedChecks;
            ++report_.untimedChecks;
        }
        return;
    case LineVerdict::Kind::timed:
        ++report_.monitorLines;
        break;
    }
    const LocalTime time = verdict.time;
    if (previous_ && time < *previous_ && report_.timeWentBackwards++ == 0) {
        report_.firstBackwardsLine = lineNumber;
    }
    previous_ = time;
    if (!current_ || time < current_->end || time - current_->end > report_.gap) {
        closeOutage();
        current_ = Outage{time, time, 0, {}, 0, {}, {}, {}, {}, false};
    }
    current_->end = time;
    ++current_->checks;
    if (coverage_ != nullptr) {
        // Each check no earlier than the one before it, and never further from the first than
        // the log's times say: in an hour that is repeated or skipped, the outage keeps its order
        // and its downtime stays within its span.
        sys_seconds utc = coverage_->utcOf(time, current_->endUtc);
        if (current_->startUtc) {
            utc = std::min(utc, *current_->startUtc + current_->span());
        }
        current_->startUtc = current_->startUtc.value_or(utc);
        current_->endUtc = utc;
        if (const Diagnosed* diagnosed = diagnoses_->of(time)) {
            auto& causes = current_->causes;
            const auto known = std::find(causes.begin(), causes.end(), diagnosed->verdict);
            if (known == causes.end()) {
                causes.push_back(diagnosed->verdict);
                current_->stops.push_back(diagnosed->stoppedAfter);
                current_->evidence.push_back(diagnosed->evidence);
            } else if (std::string& stop = current_->stops[known - causes.begin()]; stop.empty()) {
                stop = diagnosed->stoppedAfter;
            }
        }
        current_->unwatchedChecks += coverage_->watchedAt(utc) ? 0 : 1;
    }
    const local_days day = floor<std::chrono::days>(time);
    if (currentChecksPerDay_.empty() || currentChecksPerDay_.back().first != day) {
        currentChecksPerDay_.emplace_back(day, 0);
    }
    ++currentChecksPerDay_.back().second;
}

void ReportBuilder::closeOutage() {
    if (!current_) {
        return;
    }
    const local_days first = floor<std::chrono::days>(current_->start);
    if (report_.period.contains(first)) {
        report_.failedChecks += current_->checks;
        for (const auto& [day, checks] : currentChecksPerDay_) {
            report_.days[day].checks += checks;
        }
        DaySummary& startDay = report_.days[first];
        ++startDay.outages;
        startDay.longest = std::max(startDay.longest, current_->span());
        report_.earliest = std::min(report_.earliest.value_or(current_->start), current_->start);
        report_.latest = std::max(report_.latest.value_or(current_->end), current_->end);
        report_.outages.push_back(*current_);
    }
    currentChecksPerDay_.clear();
    current_.reset();
}

Report ReportBuilder::finish() {
    closeOutage();
    // The outage the watcher still saw going on at the record's end: the latest one, if it holds
    // that outage's first check or came after it.
    const auto ongoing = coverage_ != nullptr && coverage_->ongoing
                             ? core::timeOfText(coverage_->ongoing->firstCheck)
                             : std::nullopt;
    const auto latest =
        std::max_element(report_.outages.begin(), report_.outages.end(),
                         [](const Outage& a, const Outage& b) { return a.end < b.end; });
    if (ongoing && latest != report_.outages.end() && latest->end >= *ongoing) {
        latest->ongoing = true;
    }
    return std::move(report_);
}

} // namespace report
