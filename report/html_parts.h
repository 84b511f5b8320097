// What the page's parts share: text made safe for HTML, appending without temporaries, the
// colour of each cause, and the days a page shows.
#pragma once

#include <chrono>
#include <string>

#include "report.h"

namespace report::html {

// Appends each piece in turn, without the temporaries that a chain of + would make.
template <typename... Pieces> void append(std::string& out, const Pieces&... pieces) {
    (out.append(pieces), ...);
}

std::string escaped(const std::string& text);

// The class an outage's mark takes: its first cause's colour, or the plain mark without a record.
std::string markClass(const Outage& outage, bool causes);

// The local days from the first thing the report knows to the last: outages and watched time.
struct Days {
    std::chrono::local_days first;
    std::chrono::local_days last;
    long count() const { return (last - first).count() + 1; }
};
std::optional<Days> daysOf(const Report& report);

// One square per day, weeks as columns and a row of months, each day coloured by its downtime
// and hatched where nothing watched it.
void appendCalendar(std::string& page, const Report& report, const Days& days);

// What each cause that occurred means and what to do about it.
void appendLegend(std::string& page, const WatchFigures& watch);
// Behind an outage's cause, folded: what the first diagnosis of that cause found, stage by stage
// and hop by hop. Nothing where no diagnosis said.
void appendEvidence(std::string& page, const Outage& outage);

// The connection's quality while up: its figures, the degraded stretches, and a chart per day
// (per week beyond 62 days) of each segment's round trips and loss.
void appendQuality(std::string& page, const Quality& quality, const Days& days);

} // namespace report::html
