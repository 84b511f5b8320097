// The report's outputs, each rendered whole from the figures.
#pragma once

#include <string>

#include "report.h"

namespace report {

// The summary for a console of 80 columns; source names the log read.
std::string textSummary(const Report& report, const std::string& source);

// One row per outage: start,end,failed_checks,seconds with local times as in the log.
std::string csvTable(const Report& report);

// One self-contained page: no script, and nothing fetched from anywhere.
std::string htmlPage(const Report& report, const std::string& source);

// Prometheus' text exposition format; a figure that does not exist yet is left out.
std::string metrics(const Report& report);

} // namespace report
