// The outages as CSV, for a spreadsheet: local times in ISO 8601, spans in whole seconds.
#include "renderers.h"
#include "time_text.h"

namespace report {

std::string csvTable(const Report& report) {
    std::string csv = "start,end,failed_checks,seconds\n";
    for (const Outage& outage : report.outages) {
        csv += isoDateTime(outage.start) + "," + isoDateTime(outage.end) + "," +
               std::to_string(outage.checks) + "," + std::to_string(outage.span().count()) + "\n";
    }
    return csv;
}

} // namespace report
