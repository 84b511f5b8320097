// Why an outage happened, in the watcher's words: the verdicts of its checks' diagnoses.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace report {

// The watcher's verdicts, then two of the report's own: no diagnosis of any check of a watched
// outage (unknown too), and an outage logged while nothing watched.
enum class Cause { local, dns, provider, site, cleared, unknown, unwatched };
inline constexpr std::array<std::string_view, 7> causeNames{
    "local", "dns", "provider", "site", "cleared", "unknown", "unwatched"};

inline std::string_view nameOf(Cause cause) {
    return causeNames[static_cast<std::size_t>(cause)];
}

// A verdict's word; nothing for any other word.
inline std::optional<Cause> causeNamed(std::string_view name) {
    for (std::size_t i = 0; i + 1 < causeNames.size(); ++i) { // unwatched is no verdict
        if (causeNames[i] == name) {
            return static_cast<Cause>(i);
        }
    }
    return std::nullopt;
}

} // namespace report
