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

    // The failed checks in the whole lines the log gained since the last call; a line not yet
    // ended waits. A log replaced by another file or cut shorter (an editor saving it, a trim) is
    // read on after the last check already seen in it; where that check is not in it any more,
    // only its checks later than any already seen are new.
    std::vector<FailedCheck> newChecks();

  private:
    // Reads whole lines from offset_ up to size, handing each check to take with the offset just
    // past its line.
    template <typename Take> void readOn(std::uintmax_t size, Take take);
    // After the log was replaced or cut: where to read on in what it holds now.
    void findPlace(std::uintmax_t size);

    std::filesystem::path log_;
    std::optional<core::system::FileIdentity> identity_;
    std::uintmax_t offset_ = 0;
    std::string unfinished_;
    std::string lastSeen_;                      // the time text of the last check seen
    std::optional<core::LocalTime> latestSeen_; // the latest time of any check seen
    // Up to here, a check no later than the latest seen is one seen before.
    std::uintmax_t olderUntil_ = 0;
};

} // namespace watch
