// The console summary: the headline figures, then one line per day and one per outage.
#include <cstdio>

#include "renderers.h"
#include "time_text.h"

namespace report {
namespace {

std::string padded(const std::string& text, int width) {
    std::array<char, 128> line{};
    std::snprintf(line.data(), line.size(), "%*s", width, text.c_str());
    return line.data();
}

std::string figure(const char* label, const std::string& value) {
    return std::string(label) + std::string(18 - std::char_traits<char>::length(label), ' ') +
           value + "\n";
}

std::string skippedLines(const Report& report) {
    std::string text = count(report.skippedLines, "line", "lines") + " not in the monitor's form (";
    text += report.skippedLines == 1 ? "line " : "lines ";
    for (std::size_t i = 0; i < report.firstSkippedLines.size(); ++i) {
        text += (i > 0 ? ", " : "") + std::to_string(report.firstSkippedLines[i]);
    }
    return text + (report.skippedLines > static_cast<long>(report.firstSkippedLines.size())
                       ? ", ...)"
                       : ")");
}

} // namespace

std::string textSummary(const Report& report, const std::string& source) {
    std::string text = "Connectivity report for " + source + "\n\n";
    if (report.failedChecks == 0) {
        text += "No failed checks: the log records no outage.\n";
        if (report.skippedLines > 0) {
            text += figure("Skipped", skippedLines(report));
        }
        return text;
    }
    if (report.earliest) {
        text += figure("Period", dateTime(*report.earliest) + " to " + dateTime(*report.latest) +
                                     " (local time)");
    }
    std::string checks = std::to_string(report.failedChecks);
    if (report.untimedChecks > 0) {
        checks += ", " + std::to_string(report.untimedChecks) + " of them without a time";
    }
    text += figure("Failed checks", checks);
    text += figure("Outages", std::to_string(report.outages.size()) + " (checks at most " +
                                  std::to_string(report.gap.count()) + " s apart are one outage)");
    if (const Outage* longest = report.longest()) {
        text += figure("Longest outage",
                       spanText(longest->span()) + ", from " + dateTime(longest->start));
        text += figure("Total span", spanText(report.totalSpan()));
    }
    if (report.skippedLines > 0) {
        text += figure("Skipped", skippedLines(report));
    }
    if (report.outages.empty()) {
        return text;
    }
    text += "\nAn outage's span runs from its first failed check to its last, so the outage\n"
            "itself lasted at least that long (checks come about every 30 s or more).\n";

    text += "\nPer day (an outage counts on the day it began):\n";
    text += "Day              Failed checks  Outages      Longest\n";
    for (const auto& [day, summary] : report.days) {
        text += weekdayDate(day) + padded(std::to_string(summary.checks), 17) +
                padded(std::to_string(summary.outages), 9) +
                padded(summary.outages > 0 ? spanText(summary.longest) : "-", 13) + "\n";
    }
    text += "\nStart                End                   Checks         Span\n";
    for (const Outage& outage : report.outages) {
        text += dateTime(outage.start) + "  " + dateTime(outage.end) +
                padded(std::to_string(outage.checks), 9) + padded(spanText(outage.span()), 13) +
                "\n";
    }
    return text;
}

} // namespace report
