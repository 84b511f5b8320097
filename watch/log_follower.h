// Following the monitor's log as it grows, by whatever appends to it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "system.h"
#include "watcher.h"

namespace watch {

class LogFollower {
  public:
    // From the end of what the log holds now: only what comes later is new.
    explicit LogFollower(std::filesystem::path log);

    // The failed checks in the whole lines appended since the last call. A log replaced by
    // another file, or cut shorter, is new from its start; a line not yet ended waits.
    std::vector<FailedCheck> newChecks();

  private:
    std::filesystem::path log_;
    std::optional<core::system::FileIdentity> identity_;
    std::uintmax_t offset_ = 0;
    std::string unfinished_;
};

} // namespace watch
