// The headline figures and the sentences that explain them.
#include "headline.h"

#include "time_text.h"

namespace report {
namespace {

std::string dayRange(std::chrono::local_days from, std::chrono::local_days to) {
    return from == to ? isoDate(from) : isoDate(from) + " to " + isoDate(to);
}

std::string periodTitle(const Report& report) {
    using std::chrono::floor;
    const Period& period = report.period;
    if (period.since && period.until) {
        return dayRange(*period.since, *period.until);
    }
    if (!report.earliest) {
        return period.since   ? "from " + isoDate(*period.since)
               : period.until ? "until " + isoDate(*period.until)
                              : "no outages";
    }
    return dayRange(period.since.value_or(floor<std::chrono::days>(*report.earliest)),
                    period.until.value_or(floor<std::chrono::days>(*report.latest)));
}

std::string lineList(const std::vector<long>& lines, long total) {
    std::string text = lines.size() == 1 ? "line " : "lines ";
    for (std::size_t i = 0; i < lines.size(); ++i) {
        text += (i > 0 ? ", " : "") + std::to_string(lines[i]);
    }
    return text + (total > static_cast<long>(lines.size()) ? ", ..." : "");
}

} // namespace

Headline headline(const Report& report) {
    Headline said{periodTitle(report), {}, {}};
    std::vector<Figure>& figures = said.figures;
    if (!report.period.isWhole()) {
        figures.push_back({"Selected", periodTitle(report), "outages that began on these days"});
    }
    if (report.earliest) {
        figures.push_back({"Period", dateTime(*report.earliest) + " to " + dateTime(*report.latest),
                           "local time"});
    }
    figures.push_back({"Failed checks", std::to_string(report.failedChecks),
                       report.untimedChecks > 0
                           ? std::to_string(report.untimedChecks) + " of them without a time"
                           : ""});
    figures.push_back(
        {"Outages", std::to_string(report.outages.size()),
         "checks at most " + std::to_string(report.gap.count()) + " s apart are one outage"});
    if (const Outage* longest = report.longest()) {
        figures.push_back(
            {"Longest outage", spanText(longest->span()), "from " + dateTime(longest->start)});
        figures.push_back({"Total span", spanText(report.totalSpan()), ""});
    }
    if (report.skippedLines > 0) {
        figures.push_back({"Skipped", count(report.skippedLines, "line", "lines"),
                           "not in the monitor's form: " +
                               lineList(report.firstSkippedLines, report.skippedLines)});
    }
    if (report.timeWentBackwards > 0) {
        figures.push_back({"Time went back", count(report.timeWentBackwards, "time", "times"),
                           "first at line " + std::to_string(report.firstBackwardsLine)});
        said.notes.push_back(
            "The log's time went backwards: two monitors writing one log, or a clock set back. "
            "A check earlier than the one before it starts a new outage; the total span counts "
            "overlapping outages once.");
    }
    if (!report.outages.empty()) {
        said.notes.push_back(
            "A failed check is one that could not reach the Internet. An outage's span runs "
            "from its first failed check to its last, so the outage itself lasted at least "
            "that long (checks come about every 30 s or more).");
    }
    return said;
}

} // namespace report
