// The figures in Prometheus' text exposition format, for the node exporter's textfile collector.
#include <array>
#include <cstdio>
#include <ctime>
#include <optional>

#include "renderers.h"

namespace report {
namespace {

void metric(std::string& out, const char* name, const char* type, const char* help,
            long long value) {
    out.append("# HELP ").append(name).append(" ").append(help).append("\n");
    out.append("# TYPE ").append(name).append(" ").append(type).append("\n");
    out.append(name).append(" ").append(std::to_string(value)).append("\n");
}

// The log's local time as Unix time, in the zone of TZ; nothing where the C library cannot say.
std::optional<long long> unixTime(LocalTime time) {
    const auto day = std::chrono::floor<std::chrono::days>(time);
    const std::chrono::year_month_day date{day};
    const std::chrono::hh_mm_ss clock{time - day};
    std::tm fields{};
    fields.tm_year = static_cast<int>(date.year()) - 1900;
    fields.tm_mon = static_cast<int>(static_cast<unsigned>(date.month())) - 1;
    fields.tm_mday = static_cast<int>(static_cast<unsigned>(date.day()));
    fields.tm_hour = static_cast<int>(clock.hours().count());
    fields.tm_min = static_cast<int>(clock.minutes().count());
    fields.tm_sec = static_cast<int>(clock.seconds().count());
    fields.tm_isdst = -1; // the zone's rule decides
    const std::time_t seconds = std::mktime(&fields);
    return seconds == static_cast<std::time_t>(-1) ? std::nullopt
                                                   : std::optional<long long>(seconds);
}

std::string decimal(double value) {
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%.6g", value);
    return text.data();
}

// The probes of quality per family and segment, counted since the record began (or in the days
// selected), and the last window's figures of each.
void qualityMetrics(std::string& out, const Quality& quality) {
    const auto perGroup = [&](const char* name, const char* type, const char* help,
                              const auto& value) {
        out.append("# HELP ").append(name).append(" ").append(help).append("\n");
        out.append("# TYPE ").append(name).append(" ").append(type).append("\n");
        for (const GroupQuality& group : quality.groups) {
            if (const auto figure = value(group)) {
                out.append(name).append("{family=\"").append(group.family);
                out.append("\",segment=\"")
                    .append(core::quality::segmentWords[static_cast<std::size_t>(group.segment)]);
                out.append("\"} ").append(*figure).append("\n");
            }
        }
    };
    const auto present = [](const GroupQuality& group) { return group.sent > 0; };
    perGroup("connectivity_probes_sent_total", "counter",
             "Probes of the connection's quality sent while it was up.",
             [&](const GroupQuality& group) {
                 return present(group) ? std::optional(std::to_string(group.sent)) : std::nullopt;
             });
    perGroup("connectivity_probes_answered_total", "counter",
             "Probes of the connection's quality answered.", [&](const GroupQuality& group) {
                 return present(group) ? std::optional(std::to_string(group.received))
                                       : std::nullopt;
             });
    const auto lastFigure = [](double (*of)(const core::quality::Figures&)) {
        return [of](const GroupQuality& group) {
            return group.last && group.last->received > 0 ? std::optional(decimal(of(*group.last)))
                                                          : std::nullopt;
        };
    };
    perGroup("connectivity_round_trip_median_seconds", "gauge",
             "The median round trip of the last quality window.",
             lastFigure([](const core::quality::Figures& f) { return f.median / 1000; }));
    perGroup("connectivity_round_trip_p90_seconds", "gauge",
             "The 90th percentile round trip of the last quality window.",
             lastFigure([](const core::quality::Figures& f) { return f.p90 / 1000; }));
    perGroup("connectivity_probe_loss_ratio", "gauge",
             "The share of probes lost in the last quality window.", [](const GroupQuality& group) {
                 return group.last ? std::optional(decimal(group.last->loss())) : std::nullopt;
             });
    std::chrono::sys_seconds lastEnd{};
    for (const GroupQuality& group : quality.groups) {
        lastEnd = std::max(lastEnd, group.lastEnd);
    }
    metric(out, "connectivity_quality_window_end_timestamp_seconds", "gauge",
           "Unix time the last quality window ended: the watcher sampled until then.",
           lastEnd.time_since_epoch().count());
}

} // namespace

std::string metrics(const Report& report) {
    std::string out;
    metric(out, "connectivity_failed_checks_total", "counter",
           "Failed reachability checks in the log, with or without a time.", report.failedChecks);
    metric(out, "connectivity_untimed_failed_checks_total", "counter",
           "Failed checks recorded without a time.", report.untimedChecks);
    if (const bool causes = report.watch && report.watch->problem.empty(); causes) {
        // Every cause, zero included, so a rate over any of them is defined from the start.
        const auto& totals = report.watch->causes;
        const auto perCause = [&](const char* name, const char* help, auto value) {
            out.append("# HELP ").append(name).append(" ").append(help).append("\n");
            out.append("# TYPE ").append(name).append(" counter\n");
            for (std::size_t i = 0; i < Cause::count; ++i) {
                out.append(name).append("{cause=\"").append(Cause::at(i).name()).append("\"} ");
                out.append(std::to_string(value(totals[i]))).append("\n");
            }
        };
        perCause("connectivity_outages_total",
                 "Outages: runs of failed checks at most the report's gap apart, by first cause.",
                 [](const CauseTotal& total) { return total.outages; });
        perCause("connectivity_outage_seconds_total",
                 "Seconds from the first to the last failed check of the outages, by first cause.",
                 [](const CauseTotal& total) { return total.span.count(); });
        metric(out, "connectivity_watched_seconds_total", "counter",
               "Seconds the watcher watched, in the report's period.",
               report.watch->watched.count());
    } else {
        metric(out, "connectivity_outages_total", "counter",
               "Outages: runs of failed checks at most the report's gap apart.",
               static_cast<long long>(report.outages.size()));
        metric(out, "connectivity_outage_seconds_total", "counter",
               "Seconds from the first to the last failed check of every outage, overlaps once.",
               report.totalSpan().count());
    }
    if (report.latest) {
        if (const auto last = unixTime(*report.latest)) {
            metric(out, "connectivity_last_failed_check_timestamp_seconds", "gauge",
                   "Unix time of the last failed check that has a time.", *last);
        }
    }
    if (const Outage* longest = report.longest()) {
        metric(out, "connectivity_longest_outage_seconds", "gauge",
               "Seconds from the first to the last failed check of the longest outage.",
               longest->span().count());
    }
    metric(out, "connectivity_log_skipped_lines", "gauge",
           "Lines of the log that are not in the monitor's form.", report.skippedLines);
    if (report.watch && report.watch->quality && report.watch->quality->any()) {
        qualityMetrics(out, *report.watch->quality);
    }
    return out;
}

} // namespace report
