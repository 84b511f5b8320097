// The connection's quality while it was up, from the record's quality lines: per family and
// segment the probes sent and answered and how the windows' round trips spread, the hours of the
// day they were worst, the stretches the watcher found degraded, and the points the page draws.
#pragma once

#include <array>
#include <chrono>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "period.h"
#include "quality.h" // the record's quality lines

namespace report {

using core::quality::Segment;

// How values spread, each with a weight: a histogram on a logarithmic scale (steps of 1%), so
// ten years of windows take no more room than one.
class Spread {
  public:
    void add(double value, long weight);
    // The value below which this share of the weight lies; 0 where there is none.
    double quantile(double share) const;
    bool empty() const { return total_ == 0; }

  private:
    std::map<int, long> bins_;
    long total_ = 0;
};

// One window on the page, or beyond 62 days one hour, its round trips in milliseconds.
struct ChartPoint {
    std::chrono::sys_seconds from;
    std::chrono::sys_seconds to;
    std::chrono::seconds offset{0}; // of local time then
    float p10 = 0;
    float median = 0;
    float p90 = 0;
    float loss = 0; // a share
    long received = 0;
};

struct GroupQuality {
    std::string_view family;
    Segment segment = Segment::internet;
    long windows = 0;
    long long sent = 0;
    long long received = 0;
    Spread medians;          // the windows' medians, each by its answered probes
    double jitterWeight = 0; // the windows' jitters, each by its answered probes
    // By the local hour of the day a window began: its medians and probes, for the worst hours.
    std::array<double, 24> hourMedians{};
    std::array<long long, 24> hourReceived{};
    std::deque<ChartPoint> points; // each window of the last 63 days
    std::vector<ChartPoint> hours; // each hour, its windows' means
    std::optional<core::quality::Figures> last;
    std::chrono::sys_seconds lastEnd{};
    double loss() const {
        return sent > 0 ? 1.0 - static_cast<double>(received) / static_cast<double>(sent) : 0.0;
    }
    double jitter() const {
        return received > 0 ? jitterWeight / static_cast<double>(received) : 0.0;
    }
};

// Degraded windows in a row, two or more: where they lay and how bad it was at its worst.
struct DegradedStretch {
    std::chrono::sys_seconds from;
    std::chrono::sys_seconds to;
    std::chrono::seconds offset{0}; // of local time at its start
    int windows = 0;
    int gatewayWindows = 0;
    bool local() const { return 2 * gatewayWindows >= windows; }
    double loss = 0;   // the worst window's of the segment it lay in
    double median = 0; // likewise, milliseconds
};

struct Quality {
    // ipv4 gateway, ipv4 internet, ipv6 gateway, ipv6 internet
    std::array<GroupQuality, 4> groups{};
    std::vector<DegradedStretch> stretches;
    long windows = 0;
    std::chrono::seconds measured{0};
    std::chrono::seconds longestWindow{0};
    long lookups = 0;
    long unresolved = 0;
    Spread names; // how long the site's name took, in milliseconds
    bool any() const { return windows > 0; }
};

// What the summary and the page both say of quality, in the same words.
std::string groupName(const GroupQuality& group); // "ipv4 internet"
std::string roundTripText(double milliseconds);   // "12.0"
std::string lossText(double share);               // "0.41%"
// The hours of the day (0 to 23) when a group's windows' round trips were slowest, slowest first,
// with their mean; only hours with enough of its probes to say.
std::vector<std::pair<int, double>> worstHours(const GroupQuality& group, std::size_t most);
// "provider: 18% loss", "local: round trips of 48.0 ms"
std::string stretchText(const DegradedStretch& stretch);

// Gathers a record's quality lines as it is read: those of windows that began on a day of the
// period.
class QualityReader {
  public:
    QualityReader(Quality& quality, Period period);
    void add(const core::record::Line& line);
    void finish();

  private:
    void closeStretch();

    Quality& quality_;
    Period period_;
    std::optional<DegradedStretch> stretch_;
};

} // namespace report
