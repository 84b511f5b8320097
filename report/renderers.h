// The report's outputs, each rendered whole from the figures.
#pragma once

#include <cstdio>
#include <string>

#include "output_file.h"
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

// The record's quality windows of the period, a row each per family and segment, written piece by
// piece as the record is read again; 0, the failure to write, or -1 where reading failed.
core::system::Failure qualityCsv(std::FILE* record, const Period& period, const Write& write);

} // namespace report
