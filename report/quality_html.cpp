// The page's account of quality while up: the figures per family and segment, the degraded
// stretches, and a chart per day (per week beyond 62 days) of each segment's round trips (the
// band from the 10th to the 90th percentile, the median line) and loss, on the timeline's axis.
#include <algorithm>
#include <cmath>

#include "html_parts.h"
#include "time_text.h"

namespace report::html {
namespace {

using namespace std::chrono;

constexpr long secondsPerDay = 86'400;
// Of a chart's 100 units of height: the round trips above, the loss below.
constexpr double tripHeight = 78;
constexpr double lossHeight = 18;

// A round number at or above value: 1, 2 or 5 times a power of ten.
double roundScale(double value) {
    const double power = std::pow(10.0, std::floor(std::log10(std::max(value, 0.1))));
    for (const double step : {1.0, 2.0, 5.0, 10.0}) {
        if (step * power >= value) {
            return step * power;
        }
    }
    return 10 * power;
}

std::string number(double value) {
    return std::to_string(std::lround(value));
}

// The scale that shows most of a segment's windows whole: their 90th percentiles, all but the
// highest one in fifty, with a little room above.
double scaleOf(const std::vector<const ChartPoint*>& points) {
    Spread spread;
    for (const ChartPoint* point : points) {
        spread.add(point->p90, 1);
    }
    return roundScale(std::max(1.0, spread.quantile(0.98) * 1.2));
}

// One row's chart: points in it, as seconds from its start; a break where windows do not meet.
void appendChart(std::string& page, const std::string& label, LocalTime start, long length,
                 const std::vector<const ChartPoint*>& points, double scale) {
    const auto along = [&](sys_seconds at, seconds offset) {
        const long at_ =
            static_cast<long>((LocalTime{(at + offset).time_since_epoch()} - start).count());
        return std::clamp(at_, 0L, length);
    };
    const auto x = [&](sys_seconds at, seconds offset) {
        return std::to_string(along(at, offset));
    };
    const auto y = [&](double trip) {
        return number(tripHeight - tripHeight * std::min(trip, scale) / scale);
    };
    append(page, "<svg class=\"chart\" viewBox=\"0 0 ", std::to_string(length),
           " 100\" preserveAspectRatio=\"none\" role=\"img\" aria-label=\"", escaped(label), "\">");
    std::string band;
    std::string lower;
    std::string median;
    const auto closeRun = [&] {
        if (!band.empty()) {
            append(page, "<polygon class=\"band\" points=\"", band, lower, "\"/>",
                   "<polyline class=\"median\" points=\"", median, "\"/>");
        }
        band.clear();
        lower.clear();
        median.clear();
    };
    struct LossRun {
        long from;
        long to;
        long height;
    };
    std::vector<LossRun> lossRuns;
    const ChartPoint* previous = nullptr;
    for (const ChartPoint* point : points) {
        if (previous != nullptr && point->from > previous->to) {
            closeRun();
        }
        previous = point;
        if (point->received == 0) {
            closeRun(); // all lost: no round trip to draw, only the loss
        } else {
            const std::string middle =
                x(point->from + (point->to - point->from) / 2, point->offset);
            band += middle + "," + y(point->p90) + " ";
            lower.insert(0, middle + "," + y(point->p10) + " ");
            median += middle + "," + y(point->median) + " ";
        }
        if (point->loss > 0 && length > secondsPerDay) {
            // A week's row: its hours' loss as one path, hours of equal height and no gap between
            // them joined, so ten years of weeks stay a page a browser opens.
            const long height = std::max(1L, std::lround(lossHeight * point->loss));
            const long from = along(point->from, point->offset);
            const long to = along(point->to, point->offset);
            if (!lossRuns.empty() && lossRuns.back().height == height &&
                lossRuns.back().to == from) {
                lossRuns.back().to = to;
            } else {
                lossRuns.push_back({from, to, height});
            }
        } else if (point->loss > 0) {
            const double height = std::max(1.0, lossHeight * point->loss);
            append(
                page, "<rect class=\"loss\" x=\"", x(point->from, point->offset), "\" y=\"",
                number(100 - height), "\" width=\"",
                std::to_string(std::max(1L, static_cast<long>((point->to - point->from).count()))),
                "\" height=\"", number(height), "\"><title>", lossText(point->loss),
                " lost</title></rect>");
        }
    }
    closeRun();
    if (!lossRuns.empty()) {
        page += "<path class=\"loss\" d=\"";
        for (const LossRun& run : lossRuns) {
            append(page, "M", std::to_string(run.from), " ", std::to_string(100 - run.height), "h",
                   std::to_string(std::max(1L, run.to - run.from)), "v", std::to_string(run.height),
                   "H", std::to_string(run.from), "z");
        }
        page += "\"><title>loss, by the hour</title></path>";
    }
    page += "</svg>";
}

} // namespace

void appendQuality(std::string& page, const Quality& quality, const Days& days) {
    page += "<h2>Quality while up</h2>\n<p class=\"note\">From " + std::to_string(quality.windows) +
            " windows (" + core::spanText(quality.measured) +
            ") of the watcher's probes to the gateway and past the provider's edge while the "
            "connection was up; round trips are the windows' medians, in milliseconds.</p>\n"
            "<table class=\"quality\">\n<thead><tr><th>Family and segment</th>"
            "<th class=\"n\">Median</th><th class=\"n\">90%</th><th class=\"n\">Loss</th>"
            "<th class=\"n\">Jitter</th><th>Slowest hours</th></tr></thead>\n<tbody>\n";
    const GroupQuality* drawn = nullptr; // the family with the most probes past the edge
    for (const GroupQuality& group : quality.groups) {
        if (group.sent == 0) {
            continue;
        }
        if (group.segment == Segment::internet && (drawn == nullptr || group.sent > drawn->sent)) {
            drawn = &group;
        }
        std::string hours;
        for (const auto& [hour, median] : worstHours(group, 3)) {
            hours.append(hours.empty() ? "" : ", ").append(std::to_string(hour));
            hours.append(":00 ").append(roundTripText(median));
        }
        const bool answered = !group.medians.empty();
        append(page, "<tr><td>", groupName(group), "</td><td class=\"n\">",
               answered ? roundTripText(group.medians.quantile(0.5)) : "-", "</td><td class=\"n\">",
               answered ? roundTripText(group.medians.quantile(0.9)) : "-", "</td><td class=\"n\">",
               lossText(group.loss()), "</td><td class=\"n\">",
               answered ? roundTripText(group.jitter()) : "-", "</td><td>", hours, "</td></tr>\n");
    }
    page += "</tbody>\n</table>\n";
    if (!quality.stretches.empty()) {
        page += "<h3>Degraded</h3>\n<p class=\"note\">Two or more windows in a row that the "
                "watcher found degraded: at least 10% of a segment's probes lost, or its median "
                "round trip at least three times its usual and 50 ms more (the watcher's "
                "defaults). Local: in your own network; provider: beyond your router.</p>\n<ul>\n";
        for (const DegradedStretch& stretch : quality.stretches) {
            const auto local = [&](sys_seconds at) {
                return LocalTime{(at + stretch.offset).time_since_epoch()};
            };
            append(page, "<li>", core::dateTime(local(stretch.from)).substr(0, 16), " to ",
                   core::dateTime(local(stretch.to)).substr(0, 16), " (",
                   core::spanText(stretch.to - stretch.from), "): ", stretchText(stretch),
                   "</li>\n");
        }
        page += "</ul>\n";
    }
    if (drawn == nullptr) {
        return;
    }
    // Each segment of the family drawn, per day, or per week where the days are many.
    const bool weekly = days.count() > 62;
    const long length = weekly ? 7 * secondsPerDay : secondsPerDay;
    const local_days first = weekly ? days.first - (weekday{days.first} - Monday) : days.first;
    append(page, "<p class=\"note\">Round trips of ", drawn->family,
           weekly ? " by the hour, a row a week (from Monday)" : " by the window, a row a day",
           ": the band from the 10th to the 90th percentile, the line the median; red below, "
           "the share lost.</p>\n<div class=\"timeline\">\n");
    for (const GroupQuality& group : quality.groups) {
        if (group.family != drawn->family || group.sent == 0) {
            continue;
        }
        std::vector<const ChartPoint*> points;
        if (weekly) {
            for (const ChartPoint& point : group.hours) {
                points.push_back(&point);
            }
        } else {
            for (const ChartPoint& point : group.points) {
                points.push_back(&point);
            }
        }
        const double scale = scaleOf(points);
        append(page, "<h3>", groupName(group), ", 0 to ", number(scale), " ms</h3>\n");
        std::size_t next = 0;
        for (local_days row = first; row <= days.last; row += std::chrono::days{weekly ? 7 : 1}) {
            const LocalTime start{row};
            const LocalTime end = start + seconds{length};
            std::vector<const ChartPoint*> inRow;
            for (; next < points.size(); ++next) {
                const LocalTime from{
                    (points[next]->from + points[next]->offset).time_since_epoch()};
                if (from >= end) {
                    break;
                }
                if (from >= start) {
                    inRow.push_back(points[next]);
                }
            }
            if (inRow.empty()) {
                continue;
            }
            append(page, "<div class=\"row day\"><div class=\"date\">",
                   weekly ? "week of " + core::isoDate(row) : core::weekdayDate(row), "</div>");
            appendChart(page, groupName(group) + ", " + core::isoDate(row), start, length, inRow,
                        scale);
            page += "</div>\n";
        }
    }
    page += "</div>\n";
}

} // namespace report::html
