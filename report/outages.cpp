// Outages and per-day figures, kept as lines stream past: memory grows with outages and days.
#include "outages.h"

#include <algorithm>

namespace report {

using std::chrono::floor;
using std::chrono::local_days;

std::chrono::seconds Report::totalSpan() const {
    std::chrono::seconds total{0};
    for (const Outage& outage : outages) {
        total += outage.span();
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
        ++report_.failedChecks;
        ++report_.untimedChecks;
        return;
    case LineVerdict::Kind::timed:
        break;
    }
    const LocalTime time = verdict.time;
    ++report_.failedChecks;
    const local_days day = floor<std::chrono::days>(time);
    if (day != today_ || todaysFigures_ == nullptr) { // consecutive lines mostly share a day
        today_ = day;
        todaysFigures_ = &report_.days[day];
    }
    ++todaysFigures_->checks;
    report_.earliest = std::min(report_.earliest.value_or(time), time);
    report_.latest = std::max(report_.latest.value_or(time), time);
    if (current_ && time >= current_->end && time - current_->end <= report_.gap) {
        current_->end = time;
        ++current_->checks;
        return;
    }
    closeOutage();
    current_ = Outage{time, time, 1};
}

void ReportBuilder::closeOutage() {
    if (!current_) {
        return;
    }
    const local_days first = floor<std::chrono::days>(current_->start);
    DaySummary& startDay = report_.days[first];
    ++startDay.outages;
    startDay.longest = std::max(startDay.longest, current_->span());
    // An outage past midnight shows on each day it touched.
    for (local_days day = first + std::chrono::days{1};
         day <= floor<std::chrono::days>(current_->end); day += std::chrono::days{1}) {
        report_.days.try_emplace(day);
    }
    report_.outages.push_back(*current_);
    current_.reset();
}

Report ReportBuilder::finish() {
    closeOutage();
    return std::move(report_);
}

} // namespace report
