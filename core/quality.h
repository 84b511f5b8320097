// The connection's quality while it is up, as the record's quality lines carry it: for each
// window, per family and segment (the gateway; the Internet past the provider's edge), probes sent
// and answered and the spread of their round trips, and how long the site's name took to resolve.
//   2026-12-09T19:05:00+01:00 quality span=300s ipv4-gateway=30/30/0.4/0.4/0.5/0.7/1.2/0.1
//       ipv4-internet=30/27/11.0/11.2/12.0/14.8/20.1/1.1 degraded=ipv4-internet name=23ms
#pragma once

#include <array>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "watch_record.h"

namespace core::quality {

inline constexpr std::array<std::string_view, 2> families{"ipv4", "ipv6"};
enum class Segment { gateway, internet };
inline constexpr std::array<std::string_view, 2> segmentWords{"gateway", "internet"};

// One family's figures on one segment over a window. Round trips in milliseconds, where any probe
// was answered: the least, the 10th, 50th and 90th percentiles (nearest rank), the most, and the
// jitter, the mean difference between consecutive round trips.
struct Figures {
    long sent = 0;
    long received = 0;
    double minimum = 0;
    double p10 = 0;
    double median = 0;
    double p90 = 0;
    double maximum = 0;
    double jitter = 0;
    double loss() const {
        return sent > 0 ? 1.0 - static_cast<double>(received) / static_cast<double>(sent) : 0.0;
    }
};
// From the round trips of the answered probes, in the order they were sent.
Figures figuresOf(long sent, std::vector<double> roundTrips);

struct Group {
    std::string_view family; // one of families
    Segment segment = Segment::internet;
    Figures figures;
    bool degraded = false;
};
// "ipv4-gateway"
std::string keyOf(std::string_view family, Segment segment);

struct Window {
    std::chrono::seconds span{0}; // it ends at its line's stamp
    std::vector<Group> groups;
    // How long the site's name took to resolve, the monitor's way; nothing where no lookup ended
    // in the window, or where it gave no address (unresolved).
    std::optional<std::chrono::milliseconds> name;
    bool nameUnresolved = false;
};

// The fields of a window's line, in their order: span, each group, the degraded ones, the name.
std::vector<std::pair<std::string, std::string>> fieldsOf(const Window& window);
// A quality line read back; nothing where any figure cannot be true (more answered than sent,
// round trips out of order) or the line was cut.
std::optional<Window> windowOf(const record::Line& line);

} // namespace core::quality
