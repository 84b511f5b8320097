// The outages as CSV, for a spreadsheet: local times in ISO 8601, spans in whole seconds, causes
// and where the path stopped, then the same times in UTC. Columns are only ever added at the end.
#include "renderers.h"
#include "time_text.h"

namespace report {

std::string csvTable(const Report& report) {
    // The cause and the path's stop last, empty without the watcher's record; quoted where they
    // hold a comma.
    const bool causes = report.watch && report.watch->problem.empty();
    const auto field = [](const std::string& text) {
        return text.find(',') != std::string::npos ? "\"" + text + "\"" : text;
    };
    // UTC where the record gives the local clock's offset, empty where only the log speaks.
    const auto utc = [causes](const std::optional<std::chrono::sys_seconds>& moment) {
        return causes && moment ? core::isoDateTime(LocalTime{moment->time_since_epoch()}) + "Z"
                                : std::string();
    };
    std::string csv = "start,end,failed_checks,seconds,cause,stopped_after,start_utc,end_utc\n";
    for (const Outage& outage : report.outages) {
        csv += core::isoDateTime(outage.start) + "," + core::isoDateTime(outage.end) + "," +
               std::to_string(outage.checks) + "," + std::to_string(outage.span().count()) + "," +
               field(causes ? causeList(outage) : "") + "," +
               field(causes ? stoppedAfter(outage) : "") + "," + utc(outage.startUtc) + "," +
               utc(outage.endUtc) + "\n";
    }
    return csv;
}

} // namespace report
