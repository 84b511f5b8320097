// Why an outage happened: the verdict it counts under, or unwatched where no watcher saw it.
#pragma once

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

} // namespace report
