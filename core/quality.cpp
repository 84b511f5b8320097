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

// A round trip as the line writes it: digits, a point and a digit. Read digit by digit: a
// record holds a million of them.
bool roundTripIn(std::string_view text, double& value) {
    if (text.size() < 3 || text.size() > 12 || text[text.size() - 2] != '.') {
        return false;
    }
    long long whole = 0;
    for (const char c : text.substr(0, text.size() - 2)) {
        if (c < '0' || c > '9') {
            return false;
        }
        whole = whole * 10 + (c - '0');
    }
    const char tenth = text.back();
    if (tenth < '0' || tenth > '9') {
        return false;
    }
    value = static_cast<double>(whole) + (tenth - '0') / 10.0;
    return true;
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
    std::string_view span;
    std::string_view name;
    std::string_view degraded;
    bool wellFormed = true;
    // One pass over the fields: a record holds a window every five minutes for years.
    line.forEach([&](std::string_view key, std::string_view value) {
        if (key == "span") {
            span = value;
        } else if (key == "name") {
            name = value;
        } else if (key == "degraded") {
            degraded = value;
        } else if (const std::size_t dash = key.find('-'); dash != std::string_view::npos) {
            const auto family = std::find(families.begin(), families.end(), key.substr(0, dash));
            const std::string_view segment = key.substr(dash + 1);
            const std::size_t index = segment == segmentWords[0]   ? 0
                                      : segment == segmentWords[1] ? 1
                                                                   : segmentWords.size();
            if (family != families.end() && index < segmentWords.size()) {
                const auto figures = figuresIn(value);
                // A group given twice is a line edited by hand: neither is to be believed.
                wellFormed = figures.has_value() &&
                             std::none_of(window.groups.begin(), window.groups.end(),
                                          [&](const Group& group) {
                                              return group.family == *family &&
                                                     group.segment == static_cast<Segment>(index);
                                          });
                if (figures) {
                    window.groups.push_back(
                        {*family, static_cast<Segment>(index), *figures, false});
                }
            }
        }
        return wellFormed;
    });
    std::string_view spanDigits = span;
    spanDigits.remove_suffix(span.ends_with('s') ? 1 : 0);
    std::string_view nameDigits = name;
    nameDigits.remove_suffix(name.ends_with("ms") ? 2 : nameDigits.size());
    const auto seconds = digitsOnly<long long>(spanDigits);
    const auto took = digitsOnly<long long>(nameDigits);
    if (!wellFormed || !span.ends_with('s') || !seconds ||
        (!took && name != "-" && name != "unresolved")) {
        return std::nullopt;
    }
    window.span = std::chrono::seconds{*seconds};
    if (took) {
        window.name = std::chrono::milliseconds{*took};
    }
    window.nameUnresolved = name == "unresolved";
    // In the families' order and each family's segments', whatever the line's.
    std::sort(window.groups.begin(), window.groups.end(), [](const Group& a, const Group& b) {
        const auto rankOf = [](const Group& group) {
            return 2 * (std::find(families.begin(), families.end(), group.family) -
                        families.begin()) +
                   static_cast<long>(group.segment);
        };
        return rankOf(a) < rankOf(b);
    });
    // Every degraded group named is one of the line's: a list cut short names one that is not.
    std::size_t named = 0;
    for (std::size_t at = 0; !degraded.empty() && at <= degraded.size();) {
        const std::size_t comma = std::min(degraded.find(',', at), degraded.size());
        const std::string_view key = degraded.substr(at, comma - at);
        for (Group& group : window.groups) {
            if (key == keyOf(group.family, group.segment)) {
                group.degraded = true;
                ++named;
                break;
            }
        }
        at = comma + 1;
    }
    const auto listed =
        degraded.empty() ? 0 : std::count(degraded.begin(), degraded.end(), ',') + 1;
    if (static_cast<std::size_t>(listed) != named) {
        return std::nullopt;
    }
    return window;
}

} // namespace core::quality
