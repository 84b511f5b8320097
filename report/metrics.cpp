// The figures in Prometheus' text exposition format, for the node exporter's textfile collector.
#include <ctime>

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
    return out;
}

} // namespace report
