// The calendar that opens the page of a long log: a year a block, a square a day.
#include <algorithm>
#include <array>
#include <map>

#include "html_parts.h"
#include "time_text.h"

namespace report::html {
namespace {

using namespace std::chrono;

constexpr std::array<const char*, 12> monthNames{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr int square = 11;
constexpr int step = 13;      // a square and its gap
constexpr int dayLabels = 28; // room for the weekday names on the left
constexpr int monthRow = 14;  // and the month names above

constexpr long mostDays = 3653;

// Each day's part of the intervals within the days shown, in seconds.
template <typename Intervals, typename Ends>
std::map<local_days, seconds> perDay(const Intervals& intervals, const Days& shown, Ends ends) {
    std::map<local_days, seconds> total;
    for (const auto& interval : intervals) {
        auto [from, to] = ends(interval);
        from = std::max(from, LocalTime{shown.first});
        to = std::min(to, LocalTime{shown.last + days{1}});
        while (from < to) {
            const local_days day = floor<days>(from);
            const LocalTime dayEnd = LocalTime{day + days{1}};
            total[day] += std::min(to, dayEnd) - from;
            from = dayEnd;
        }
    }
    return total;
}

const char* downtimeClass(seconds down, bool failed) {
    if (down >= 1h) {
        return "d3";
    }
    if (down >= 5min) {
        return "d2";
    }
    return down > seconds{0} || failed ? "d1" : "d0";
}

} // namespace

void appendCalendar(std::string& page, const Report& report, const Days& whole) {
    // Ten years at the most, the latest: the page stays a few hundred kilobytes whatever the log.
    const Days period{std::max(whole.first, whole.last - days{mostDays - 1}), whole.last};
    const auto down = perDay(report.outages, period, [](const Outage& outage) {
        return std::pair{outage.start, outage.end};
    });
    const bool watchKnown = report.watch && report.watch->problem.empty();
    const auto watched = watchKnown ? perDay(report.watch->watchedSpans, period,
                                             [](const LocalSpan& span) {
                                                 return std::pair{span.from, span.to};
                                             })
                                    : std::map<local_days, seconds>{};
    page += period.first == whole.first ? "<h2>Calendar</h2>\n<div class=\"calendar\">\n"
                                        : "<h2>Calendar of the last ten years</h2>\n"
                                          "<div class=\"calendar\">\n";
    const int firstYear = static_cast<int>(year_month_day{period.first}.year());
    const int lastYear = static_cast<int>(year_month_day{period.last}.year());
    for (int y = firstYear; y <= lastYear; ++y) {
        const local_days yearStart{year{y} / January / 1};
        const local_days from = std::max(period.first, yearStart);
        const local_days to = std::min(period.last, local_days{year{y} / December / 31});
        // Weeks start on Monday; the year's first column holds its first Monday's week.
        const local_days firstMonday = yearStart - days{(weekday{yearStart}.iso_encoding() - 1)};
        const int weeks = static_cast<int>((to - firstMonday).count() / 7) + 1;
        // A year of fewer weeks is drawn narrower, its squares the size of a whole year's.
        const long fullWidth = 56 * (dayLabels + weeks * step) / (dayLabels + 53 * step);
        append(page, "<svg class=\"year\" style=\"max-width:", std::to_string(fullWidth),
               "rem\" viewBox=\"0 0 ", std::to_string(dayLabels + weeks * step), " ",
               std::to_string(monthRow + 7 * step), "\" role=\"img\" aria-label=\"",
               std::to_string(y), "\"><text x=\"0\" y=\"10\" class=\"y\">", std::to_string(y),
               "</text>");
        for (const auto& [row, name] : {std::pair{0, "Mon"}, {2, "Wed"}, {4, "Fri"}}) {
            append(page, "<text x=\"0\" y=\"", std::to_string(monthRow + row * step + 9), "\">",
                   name, "</text>");
        }
        for (unsigned m = 1; m <= 12; ++m) {
            const local_days monthStart{year{y} / month{m} / 1};
            if (monthStart > to || local_days{year{y} / month{m} / last} < from) {
                continue;
            }
            const int column = static_cast<int>((monthStart - firstMonday).count() / 7);
            append(page, "<text x=\"", std::to_string(dayLabels + column * step), "\" y=\"10\">",
                   monthNames[m - 1], "</text>");
        }
        for (local_days day = from; day <= to; day += days{1}) {
            const int column = static_cast<int>((day - firstMonday).count() / 7);
            const int row = static_cast<int>(weekday{day}.iso_encoding() - 1);
            const auto downFound = down.find(day);
            const seconds downtime = downFound != down.end() ? downFound->second : seconds{0};
            const auto summary = report.days.find(day);
            const bool failed = summary != report.days.end();
            const auto watchFound = watched.find(day);
            const seconds watchedTime =
                watchFound != watched.end() ? watchFound->second : seconds{0};
            std::string title = core::weekdayDate(day) + ": ";
            title += failed ? core::count(summary->second.checks, "failed check", "failed checks") +
                                  ", down " + core::spanText(downtime)
                            : "no failed check";
            if (watchKnown) {
                title += "; watched " + core::hoursText(watchedTime);
            }
            append(page, "<rect x=\"", std::to_string(dayLabels + column * step), "\" y=\"",
                   std::to_string(monthRow + row * step), "\" width=\"", std::to_string(square),
                   "\" height=\"", std::to_string(square), "\" class=\"",
                   downtimeClass(downtime, failed),
                   watchKnown && watchedTime == seconds{0} && !failed ? " unwatched" : "",
                   "\"><title>", title, "</title></rect>");
        }
        page += "</svg>\n";
    }
    page += "<p class=\"note\"><span class=\"swatch d0\"></span>no failed check "
            "<span class=\"swatch d1\"></span>down under 5 min "
            "<span class=\"swatch d2\"></span>under an hour "
            "<span class=\"swatch d3\"></span>an hour or more";
    if (watchKnown) {
        page += " <span class=\"swatch unwatched\"></span>not watched";
    }
    page += "</p>\n</div>\n";
}

} // namespace report::html
