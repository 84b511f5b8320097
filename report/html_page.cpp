// The page to show a provider: figures, a day-by-day timeline in inline SVG, and the outage table.
#include <algorithm>
#include <array>

#include "headline.h"
#include "html_parts.h"
#include "renderers.h"
#include "time_text.h"

namespace report {
namespace html {

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

std::string markClass(const Outage& outage, bool causes) {
    return causes ? "c-" + std::string(primaryCause(outage).name()) : "";
}

std::optional<Days> daysOf(const Report& report) {
    using std::chrono::floor;
    std::optional<LocalTime> first = report.earliest;
    std::optional<LocalTime> last = report.latest;
    if (report.watch && report.watch->extent) {
        const LocalSpan& extent = *report.watch->extent;
        first = std::min(first.value_or(extent.from), extent.from);
        last = std::max(last.value_or(extent.to), extent.to);
    }
    if (!first) {
        return std::nullopt;
    }
    const Period& period = report.period;
    return Days{period.since.value_or(floor<std::chrono::days>(*first)),
                period.until.value_or(floor<std::chrono::days>(*last))};
}

} // namespace html

namespace {

using html::append;
using html::escaped;

// A period longer than this opens with a calendar, and its timeline shows only the days with a
// failed check; a shorter one with a record shows every day, watched or not.
constexpr long calendarAfterDays = 62;

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
.subject { font-size: 1.1rem; margin: 0 0 .4rem; }
.about { color: var(--soft); margin: .1rem 0; font-size: .9rem; }
.offset { color: var(--soft); font-size: .8em; }
.ongoing { color: var(--mark); font-weight: 600; }
.legend dt { font-weight: 600; margin-top: .4rem; }
.legend dd { margin: 0 0 0 1.5rem; }
details { margin-top: .2rem; font-size: .9rem; overflow-wrap: anywhere; }
summary { cursor: pointer; color: #0d47a1; }
.evidence dt { font-weight: 600; margin-top: .3rem; }
.evidence dd { margin: 0 0 0 1rem; }
.evidence p { margin: .2rem 0; }
.hops { margin: .1rem 0; padding-left: 2rem; }
.hops li.stop { color: var(--mark); }
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
.track rect.unwatched { fill: url(#hatch-wide); stroke: none; }
.track.period { background: #fafafa; } /* a period shorter than a day: its own clock times */
.lead { font-size: 1.05rem; font-weight: 600; margin: .7rem 0; }
.swatch { display: inline-block; width: .9rem; height: .9rem; border-radius: 2px;
  vertical-align: -.12rem; margin: 0 .3rem 0 .6rem; background: var(--mark); }
.calendar svg { display: block; width: 100%; max-width: 56rem; margin-bottom: .6rem; }
.calendar text { font-size: 9px; fill: var(--soft); }
.calendar rect.d0, .swatch.d0 { fill: #ebedf0; background: #ebedf0; }
.calendar rect.d1, .swatch.d1 { fill: #ffe082; background: #ffe082; }
.calendar rect.d2, .swatch.d2 { fill: #fb8c00; background: #fb8c00; }
.calendar rect.d3, .swatch.d3 { fill: #c62828; background: #c62828; }
.calendar rect.unwatched { fill: url(#hatch); }
.swatch.unwatched { background: repeating-linear-gradient(45deg, #e4e4e4 0 2px, #8a8a8a 2px 3px); }
.swatch:first-child { margin-left: 0; }
table { border-collapse: collapse; width: 100%; font-variant-numeric: tabular-nums; }
th, td { text-align: left; padding: .3rem .6rem; border-bottom: 1px solid var(--grid); }
td.n, th.n { text-align: right; }
code { font-size: .9em; }
h3 { font-size: 1rem; margin: 1rem 0 .4rem; }
.chart { display: block; width: 100%; height: 2.2rem; background:
  repeating-linear-gradient(to right, transparent 0 calc(100% / 24 - 1px),
    var(--grid) calc(100% / 24 - 1px) calc(100% / 24)), #fafafa; }
.chart .band { fill: #90caf9; stroke: none; }
.chart .median { fill: none; stroke: #0d47a1; stroke-width: 1.2px; vector-effect: non-scaling-stroke; }
.chart .loss { fill: #c62828; }
@media (max-width: 40rem) {
  /* The outage table as a card per outage: no sideways scrolling on a phone. */
  table.outages thead { display: none; }
  table.outages tr { display: block; border-bottom: 1px solid var(--grid); padding: .35rem 0; }
  table.outages td { display: block; border: none; padding: .05rem 0; text-align: left; }
  table.outages td[data-label]::before { content: attr(data-label) ": "; color: var(--soft); }
  .row { grid-template-columns: 1fr; gap: 0; }
  .row .date:empty { display: none; }
  .causes .stop { display: none; } /* the outage table says it too */
  table.quality { font-size: .8rem; }
  table.quality th, table.quality td { padding: .25rem .3rem; }
  .hours span.minor { display: none; }
  .day { margin-bottom: .35rem; }
}
@page { size: A4; margin: 14mm; }
@media print {
  body { max-width: none; padding: 0; font-size: 10pt; }
  .day, tr { break-inside: avoid; }
  h2 { break-after: avoid; }
  .track, .track rect, .calendar rect, .swatch, .chart, .chart * { print-color-adjust: exact;
    -webkit-print-color-adjust: exact; }
  details > summary { display: none; } /* on paper the evidence is shown whole */
  details::details-content { content-visibility: visible; display: block; }
}
)";

// What a row of the timeline spans: a day, or a period shorter than one.
struct Window {
    LocalTime start;
    long length = secondsPerDay;
    LocalTime end() const { return start + std::chrono::seconds{length}; }
    long at(LocalTime time) const {
        return static_cast<long>((std::clamp(time, start, end()) - start).count());
    }
};

// Each cause's colour, in the causes' order: a class per cause, named by its word, so the legend,
// the table and the marks say one thing.
constexpr std::array<const char*, Cause::count> causeColours = {
    "#8e24aa", "#f9a825", "#c62828", "#1565c0", "#2e7d32", "#6d4c41", "#757575"};

std::string causeStyles() {
    std::string styles = "/* By cause, where the watcher's record says. */\n";
    for (std::size_t i = 0; i < Cause::count; ++i) {
        append(styles, ".c-", Cause::at(i).name(), " { --mark: ", causeColours[i], "; }\n");
    }
    return styles;
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

// The clock times above a period shorter than a day: its start and end, and round times between.
std::string periodLabels(const Window& window) {
    constexpr long steps[] = {60, 120, 300, 600, 900, 1800, 3600, 7200, 10'800};
    const long step = *std::find_if(std::begin(steps), std::end(steps) - 1,
                                    [&](long s) { return window.length / s <= 8; });
    const auto label = [&](LocalTime time, const char* cssClass) {
        return "<span" + std::string(cssClass) + " style=\"left:" +
               std::to_string(100.0 * static_cast<double>(window.at(time)) /
                              static_cast<double>(window.length))
                   .substr(0, 6) +
               "%\">" + core::clockTime(time).substr(0, 5) + "</span>";
    };
    std::string labels = "<div class=\"row\"><div class=\"date\"></div><div class=\"hours\">" +
                         label(window.start, "");
    const auto first =
        std::chrono::ceil<std::chrono::minutes>(window.start + std::chrono::seconds{1});
    for (LocalTime tick{first}; tick < window.end(); tick += std::chrono::minutes{1}) {
        const long sinceMidnight = (tick - std::chrono::floor<std::chrono::days>(tick)).count();
        const long fromEdge = std::min(window.at(tick), window.length - window.at(tick));
        if (sinceMidnight % step == 0 && fromEdge * 10 >= window.length) {
            labels += label(tick, " class=\"minor\"");
        }
    }
    return labels + label(window.end(), "") + "</div></div>\n";
}

// A lone failed check has no span; its mark is drawn this wide in a day (and with a hairline
// outline), and as much of a shorter row, so it stays visible at any width.
void appendMark(std::string& page, const Window& window, long from, long to,
                const std::string& title, const std::string& cssClass = "") {
    const long narrowest = std::max(1L, narrowestMark * window.length / secondsPerDay);
    const long x = std::min(from, window.length - narrowest);
    const long width = std::max(to - from, narrowest);
    append(page, "<rect", cssClass.empty() ? "" : " class=\"" + cssClass + "\"", " x=\"",
           std::to_string(x), "\" y=\"18\" width=\"", std::to_string(width),
           "\" height=\"64\"><title>", escaped(title), "</title></rect>");
}

void openRow(std::string& page, const std::string& date, const std::string& label,
             const Window& window) {
    append(page, "<div class=\"row day\"><div class=\"date\">", date, "</div><svg class=\"track",
           window.length == secondsPerDay ? "" : " period", "\" viewBox=\"0 0 ",
           std::to_string(window.length),
           " 100\" preserveAspectRatio=\"none\" role=\"img\" aria-label=\"", label, "\">");
}

// The parts of each row, taken in order, that no watched span covers.
class Unwatched {
  public:
    explicit Unwatched(const std::vector<LocalSpan>& watched) : watched_(watched) {}

    // Seconds from the row's start: [from, to) pairs.
    std::vector<std::pair<long, long>> on(const Window& window) {
        while (next_ < watched_.size() && watched_[next_].to <= window.start) {
            ++next_;
        }
        std::vector<std::pair<long, long>> gaps;
        LocalTime covered = window.start;
        for (std::size_t i = next_; i < watched_.size() && watched_[i].from < window.end(); ++i) {
            if (watched_[i].from > covered) {
                gaps.emplace_back(window.at(covered), window.at(watched_[i].from));
            }
            covered = std::max(covered, std::min(watched_[i].to, window.end()));
        }
        if (covered < window.end()) {
            gaps.emplace_back(window.at(covered), window.length);
        }
        return gaps;
    }

  private:
    const std::vector<LocalSpan>& watched_;
    std::size_t next_ = 0;
};

// One row: where nothing watched it, hatched; a mark for each part of an outage in it.
void appendRow(std::string& page, const std::string& date, const std::string& label,
               const Window& window, const std::vector<const Outage*>& outages,
               Unwatched* unwatched) {
    openRow(page, date, label, window);
    const bool day = window.length == secondsPerDay;
    if (!day) { // the hatching of a day's rows, scaled to this row's length, never a mark's colour
        const std::string width = std::to_string(std::max(1L, window.length / 72));
        append(page, "<defs><pattern id=\"hatch-period\" patternUnits=\"userSpaceOnUse\" width=\"",
               width, "\" height=\"100\"><rect width=\"", width,
               "\" height=\"100\" style=\"fill:#e4e4e4;stroke:none\"/><path d=\"M0 100 L", width,
               " 0\" stroke=\"#8a8a8a\" stroke-width=\"1.5\" "
               "vector-effect=\"non-scaling-stroke\"/></pattern></defs>");
    }
    if (unwatched != nullptr) {
        for (const auto& [from, to] : unwatched->on(window)) {
            append(page, "<rect class=\"unwatched\"",
                   day ? "" : " style=\"fill:url(#hatch-period)\"", " x=\"", std::to_string(from),
                   "\" y=\"0\" width=\"", std::to_string(to - from),
                   "\" height=\"100\"><title>not watched</title></rect>");
        }
    }
    for (const Outage* outage : outages) {
        appendMark(page, window, window.at(outage->start), window.at(outage->end),
                   core::dateTime(outage->start) + " to " + core::dateTime(outage->end) + ": " +
                       core::count(outage->checks, "failed check", "failed checks") + ", span " +
                       core::spanText(outage->span()) +
                       (unwatched != nullptr ? ", " + causeAndStop(*outage) : "") +
                       (outage->ongoing ? ", still going on" : ""),
                   html::markClass(*outage, unwatched != nullptr));
    }
    page += "</svg></div>\n";
}

// Days without a check that lie wholly inside an outage share one row, so the page grows with
// the log's lines, not with the length of its outages.
void appendQuietDays(std::string& page, std::chrono::local_days first,
                     std::chrono::local_days last) {
    const std::string days = core::count((last - first).count() + 1, "day", "days");
    const Window day{LocalTime{first}};
    openRow(page, core::isoDate(first) + (first == last ? "" : " to<br/>" + core::isoDate(last)),
            days + " inside one outage", day);
    appendMark(page, day, 0, secondsPerDay, days + " inside one outage, with no check recorded");
    page += "</svg></div>\n";
}

// A row per day with a failed check, or with the watcher's record and a short period every day
// of it; each outage marked on every day it touched. One pass: outages are taken in the order
// they began and kept while they last.
void appendTimeline(std::string& page, const Report& report,
                    const std::optional<html::Days>& days) {
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
    const bool watchKnown = report.watch && report.watch->problem.empty();
    std::optional<Unwatched> unwatched;
    if (watchKnown) {
        unwatched.emplace(report.watch->watchedSpans);
    }
    // A watched period shorter than a day is one row that spans it, not a sliver of a day's.
    if (const auto* extent = watchKnown && report.watch->extent ? &*report.watch->extent : nullptr;
        extent != nullptr && extent->to > extent->from &&
        extent->to - extent->from < std::chrono::days{1}) {
        const Window period{extent->from, static_cast<long>((extent->to - extent->from).count())};
        const auto first = floor<std::chrono::days>(extent->from);
        const auto last = floor<std::chrono::days>(extent->to);
        page += "<h2>Timeline</h2>\n<div class=\"timeline\">\n" + periodLabels(period);
        appendRow(
            page,
            core::weekdayDate(first) + (first == last ? "" : " to<br/>" + core::weekdayDate(last)),
            "Outages from " + core::dateTime(extent->from) + " to " + core::dateTime(extent->to),
            period, byStart, &*unwatched);
        page += "</div>\n";
        return;
    }
    std::vector<std::chrono::local_days> rows;
    const bool everyDay = watchKnown && days && days->count() <= calendarAfterDays;
    if (everyDay) {
        for (auto day = days->first; day <= days->last; day += std::chrono::days{1}) {
            rows.push_back(day);
        }
    } else {
        for (const auto& entry : report.days) {
            rows.push_back(entry.first);
        }
    }
    page += "<h2>Timeline</h2>\n<div class=\"timeline\">\n" + hourLabels();
    std::vector<const Outage*> lasting;
    std::size_t next = 0;
    for (std::size_t row = 0; row < rows.size(); ++row) {
        const std::chrono::local_days day = rows[row];
        while (next < byStart.size() && floor<std::chrono::days>(byStart[next]->start) <= day) {
            lasting.push_back(byStart[next++]);
        }
        std::erase_if(lasting, [day](const Outage* outage) {
            return floor<std::chrono::days>(outage->end) < day;
        });
        appendRow(page, core::weekdayDate(day), "Outages on " + core::isoDate(day),
                  Window{LocalTime{day}}, lasting, unwatched ? &*unwatched : nullptr);
        const auto goesOn = [day](const Outage* o) {
            return floor<std::chrono::days>(o->end) > day;
        };
        if (row + 1 < rows.size() && rows[row + 1] - day > std::chrono::days{1} &&
            std::any_of(lasting.begin(), lasting.end(), goesOn)) {
            appendQuietDays(page, day + std::chrono::days{1}, rows[row + 1] - std::chrono::days{1});
        }
    }
    page += "</div>\n";
}

// The totals per cause, each with its colour: the timeline's legend.
void appendCauses(std::string& page, const WatchFigures& watch) {
    const bool stops = std::any_of(watch.causes.begin(), watch.causes.end(),
                                   [](const CauseTotal& total) { return total.stoppedThere > 0; });
    append(page,
           "<h2>Causes</h2>\n<table class=\"causes\">\n<thead><tr><th>Cause</th>"
           "<th class=\"n\">Outages</th><th class=\"n\">Span</th>",
           stops ? "<th class=\"stop\">Where the path stopped most</th>" : "",
           "</tr></thead>\n<tbody>\n");
    for (std::size_t i = 0; i < Cause::count; ++i) {
        const CauseTotal& total = watch.causes[i];
        if (total.outages > 0) {
            const std::string name(Cause::at(i).name());
            append(page, "<tr><td><span class=\"swatch c-", name, "\"></span>", name,
                   "</td><td class=\"n\">", std::to_string(total.outages), "</td><td class=\"n\">",
                   core::spanText(total.span), "</td>");
            if (stops) {
                append(page, "<td class=\"stop\">",
                       total.stoppedThere > 0 ? "after " + escaped(total.mostStoppedAfter) +
                                                    ", in " + std::to_string(total.stoppedThere)
                                              : "",
                       "</td>");
            }
            page += "</tr>\n";
        }
    }
    page += "</tbody>\n</table>\n<p class=\"note\"><span class=\"swatch unwatched\"></span>Hatched "
            "grey in the timeline: time nothing watched (asleep, stopped, switched off).</p>\n";
}

// Hatching for time nothing watched: one for the timeline's stretched rows, one for squares.
constexpr const char* patterns =
    "<svg width=\"0\" height=\"0\" aria-hidden=\"true\" style=\"position:absolute\"><defs>"
    "<pattern id=\"hatch-wide\" patternUnits=\"userSpaceOnUse\" width=\"1200\" height=\"100\">"
    "<rect width=\"1200\" height=\"100\" fill=\"#e4e4e4\"/><path d=\"M0 100 L1200 0\" "
    "stroke=\"#8a8a8a\" stroke-width=\"1.5\" vector-effect=\"non-scaling-stroke\"/></pattern>"
    "<pattern id=\"hatch\" patternUnits=\"userSpaceOnUse\" width=\"4\" height=\"4\">"
    "<rect width=\"4\" height=\"4\" fill=\"#e4e4e4\"/><path d=\"M0 4 L4 0\" stroke=\"#8a8a8a\"/>"
    "</pattern></defs></svg>\n";

// A time as the page shows it: with its UTC offset where the record gives one.
std::string timeCell(LocalTime local, const std::optional<std::chrono::sys_seconds>& utc) {
    std::string cell = core::dateTime(local);
    if (utc) {
        html::append(cell, " <span class=\"offset\">UTC",
                     core::offsetText(std::chrono::duration_cast<std::chrono::seconds>(
                         local.time_since_epoch() - utc->time_since_epoch())),
                     "</span>");
    }
    return cell;
}

// Whose page it is and where it comes from: the person's title, the machine watched, the files
// read, the times' zone, and when and by what it was made.
void appendHeader(std::string& page, const Report& report, const std::string& source,
                  const Headline& said) {
    append(page, "<h1>Internet outages</h1>\n");
    if (!report.about.title.empty()) {
        append(page, "<p class=\"subject\">", escaped(report.about.title), "</p>\n");
    }
    if (report.watch && !report.watch->machine.empty()) {
        append(page, "<p class=\"about\">Watched on <strong>", escaped(report.watch->machine),
               "</strong>.</p>\n");
    }
    append(page, "<p class=\"about\">Failed checks from the monitor's log <code>", escaped(source),
           "</code>");
    if (report.watch && report.watch->problem.empty()) {
        append(page, "; watched time and causes from the watcher's record <code>",
               escaped(report.watch->source), "</code>");
    }
    append(page, ".</p>\n<p class=\"about\">", escaped(said.times), "</p>\n");
    if (report.about.madeAt) {
        append(page, "<p class=\"about\">Made ",
               escaped(core::record::stampText(*report.about.madeAt)), " by connectivity-report ",
               escaped(report.about.version),
               report.about.machine.empty() ? "" : " on " + escaped(report.about.machine),
               ".</p>\n");
    }
}

void appendOutages(std::string& page, const Report& report, bool causes) {
    append(page,
           "<h2>Outages</h2>\n<table class=\"outages\">\n<thead><tr><th>Start</th><th>End</th>",
           "<th class=\"n\">Failed checks</th><th class=\"n\">Span</th>",
           causes ? "<th>Cause</th>" : "", "</tr></thead>\n<tbody>\n");
    for (const Outage& outage : report.outages) {
        append(page, "<tr><td data-label=\"Start\">", timeCell(outage.start, outage.startUtc),
               "</td><td data-label=\"End\">", timeCell(outage.end, outage.endUtc),
               outage.ongoing ? " <span class=\"ongoing\">still going on</span>" : "",
               "</td><td class=\"n\" data-label=\"Failed checks\">", std::to_string(outage.checks),
               "</td><td class=\"n\" data-label=\"Span\">", core::spanText(outage.span()), "</td>");
        if (causes) {
            append(page, "<td data-label=\"Cause\"><span class=\"swatch ",
                   html::markClass(outage, true), "\"></span>", escaped(causeAndStop(outage)));
            html::appendEvidence(page, outage);
            page += "</td>";
        }
        page += "</tr>\n";
    }
    page += "</tbody>\n</table>\n";
}

} // namespace

std::string htmlPage(const Report& report, const std::string& source) {
    const Headline said = headline(report);
    std::string page = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\"/>\n"
                       "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\"/>\n"
                       "<title>Internet outages, ";
    if (!report.about.title.empty()) {
        append(page, escaped(report.about.title), ", ");
    }
    append(page, escaped(said.title), "</title>\n<style>", style, causeStyles(),
           "</style>\n</head>\n<body>\n", patterns);
    appendHeader(page, report, source, said);
    if (!said.lead.empty()) {
        append(page, "<p class=\"lead\">", escaped(said.lead), "</p>\n");
    }
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
    const auto days = html::daysOf(report);
    if (days && days->count() > calendarAfterDays) {
        html::appendCalendar(page, report, *days);
    }
    if (report.outages.empty()) {
        page += report.period.isWhole() ? "<p>No outage is recorded in this log.</p>\n"
                                        : "<p>No outage began in the days selected.</p>\n";
    } else {
        const bool causes = report.watch && report.watch->problem.empty();
        if (causes) {
            appendCauses(page, *report.watch);
            html::appendLegend(page, *report.watch);
        }
        appendTimeline(page, report, days);
        appendOutages(page, report, causes);
    }
    // The outages first, the evidence a provider is asked about; the quality while up after.
    if (days && report.watch && report.watch->quality && report.watch->quality->any()) {
        html::appendQuality(page, *report.watch->quality, *days);
    }
    page += "</body>\n</html>\n";
    return page;
}

} // namespace report
