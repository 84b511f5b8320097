// What the summary and the page both say about a report, decided once and laid out by each.
#pragma once

#include <string>
#include <vector>

#include "report.h"

namespace report {

struct Figure {
    std::string label;  // "Failed checks"
    std::string value;  // "228"
    std::string detail; // "1 of them without a time"; may be empty
};

struct Headline {
    std::string title; // "2024-02-12 to 2024-02-18", or "no outages"
    // With the watcher's record: "Watched 161h 12m of 168h 00m (95.9%); available 98.83% to
    // 98.87% of the watched time". Empty without one.
    std::string lead;
    std::vector<Figure> figures;    // in the order shown
    std::vector<std::string> notes; // sentences that explain the figures
    // The times' zone: "Times are local, UTC+01:00." or with each change of offset; without the
    // watcher's record, that the log does not say.
    std::string times;
};

Headline headline(const Report& report);

} // namespace report
