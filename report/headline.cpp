// The headline figures and the sentences that explain them.
#include "headline.h"

#include "time_text.h"

namespace report {
namespace {

std::string dayRange(std::chrono::local_days from, std::chrono::local_days to) {
    return from == to ? core::isoDate(from) : core::isoDate(from) + " to " + core::isoDate(to);
}

// The period the figures are of: the watched one where the record says, else the log's first to
// last failed check.
std::optional<std::pair<LocalTime, LocalTime>> shownPeriod(const Report& report) {
    if (report.watch && report.watch->extent) {
        return std::pair{report.watch->extent->from, report.watch->extent->to};
    }
    if (report.earliest) {
        return std::pair{*report.earliest, *report.latest};
    }
    return std::nullopt;
}

std::string periodTitle(const Report& report) {
    using std::chrono::floor;
    const Period& period = report.period;
    if (period.since && period.until) {
        return dayRange(*period.since, *period.until);
    }
    const auto shown = shownPeriod(report);
    if (!shown) {
        return period.since   ? "from " + core::isoDate(*period.since)
               : period.until ? "until " + core::isoDate(*period.until)
                              : "no outages";
    }
    return dayRange(period.since.value_or(floor<std::chrono::days>(shown->first)),
                    period.until.value_or(floor<std::chrono::days>(shown->second)));
}

std::string timesText(const Report& report) {
    if (!report.watch || report.watch->offsets.empty()) {
        return "Times are the local time of the computer the monitor ran on; its log does not say "
               "their offset from UTC.";
    }
    const auto& offsets = report.watch->offsets;
    std::string text = "Times are local, UTC" + core::offsetText(offsets.front().second);
    constexpr std::size_t changesListed = 4;
    if (offsets.size() - 1 > changesListed) {
        return text + " at the start; the offset changes " +
               core::count(static_cast<long>(offsets.size() - 1), "time", "times") +
               " in the period, and each outage's times carry their own.";
    }
    for (std::size_t i = 1; i < offsets.size(); ++i) {
        text.append(", then UTC")
            .append(core::offsetText(offsets[i].second))
            .append(" from ")
            .append(core::dateTime(offsets[i].first));
    }
    return text + ".";
}

std::string lineList(const std::vector<long>& lines, long total) {
    std::string text = lines.size() == 1 ? "line " : "lines ";
    for (std::size_t i = 0; i < lines.size(); ++i) {
        text += (i > 0 ? ", " : "") + std::to_string(lines[i]);
    }
    return text + (total > static_cast<long>(lines.size()) ? ", ..." : "");
}

// What the watcher's record says of the period: watched time and availability within it.
void watchedLead(const WatchFigures& watch, Headline& said) {
    if (!watch.problem.empty()) {
        said.notes.push_back("The watcher's record " + watch.source + " could not be read (" +
                             watch.problem + "): the figures are the log's alone.");
        return;
    }
    const auto share = [](std::chrono::seconds part, std::chrono::seconds whole) {
        return whole.count() > 0
                   ? static_cast<double>(part.count()) / static_cast<double>(whole.count())
                   : 0.0;
    };
    said.lead = "Watched " + core::hoursText(watch.watched) + " of " +
                core::hoursText(watch.period) + " (" +
                core::percentText(share(watch.watched, watch.period), 1, false) + "); ";
    said.lead +=
        watch.watched.count() > 0
            ? "available " + core::percentText(1 - share(watch.mostDown, watch.watched), 2, false) +
                  " to " + core::percentText(1 - share(watch.leastDown, watch.watched), 2, true) +
                  " of the watched time"
            : "no watched time to measure availability in";
    if (watch.skippedLines > 0) {
        said.figures.push_back(
            {"Record skipped", core::count(watch.skippedLines, "line", "lines"),
             "not in the record's form: " + lineList(watch.firstSkippedLines, watch.skippedLines)});
    }
    said.notes.push_back(
        "Watched time is when the watcher ran the monitor and the log could be written; "
        "availability counts that time alone. Its higher figure takes each outage to have "
        "lasted its span; the lower one adds on each side " +
        std::to_string(watch.slack.count()) +
        " s, the most the monitor can take between a success and a failure (its pause and "
        "its check). An outage counts under its first cause; one that no watcher saw is "
        "unwatched.");
}

} // namespace

Headline headline(const Report& report) {
    Headline said{periodTitle(report), "", {}, {}, timesText(report)};
    std::vector<Figure>& figures = said.figures;
    if (!report.period.isWhole()) {
        figures.push_back({"Selected", periodTitle(report), "outages that began on these days"});
    }
    if (const auto shown = shownPeriod(report)) {
        const bool watched = report.watch && report.watch->extent;
        figures.push_back({"Period",
                           core::dateTime(shown->first) + " to " + core::dateTime(shown->second),
                           watched ? "the record's span" : "the log's span"});
    }
    figures.push_back({"Failed checks", std::to_string(report.failedChecks),
                       report.untimedChecks > 0
                           ? std::to_string(report.untimedChecks) + " of them without a time"
                           : ""});
    figures.push_back(
        {"Outages", std::to_string(report.outages.size()),
         "checks at most " + std::to_string(report.gap.count()) + " s apart are one outage"});
    if (const Outage* longest = report.longest()) {
        figures.push_back({"Longest outage", core::spanText(longest->span()),
                           "from " + core::dateTime(longest->start)});
        figures.push_back({"Total span", core::spanText(report.totalSpan()), ""});
    }
    if (report.skippedLines > 0) {
        figures.push_back({"Skipped", core::count(report.skippedLines, "line", "lines"),
                           "not in the monitor's form: " +
                               lineList(report.firstSkippedLines, report.skippedLines)});
    }
    if (report.timeWentBackwards > 0) {
        figures.push_back({"Time went back", core::count(report.timeWentBackwards, "time", "times"),
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
    if (report.watch) {
        watchedLead(*report.watch, said);
    }
    return said;
}

} // namespace report
