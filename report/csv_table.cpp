// The outages as CSV, for a spreadsheet: local times in ISO 8601, spans in whole seconds, causes.
#include "renderers.h"
#include "time_text.h"

namespace report {

std::string csvTable(const Report& report) {
    // The cause last, empty without the watcher's record; quoted where it holds a comma.
    const bool causes = report.watch && report.watch->problem.empty();
    std::string csv = "start,end,failed_checks,seconds,cause\n";
    for (const Outage& outage : report.outages) {
        const std::string cause = causes ? causeList(outage) : "";
        csv += core::isoDateTime(outage.start) + "," + core::isoDateTime(outage.end) + "," +
               std::to_string(outage.checks) + "," + std::to_string(outage.span().count()) + "," +
               (cause.find(',') != std::string::npos ? "\"" + cause + "\"" : cause) + "\n";
    }
    return csv;
}

} // namespace report
