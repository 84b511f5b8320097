// A quality window's figures: made from round trips, written as a line's fields and read back.
#include "quality.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "whole_number.h"

namespace core::quality {
namespace {

// The value at a share of the sorted round trips, by nearest rank.
double rank(const std::vector<double>& sorted, double share) {
    const auto index = static_cast<std::size_t>(
        std::max(1.0, std::ceil(share * static_cast<double>(sorted.size()))));
    return sorted[std::min(index, sorted.size()) - 1];
}

std::string roundTripText(double value) {
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%.1f", value);
    return text.data();
}

// A round trip as the line writes it: digits, a point and a digit.
bool roundTripIn(std::string_view text, double& value) {
    const std::size_t point = text.find('.');
    if (point == std::string_view::npos || point + 2 != text.size()) {
        return false;
    }
    const auto whole = digitsOnly<long long>(text.substr(0, point));
    const auto tenths = digitsOnly<long long>(text.substr(point + 1));
    value = static_cast<double>(whole.value_or(0)) + static_cast<double>(tenths.value_or(0)) / 10;
    return whole && tenths;
}

// "sent/received/min/p10/median/p90/max/jitter", the round trips "-" where none was answered.
std::optional<Figures> figuresIn(std::string_view text) {
    std::array<std::string_view, 8> parts{};
    std::size_t count = 0;
    for (std::size_t at = 0; count < parts.size(); ++count) {
        const std::size_t slash = text.find('/', at);
        parts[count] = text.substr(at, slash - at);
        if (slash == std::string_view::npos) {
            ++count;
            break;
        }
        at = slash + 1;
    }
    if (count != parts.size() || parts.back().find('/') != std::string_view::npos) {
        return std::nullopt;
    }
    const auto sent = digitsOnly<long>(parts[0]);
    const auto received = digitsOnly<long>(parts[1]);
    if (!sent || !received || *received > *sent) {
        return std::nullopt;
    }
    Figures figures{*sent, *received};
    if (figures.received == 0) {
        return std::all_of(parts.begin() + 2, parts.end(),
                           [](std::string_view part) { return part == "-"; })
                   ? std::optional(figures)
                   : std::nullopt;
    }
    std::array<double, 6> values{};
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (!roundTripIn(parts[i + 2], values[i])) {
            return std::nullopt;
        }
    }
    const auto [minimum, p10, median, p90, maximum, jitter] = values;
    if (!(minimum <= p10 && p10 <= median && median <= p90 && p90 <= maximum)) {
        return std::nullopt; // no set of round trips has these
    }
    figures.minimum = minimum;
    figures.p10 = p10;
    figures.median = median;
    figures.p90 = p90;
    figures.maximum = maximum;
    figures.jitter = jitter;
    return figures;
}

} // namespace

Figures figuresOf(long sent, std::vector<double> roundTrips) {
    Figures figures{sent, static_cast<long>(roundTrips.size())};
    if (roundTrips.empty()) {
        return figures;
    }
    double differences = 0;
    for (std::size_t i = 1; i < roundTrips.size(); ++i) {
        differences += std::abs(roundTrips[i] - roundTrips[i - 1]);
    }
    figures.jitter =
        roundTrips.size() > 1 ? differences / static_cast<double>(roundTrips.size() - 1) : 0.0;
    std::sort(roundTrips.begin(), roundTrips.end());
    figures.minimum = roundTrips.front();
    figures.p10 = rank(roundTrips, 0.1);
    figures.median = rank(roundTrips, 0.5);
    figures.p90 = rank(roundTrips, 0.9);
    figures.maximum = roundTrips.back();
    return figures;
}

std::string keyOf(std::string_view family, Segment segment) {
    std::string key(family);
    key.append("-").append(segmentWords[static_cast<std::size_t>(segment)]);
    return key;
}

std::vector<std::pair<std::string, std::string>> fieldsOf(const Window& window) {
    std::vector<std::pair<std::string, std::string>> fields{
        {"span", std::to_string(window.span.count()) + "s"}};
    std::string degraded;
    for (const Group& group : window.groups) {
        const Figures& f = group.figures;
        std::string value = std::to_string(f.sent);
        value.append("/").append(std::to_string(f.received));
        for (const double figure : {f.minimum, f.p10, f.median, f.p90, f.maximum, f.jitter}) {
            value.append("/").append(f.received > 0 ? roundTripText(figure) : "-");
        }
        fields.emplace_back(keyOf(group.family, group.segment), value);
        if (group.degraded) {
            degraded.append(degraded.empty() ? "" : ",").append(keyOf(group.family, group.segment));
        }
    }
    if (!degraded.empty()) {
        fields.emplace_back("degraded", degraded);
    }
    fields.emplace_back("name", window.nameUnresolved ? "unresolved"
                                : window.name         ? std::to_string(window.name->count()) + "ms"
                                                      : "-");
    return fields;
}

std::optional<Window> windowOf(const record::Line& line) {
    Window window;
    const std::string_view span = line.field("span");
    const std::string_view name = line.field("name");
    std::string_view spanDigits = span;
    spanDigits.remove_suffix(span.ends_with('s') ? 1 : 0);
    std::string_view nameDigits = name;
    nameDigits.remove_suffix(name.ends_with("ms") ? 2 : nameDigits.size());
    const auto seconds = digitsOnly<long long>(spanDigits);
    const auto took = digitsOnly<long long>(nameDigits);
    if (!span.ends_with('s') || !seconds || (!took && name != "-" && name != "unresolved")) {
        return std::nullopt;
    }
    window.span = std::chrono::seconds{*seconds};
    if (took) {
        window.name = std::chrono::milliseconds{*took};
    }
    window.nameUnresolved = name == "unresolved";
    const std::string_view degraded = line.field("degraded");
    std::size_t degradedFound = 0;
    for (const std::string_view family : families) {
        for (const Segment segment : {Segment::gateway, Segment::internet}) {
            const std::string key = keyOf(family, segment);
            const auto value = line.find(key);
            if (!value) {
                continue;
            }
            const auto figures = figuresIn(*value);
            if (!figures) {
                return std::nullopt;
            }
            bool isDegraded = false;
            for (std::size_t at = 0; at <= degraded.size();) {
                const std::size_t comma = std::min(degraded.find(',', at), degraded.size());
                isDegraded = isDegraded || degraded.substr(at, comma - at) == key;
                at = comma + 1;
            }
            degradedFound += isDegraded ? 1 : 0;
            window.groups.push_back({family, segment, *figures, isDegraded});
        }
    }
    // Every degraded group named is one of the line's: a list cut short names one that is not.
    const auto named = degraded.empty() ? 0 : std::count(degraded.begin(), degraded.end(), ',') + 1;
    if (static_cast<std::size_t>(named) != degradedFound) {
        return std::nullopt;
    }
    return window;
}

} // namespace core::quality
