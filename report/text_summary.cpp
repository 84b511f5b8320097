// The console summary: the headline figures, then one line per day and one per outage.
#include "headline.h"
#include "renderers.h"
#include "time_text.h"

namespace report {
namespace {

constexpr std::size_t labelWidth = 18;
constexpr std::size_t consoleWidth = 80;
// Wide enough for 10,000,000 checks and spans of years.
constexpr std::size_t spanWidth = 19;

// Right-aligned in width columns, and never closer than two blanks to what stands before it.
std::string column(const std::string& text, std::size_t width) {
    return std::string(text.size() + 2 > width ? 2 : width - text.size(), ' ') + text;
}

std::string leftColumn(const std::string& text, std::size_t width) {
    return text + std::string(text.size() < width ? width - text.size() : 1, ' ');
}

// Words filled into lines of the console's width.
std::string wrapped(const std::string& sentence) {
    std::string text;
    std::size_t lineLength = 0;
    for (std::size_t at = 0; at < sentence.size();) {
        std::size_t end = sentence.find(' ', at);
        end = end == std::string::npos ? sentence.size() : end;
        const std::size_t word = end - at;
        if (lineLength > 0 && lineLength + 1 + word > consoleWidth) {
            text += "\n";
            lineLength = 0;
        } else if (lineLength > 0) {
            text += " ";
            ++lineLength;
        }
        text.append(sentence, at, word);
        lineLength += word;
        at = end + 1;
    }
    return text + "\n";
}

// The connection's quality while it was up: a row per family and segment, the name's lookups,
// and the stretches the watcher found degraded.
std::string qualitySection(const Quality& quality) {
    std::string text = "\n";
    text += wrapped("Quality while up, from " + std::to_string(quality.windows) + " windows (" +
                    core::spanText(quality.measured) +
                    ") of the watcher's probes; round trips are the windows' medians, in ms:");
    text += "                median     90%      loss   jitter  worst hours\n";
    for (const GroupQuality& group : quality.groups) {
        if (group.sent == 0) {
            continue;
        }
        std::string hours;
        for (const auto& [hour, median] : worstHours(group, 3)) {
            hours.append(hours.empty() ? "" : ", ").append(std::to_string(hour));
            hours.append("h ").append(roundTripText(median));
        }
        const bool answered = !group.medians.empty();
        text += leftColumn(groupName(group), 14) +
                column(answered ? roundTripText(group.medians.quantile(0.5)) : "-", 8) +
                column(answered ? roundTripText(group.medians.quantile(0.9)) : "-", 8) +
                column(lossText(group.loss()), 10) +
                column(answered ? roundTripText(group.jitter()) : "-", 9) + "  " + hours + "\n";
    }
    if (quality.lookups > 0) {
        text += wrapped("The site's name resolved in " +
                        (quality.names.empty()
                             ? std::string("no lookup")
                             : roundTripText(quality.names.quantile(0.5)) + " ms (the median of " +
                                   std::to_string(quality.lookups) + " lookups") +
                        (quality.unresolved > 0
                             ? "; " + std::to_string(quality.unresolved) + " gave no address)."
                             : ")."));
    }
    if (!quality.stretches.empty()) {
        text += "Degraded, as the watcher judged each window, two or more in a row:\n";
        for (const DegradedStretch& stretch : quality.stretches) {
            const auto local = [&](std::chrono::sys_seconds at) {
                return LocalTime{(at + stretch.offset).time_since_epoch()};
            };
            const bool sameDay = std::chrono::floor<std::chrono::days>(local(stretch.from)) ==
                                 std::chrono::floor<std::chrono::days>(local(stretch.to));
            text += core::dateTime(local(stretch.from)).substr(0, 16) + " to " +
                    core::dateTime(local(stretch.to)).substr(sameDay ? 11 : 0, sameDay ? 5 : 16) +
                    column(core::spanText(stretch.to - stretch.from), 13) + "  " +
                    stretchText(stretch) + "\n";
        }
    }
    return text;
}

} // namespace

std::string textSummary(const Report& report, const std::string& source) {
    const Headline said = headline(report);
    std::string text = "Connectivity report for " + source + "\n";
    if (!report.about.title.empty()) {
        text += report.about.title + "\n";
    }
    if (report.watch && !report.watch->machine.empty()) {
        text += "Watched on " + report.watch->machine + "\n";
    }
    text += "\n";
    if (!said.lead.empty()) {
        text += wrapped(said.lead) + "\n";
    }
    if (report.failedChecks == 0) {
        text += report.period.isWhole() ? "No failed checks: the log records no outage.\n"
                                        : "No failed checks in the days selected.\n";
    }
    for (const Figure& figure : said.figures) {
        text += leftColumn(figure.label, labelWidth) + figure.value +
                (figure.detail.empty() ? "" : " (" + figure.detail + ")") + "\n";
    }
    for (const std::string& note : said.notes) {
        text.append("\n").append(wrapped(note));
    }
    if (report.failedChecks > 0) {
        text.append("\n").append(wrapped(said.times));
    }
    if (report.watch && report.watch->quality && report.watch->quality->any()) {
        text += qualitySection(*report.watch->quality);
    }
    if (report.outages.empty()) {
        return text;
    }
    const bool causes = report.watch && report.watch->problem.empty();
    if (causes) {
        text += "\nCauses (an outage counts under its first):\n";
        for (std::size_t i = 0; i < Cause::count; ++i) {
            const CauseTotal& total = report.watch->causes[i];
            if (total.outages > 0) {
                text += leftColumn(std::string(Cause::at(i).name()), 12) +
                        column(core::count(total.outages, "outage", "outages"), 14) +
                        column(core::spanText(total.span), spanWidth) + "\n";
                if (total.stoppedThere > 0) {
                    text += "    the path stopped after " + total.mostStoppedAfter + " in " +
                            std::to_string(total.stoppedThere) + " of them\n";
                }
            }
        }
    }

    constexpr std::size_t checksWidth = 17;
    constexpr std::size_t outagesWidth = 9;
    text += "\nPer day (an outage counts on the day it began):\n";
    text += leftColumn("Day", 14) + column("Failed checks", checksWidth) +
            column("Outages", outagesWidth) + column("Longest", spanWidth) + "\n";
    for (const auto& [day, summary] : report.days) {
        text += core::weekdayDate(day) + column(std::to_string(summary.checks), checksWidth) +
                column(std::to_string(summary.outages), outagesWidth) +
                column(summary.outages > 0 ? core::spanText(summary.longest) : "-", spanWidth) +
                "\n";
    }
    constexpr std::size_t timeWidth = 21;
    constexpr std::size_t outageChecksWidth = 10;
    text.append("\n")
        .append(leftColumn("Start", timeWidth))
        .append(leftColumn("End", timeWidth - 2))
        .append(column("Checks", outageChecksWidth))
        .append(column("Span", spanWidth))
        .append(causes ? "  Cause" : "")
        .append("\n");
    for (const Outage& outage : report.outages) {
        text += core::dateTime(outage.start) + "  " + core::dateTime(outage.end) +
                column(std::to_string(outage.checks), outageChecksWidth) +
                column(core::spanText(outage.span()), spanWidth) +
                (causes ? "  " + causeList(outage) : "") + "\n";
        // Where its path stopped, on a line of its own: the table stays in 80 columns.
        if (const std::string stop = causes ? stoppedAfter(outage) : ""; !stop.empty()) {
            text += "    the path stopped after " + stop + "\n";
        }
        if (outage.ongoing) {
            text += "    still going on: the watcher had not seen it end when its record ends\n";
        }
    }
    return text;
}

} // namespace report
