// Why an outage happened: the verdict it counts under, or unwatched where no watcher saw it.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "verdict.h"

namespace report {

using core::Verdict;

// Each of the watcher's verdicts, then the report's own word for an outage logged while nothing
// watched.
class Cause {
  public:
    // NOLINTNEXTLINE(google-explicit-constructor): every verdict is a cause
    constexpr Cause(Verdict verdict) : index_(static_cast<std::size_t>(verdict)) {}
    static constexpr Cause unwatched() { return Cause(core::verdictWords.size()); }
    // Every cause in order, as the tables and the metrics list them.
    static constexpr std::size_t count = core::verdictWords.size() + 1;
    static constexpr Cause at(std::size_t index) { return Cause(index); }

    constexpr std::size_t index() const { return index_; }
    constexpr std::string_view name() const {
        return index_ < core::verdictWords.size() ? core::verdictWords[index_] : "unwatched";
    }
    constexpr bool operator==(const Cause&) const = default;

  private:
    explicit constexpr Cause(std::size_t index) : index_(index) {}
    std::size_t index_;
};

// A cause in plain words for a person and a support desk: who it points at, what the watcher
// found, and what to do.
struct CauseWords {
    std::string_view who;
    std::string_view found;
    std::string_view toDo;
};

// In the causes' order.
inline constexpr std::array<CauseWords, Cause::count> causeWords{{
    {"your own network",
     "No way out of this computer: no route to the Internet, or the router did not answer.",
     "Check the router, its cables and the Wi-Fi; restart the router if it is unresponsive."},
    {"name service",
     "The Internet answered, but the site's name did not resolve, or resolved to an address "
     "inside the home network.",
     "Check the DNS servers the router or computer uses, or try a public one; the provider's "
     "name servers are theirs to mend."},
    {"your provider",
     "Your router answered; nothing past the provider's edge did, so the path stops in their "
     "network.",
     "Give your provider this page: each outage's evidence shows where the path stopped."},
    {"the site alone", "Everything answered except the site the monitor checks.",
     "Nothing to mend at your end: the site itself was down or refused connections."},
    {"back before it could be diagnosed",
     "By the time the watcher looked, seconds later, the site answered again.",
     "A short interruption; many of them close together point at an unstable line."},
    {"not known", "The evidence could not tell where the way broke (the routes could not be read).",
     "Look at the outage's evidence."},
    {"not watched", "The monitor logged it while no watcher ran, so nothing diagnosed it.",
     "Keep connectivity-watch running (once installed it starts when you sign in)."},
}};

constexpr const CauseWords& wordsOf(Cause cause) {
    return causeWords[cause.index()];
}

} // namespace report
