// The diagnosis's verdicts, one word each: written by the watcher into its record and read back by
// the report, which colours, counts and labels outages by them.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

namespace core {

// Where the way to the probed site broke.
enum class Verdict {
    local,    // the computer's own network: no route out, or the router answers nothing
    dns,      // the Internet answers; the site's name does not resolve, or resolves wrongly
    provider, // the router answers, nothing beyond the provider's edge does
    site,     // everything answers but the probed site
    cleared,  // the probed site answers again by the time of the diagnosis
    unknown,  // the evidence cannot tell
};

inline constexpr std::array<std::string_view, 6> verdictWords{"local", "dns",     "provider",
                                                              "site",  "cleared", "unknown"};

inline constexpr std::string_view wordOf(Verdict verdict) {
    return verdictWords[static_cast<std::size_t>(verdict)];
}

// A verdict's word; nothing for any other word.
inline constexpr std::optional<Verdict> verdictNamed(std::string_view word) {
    for (std::size_t i = 0; i < verdictWords.size(); ++i) {
        if (verdictWords[i] == word) {
            return static_cast<Verdict>(i);
        }
    }
    return std::nullopt;
}

} // namespace core
