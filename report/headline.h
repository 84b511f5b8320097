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
    std::string title;              // "2024-02-12 to 2024-02-18", or "no outages"
    std::vector<Figure> figures;    // in the order shown
    std::vector<std::string> notes; // sentences that explain the figures
};

Headline headline(const Report& report);

} // namespace report
