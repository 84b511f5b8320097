// The page to show a provider: figures, a day-by-day timeline in inline SVG, and the outage table.
#include <algorithm>

#include "headline.h"
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
.figures dd.detail { font-size: .8rem; font-weight: normal; color: var(--soft); }
.row { display: grid; grid-template-columns: 9rem 1fr; align-items: center; gap: .5rem; }
.hours { position: relative; height: 1.2rem; font-size: .72rem; color: var(--soft); }
.hours span { position: absolute; transform: translateX(-50%); }
.hours span:first-child { transform: none; }
.hours span:last-child { transform: translateX(-100%); }
/* Rows off the screen are laid out only when scrolled to: ten years of days stay quick. */
.day { margin-bottom: .3rem; content-visibility: auto; contain-intrinsic-size: auto 1.5rem; }
.date { font-variant-numeric: tabular-nums; font-size: .85rem; white-space: nowrap; }
/* The hour grid, drawn by the stylesheet once for every row: a line each hour, darker each 6. */
.track { display: block; width: 100%; height: 1.5rem; background:
  repeating-linear-gradient(to right, transparent 0 calc(25% - 1px), #b0b0b0 calc(25% - 1px) 25%),
  repeating-linear-gradient(to right, transparent 0 calc(100% / 24 - 1px),
    var(--grid) calc(100% / 24 - 1px) calc(100% / 24)), #fafafa; }
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

std::string hourLabels() {
    std::string labels = "<div class=\"row\"><div class=\"date\"></div><div class=\"hours\">";
    for (int hour = 0; hour <= 24; ++hour) {
        append(labels, "<span", hour % 3 != 0 ? " class=\"minor\"" : "",
               " style=\"left:", std::to_string(hour * 100.0 / 24).substr(0, 6), "%\">",
               hour < 10 ? "0" : "", std::to_string(hour), "</span>");
    }
    return labels + "</div></div>\n";
}

void appendMark(std::string& page, long from, long to, const std::string& title) {
    const long x = std::min(from, secondsPerDay - narrowestMark);
    const long width = std::max(to - from, narrowestMark);
    append(page, "<rect x=\"", std::to_string(x), "\" y=\"18\" width=\"", std::to_string(width),
           "\" height=\"64\"><title>", title, "</title></rect>");
}

void openRow(std::string& page, const std::string& date, const std::string& label) {
    append(page, "<div class=\"row day\"><div class=\"date\">", date,
           "</div><svg class=\"track\" viewBox=\"0 0 86400 100\" preserveAspectRatio=\"none\" "
           "role=\"img\" aria-label=\"",
           label, "\">");
}

// One day's row: a mark for each part of an outage that fell on it.
void appendDayRow(std::string& page, std::chrono::local_days day,
                  const std::vector<const Outage*>& outages) {
    openRow(page, weekdayDate(day), "Outages on " + isoDate(day));
    const LocalTime dayStart{day};
    const LocalTime dayEnd = dayStart + std::chrono::days{1};
    for (const Outage* outage : outages) {
        appendMark(page, (std::max(outage->start, dayStart) - dayStart).count(),
                   (std::min(outage->end, dayEnd) - dayStart).count(),
                   dateTime(outage->start) + " to " + dateTime(outage->end) + ": " +
                       count(outage->checks, "failed check", "failed checks") + ", span " +
                       spanText(outage->span()));
    }
    page += "</svg></div>\n";
}

// Days without a check that lie wholly inside an outage share one row, so the page grows with
// the log's lines, not with the length of its outages.
void appendQuietDays(std::string& page, std::chrono::local_days first,
                     std::chrono::local_days last) {
    const std::string days = count((last - first).count() + 1, "day", "days");
    openRow(page, isoDate(first) + (first == last ? "" : " to<br/>" + isoDate(last)),
            days + " inside one outage");
    appendMark(page, 0, secondsPerDay, days + " inside one outage, with no check recorded");
    page += "</svg></div>\n";
}

// One row per day with a failed check, each outage marked on every day it touched. One pass:
// outages are taken in the order they began and kept while they last.
void appendTimeline(std::string& page, const Report& report) {
    using std::chrono::floor;
    std::vector<const Outage*> byStart;
    byStart.reserve(report.outages.size());
    for (const Outage& outage : report.outages) {
        byStart.push_back(&outage);
    }
    const auto earlier = [](const Outage* a, const Outage* b) { return a->start < b->start; };
    if (!std::is_sorted(byStart.begin(), byStart.end(), earlier)) { // time went backwards
        std::stable_sort(byStart.begin(), byStart.end(), earlier);
    }
    page += "<h2>Timeline</h2>\n<div class=\"timeline\">\n" + hourLabels();
    std::vector<const Outage*> lasting;
    std::size_t next = 0;
    for (auto entry = report.days.begin(); entry != report.days.end(); ++entry) {
        const std::chrono::local_days day = entry->first;
        while (next < byStart.size() && floor<std::chrono::days>(byStart[next]->start) <= day) {
            lasting.push_back(byStart[next++]);
        }
        std::erase_if(lasting, [day](const Outage* outage) {
            return floor<std::chrono::days>(outage->end) < day;
        });
        appendDayRow(page, day, lasting);
        const auto following = std::next(entry);
        const auto goesOn = [day](const Outage* o) {
            return floor<std::chrono::days>(o->end) > day;
        };
        if (following != report.days.end() && following->first - day > std::chrono::days{1} &&
            std::any_of(lasting.begin(), lasting.end(), goesOn)) {
            appendQuietDays(page, day + std::chrono::days{1},
                            following->first - std::chrono::days{1});
        }
    }
    page += "</div>\n";
}

} // namespace

std::string htmlPage(const Report& report, const std::string& source) {
    const Headline said = headline(report);
    std::string page = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\"/>\n"
                       "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\"/>\n"
                       "<title>Internet outages, " +
                       escaped(said.title) + "</title>\n<style>" + style +
                       "</style>\n</head>\n<body>\n";
    append(page, "<h1>Internet outages</h1>\n<p class=\"period\">",
           "Recorded by the connectivity monitor in <code>", escaped(source), "</code>.</p>\n");
    page += "<dl class=\"figures\">\n";
    for (const Figure& figure : said.figures) {
        append(page, "<div><dt>", escaped(figure.label), "</dt><dd>", escaped(figure.value),
               "</dd>");
        if (!figure.detail.empty()) {
            append(page, "<dd class=\"detail\">", escaped(figure.detail), "</dd>");
        }
        page += "</div>\n";
    }
    page += "</dl>\n";
    for (const std::string& note : said.notes) {
        append(page, "<p class=\"note\">", escaped(note), "</p>\n");
    }
    if (report.outages.empty()) {
        page += report.period.isWhole() ? "<p>No outage is recorded in this log.</p>\n"
                                        : "<p>No outage began in the days selected.</p>\n";
        return page + "</body>\n</html>\n";
    }
    appendTimeline(page, report);

    page += "<h2>Outages</h2>\n<table>\n<thead><tr><th>Start</th><th>End</th>"
            "<th class=\"n\">Failed checks</th><th class=\"n\">Span</th></tr></thead>\n<tbody>\n";
    for (const Outage& outage : report.outages) {
        append(page, "<tr><td>", dateTime(outage.start), "</td><td>", dateTime(outage.end),
               "</td><td class=\"n\">", std::to_string(outage.checks), "</td><td class=\"n\">",
               spanText(outage.span()), "</td></tr>\n");
    }
    page += "</tbody>\n</table>\n</body>\n</html>\n";
    return page;
}

} // namespace report
