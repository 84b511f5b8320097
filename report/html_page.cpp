// The page to show a provider: figures, a day-by-day timeline in inline SVG, and the outage table.
#include <algorithm>

#include "renderers.h"
#include "time_text.h"

namespace report {
namespace {

constexpr long secondsPerDay = 86'400;
// A lone failed check has no span; its mark is drawn this wide (and with a hairline outline)
// so it stays visible at any width.
constexpr long narrowestMark = 240;

constexpr const char* style = R"(
:root { color-scheme: light; --mark: #c62828; --grid: #d9d9d9; --ink: #1f1f1f; --soft: #5f6368; }
* { box-sizing: border-box; }
body { font: 15px/1.45 system-ui, -apple-system, "Segoe UI", Roboto, Arial, sans-serif;
  color: var(--ink); max-width: 62rem; margin: 0 auto; padding: 1.2rem; }
h1 { font-size: 1.6rem; margin: 0 0 .2rem; }
h2 { font-size: 1.15rem; margin: 1.6rem 0 .5rem; }
.period, .note { color: var(--soft); margin: .2rem 0; }
.figures { display: grid; grid-template-columns: repeat(auto-fit, minmax(9.5rem, 1fr));
  gap: .6rem; margin: 1rem 0; }
.figures div { border: 1px solid var(--grid); border-radius: 6px; padding: .45rem .7rem; }
.figures dt { color: var(--soft); font-size: .8rem; }
.figures dd { margin: 0; font-size: 1.15rem; font-weight: 600; }
.row { display: grid; grid-template-columns: 9rem 1fr; align-items: center; gap: .5rem; }
.hours { position: relative; height: 1.2rem; font-size: .72rem; color: var(--soft); }
.hours span { position: absolute; transform: translateX(-50%); }
.hours span:first-child { transform: none; }
.hours span:last-child { transform: translateX(-100%); }
.day { margin-bottom: .3rem; }
.date { font-variant-numeric: tabular-nums; font-size: .85rem; white-space: nowrap; }
.track { display: block; width: 100%; height: 1.5rem; background: #fafafa; }
.track line { stroke: var(--grid); stroke-width: 1px; vector-effect: non-scaling-stroke; }
.track line.major { stroke: #b0b0b0; }
.track rect { fill: var(--mark); stroke: var(--mark); stroke-width: 1.5px;
  vector-effect: non-scaling-stroke; }
table { border-collapse: collapse; width: 100%; font-variant-numeric: tabular-nums; }
th, td { text-align: left; padding: .3rem .6rem; border-bottom: 1px solid var(--grid); }
td.n, th.n { text-align: right; }
code { font-size: .9em; }
@media (max-width: 40rem) {
  .row { grid-template-columns: 1fr; gap: 0; }
  .row .date:empty { display: none; }
  .hours span.minor { display: none; }
  .day { margin-bottom: .35rem; }
}
@page { size: A4; margin: 14mm; }
@media print {
  body { max-width: none; padding: 0; font-size: 10pt; }
  .day, tr { break-inside: avoid; }
  h2 { break-after: avoid; }
  .track, .track rect { print-color-adjust: exact; -webkit-print-color-adjust: exact; }
}
)";

// Appends each piece in turn, without the temporaries that a chain of + would make.
template <typename... Pieces> void append(std::string& out, const Pieces&... pieces) {
    (out.append(pieces), ...);
}

std::string escaped(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string figure(const std::string& label, const std::string& value) {
    return "<div><dt>" + label + "</dt><dd>" + value + "</dd></div>\n";
}

std::string hourLabels() {
    std::string labels = "<div class=\"row\"><div class=\"date\"></div><div class=\"hours\">";
    for (int hour = 0; hour <= 24; ++hour) {
        append(labels, "<span", hour % 3 != 0 ? " class=\"minor\"" : "",
               " style=\"left:", std::to_string(hour * 100.0 / 24).substr(0, 6), "%\">",
               hour < 10 ? "0" : "", std::to_string(hour), "</span>");
    }
    return labels + "</div></div>\n";
}

// One day's row: gridlines each hour, and a mark for each part of an outage that fell on it.
std::string dayRow(std::chrono::local_days day, const std::vector<Outage>& outages) {
    std::string row = "<div class=\"row day\"><div class=\"date\">" + weekdayDate(day) +
                      "</div><svg class=\"track\" viewBox=\"0 0 86400 100\" "
                      "preserveAspectRatio=\"none\" role=\"img\" aria-label=\"Outages on " +
                      isoDate(day) + "\">";
    for (int hour = 1; hour < 24; ++hour) {
        const std::string x = std::to_string(hour * 3600);
        append(row, "<line", hour % 6 == 0 ? " class=\"major\"" : "", " x1=\"", x,
               "\" y1=\"0\" x2=\"", x, "\" y2=\"100\"/>");
    }
    const LocalTime dayStart{day};
    const LocalTime dayEnd = dayStart + std::chrono::days{1};
    for (const Outage& outage : outages) {
        if (outage.end < dayStart || outage.start >= dayEnd) {
            continue;
        }
        const long from = (std::max(outage.start, dayStart) - dayStart).count();
        const long to = (std::min(outage.end, dayEnd) - dayStart).count();
        const long x = std::min(from, secondsPerDay - narrowestMark);
        const long width = std::max(to - from, narrowestMark);
        append(row, "<rect x=\"", std::to_string(x), "\" y=\"18\" width=\"", std::to_string(width),
               "\" height=\"64\"><title>", dateTime(outage.start), " to ", dateTime(outage.end),
               ": ", count(outage.checks, "failed check", "failed checks"), ", span ",
               spanText(outage.span()), "</title></rect>");
    }
    return row + "</svg></div>\n";
}

} // namespace

std::string htmlPage(const Report& report, const std::string& source) {
    const std::string period =
        report.earliest
            ? isoDate(std::chrono::floor<std::chrono::days>(*report.earliest)) + " to " +
                  isoDate(std::chrono::floor<std::chrono::days>(*report.latest))
            : std::string("no outages");
    std::string page = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\"/>\n"
                       "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\"/>\n"
                       "<title>Internet outages, " +
                       period + "</title>\n<style>" + style + "</style>\n</head>\n<body>\n";
    page += "<h1>Internet outages</h1>\n<p class=\"period\">";
    page += report.earliest ? "From " + dateTime(*report.earliest) + " to " +
                                  dateTime(*report.latest) + ", local time. "
                            : std::string();
    page += "Recorded by the connectivity monitor in <code>" + escaped(source) + "</code>.</p>\n";

    page += "<dl class=\"figures\">\n";
    page += figure("Failed checks", std::to_string(report.failedChecks));
    if (report.untimedChecks > 0) {
        page += figure("Without a time", std::to_string(report.untimedChecks));
    }
    page += figure("Outages", std::to_string(report.outages.size()));
    if (const Outage* longest = report.longest()) {
        page += figure("Longest outage", spanText(longest->span()));
        page += figure("Total span", spanText(report.totalSpan()));
    }
    if (report.skippedLines > 0) {
        page += figure("Lines skipped", std::to_string(report.skippedLines));
    }
    page += "</dl>\n";
    if (report.outages.empty()) {
        page += "<p>No outage is recorded in this log.</p>\n</body>\n</html>\n";
        return page;
    }
    page += "<p class=\"note\">A failed check is one that could not reach the Internet; checks "
            "at most " +
            std::to_string(report.gap.count()) +
            " s apart form one outage. An outage's span runs from its first failed check to "
            "its last, so the outage itself lasted at least that long.</p>\n";

    page += "<h2>Timeline</h2>\n<div class=\"timeline\">\n" + hourLabels();
    for (const auto& entry : report.days) {
        page += dayRow(entry.first, report.outages);
    }
    page += "</div>\n";

    page += "<h2>Outages</h2>\n<table>\n<thead><tr><th>Start</th><th>End</th>"
            "<th class=\"n\">Failed checks</th><th class=\"n\">Span</th></tr></thead>\n<tbody>\n";
    for (const Outage& outage : report.outages) {
        page += "<tr><td>" + dateTime(outage.start) + "</td><td>" + dateTime(outage.end) +
                "</td><td class=\"n\">" + std::to_string(outage.checks) + "</td><td class=\"n\">" +
                spanText(outage.span()) + "</td></tr>\n";
    }
    page += "</tbody>\n</table>\n</body>\n</html>\n";
    return page;
}

} // namespace report
