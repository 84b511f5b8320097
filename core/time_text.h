// How times and spans read in every output: local dates and times, spans in days to seconds.
#pragma once

#include <chrono>
#include <string>

#include "log_records.h"

namespace core {

std::string isoDate(std::chrono::local_days day);     // 2024-02-18
std::string weekdayDate(std::chrono::local_days day); // Sun 2024-02-18
std::string dateTime(LocalTime time);                 // 2024-02-18 00:29:21
std::string isoDateTime(LocalTime time);              // 2024-02-18T00:29:21
std::string clockTime(LocalTime time);                // 00:29:21
std::string offsetText(std::chrono::seconds offset);  // +01:00, -03:30
std::string spanText(std::chrono::seconds span);      // 1h 02m 04s
std::string hoursText(std::chrono::seconds span);     // 161h 12m
// A share as a percentage with the given decimals, rounded down or up: a bound never overstated.
std::string percentText(double share, int decimals, bool roundUp);
std::string count(long n, const char* singular, const char* plural);

} // namespace core
