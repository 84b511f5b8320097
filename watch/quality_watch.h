// The connection's quality while it is up, window by window: the sampler's probes gathered into
// windows aligned to the wall clock, each written as a quality line and judged against the last
// day's windows, and a stretch of degraded windows told of once it lasts two.
#pragma once

#include <chrono>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "quality.h"

namespace watch {

using core::quality::Segment;
using Milliseconds = std::chrono::sys_time<std::chrono::milliseconds>;

// One probe's outcome, as the sampler reports it.
struct Sample {
    std::string_view family; // "ipv4", "ipv6"
    Segment segment = Segment::internet;
    Milliseconds sent;               // by the wall clock
    std::optional<double> roundTrip; // in milliseconds; nothing: lost
};

// The site's name looked up the monitor's way, timed.
struct NameLookup {
    Milliseconds started;
    std::optional<std::chrono::milliseconds> took; // nothing: it gave no address
};

// When a window is degraded: a segment's loss at least this share (of at least minimumProbes), or
// its median round trip at least slower times its usual one and margin milliseconds more.
struct Thresholds {
    double loss = 0.10;
    double slower = 3.0;
    double margin = 50.0;
};

// A stretch of degraded windows, as it is told: where it lies and the figure that shows it.
struct Degradation {
    bool local = false; // the gateway's segment degraded in half its windows or more
    Milliseconds since; // its first window's start
    std::chrono::seconds span{0};
    double loss = 0;   // of the segment's worst family, in its last degraded window
    double median = 0; // milliseconds
    double usual = 0;  // milliseconds; 0 where not known
};

class QualityWatch {
  public:
    QualityWatch(std::chrono::seconds window, Thresholds thresholds);

    // The last day's windows and the last stretch told of, as the record has them: the usual
    // round trips, and a stretch that goes on.
    void remember(const std::vector<core::record::Line>& recent);
    void add(const Sample& sample);
    void add(const NameLookup& lookup);

    struct Closed {
        core::quality::Window window;
        Milliseconds end;
        // A stretch that has lasted two windows now (degraded), or has ended (recovered).
        std::optional<std::pair<bool, Degradation>> told; // degraded?, figures
    };
    // The window, once it and its probes' time are over; empty where it holds no probe.
    std::optional<Closed> due(Milliseconds now);
    // The window ended early, at when: the machine slept, the clock was set or watching stops.
    // What is in flight is dropped; the next window begins at resume.
    std::optional<Closed> cut(Milliseconds when, Milliseconds resume);

    // The last window's figures of the Internet past the edge, the first family that has them.
    std::optional<core::quality::Figures> last() const { return last_; }
    // The last window's worst loss at the gateway and past the edge, where it ended lately.
    std::optional<std::pair<double, double>> lastLoss(Milliseconds now) const;
    // The stretch going on, where it has been told of.
    std::optional<Degradation> degraded() const;

    // The most a window's probe may take to answer: a window is closed this long after its end.
    static constexpr std::chrono::milliseconds grace{2500};
    // The fewest probes a window's segment judges loss by, and medians its usual round trip is.
    static constexpr long minimumProbes = 5;
    static constexpr std::size_t minimumHistory = 3;

  private:
    void begin(Milliseconds at);
    std::optional<Closed> close(Milliseconds end);
    std::optional<std::pair<bool, Degradation>> judge(core::quality::Window& window,
                                                      Milliseconds start, Milliseconds end);
    double usual(const std::string& key) const;

    std::chrono::seconds length_;
    Thresholds thresholds_;
    std::optional<Milliseconds> start_;
    Milliseconds end_{};
    std::vector<Sample> samples_; // of this window and, beyond its end, the next
    std::vector<NameLookup> lookups_;
    // Each family and segment's medians of the last day's windows, by their ends.
    std::map<std::string, std::deque<std::pair<Milliseconds, double>>> history_;
    std::optional<core::quality::Figures> last_;
    std::optional<std::pair<double, double>> lastLoss_; // gateway, internet
    Milliseconds lastEnd_{};

    struct Stretch {
        Milliseconds start;
        Milliseconds end;
        int windows = 0;
        int gatewayWindows = 0;
        bool told = false;
        Degradation figures;
    };
    std::optional<Stretch> stretch_;
};

} // namespace watch
