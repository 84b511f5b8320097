// The local days a report covers, both ends included; open where not given.
#pragma once

#include <chrono>
#include <optional>

namespace report {

struct Period {
    std::optional<std::chrono::local_days> since;
    std::optional<std::chrono::local_days> until;
    bool contains(std::chrono::local_days day) const {
        return (!since || day >= *since) && (!until || day <= *until);
    }
    bool isWhole() const { return !since && !until; }
};

} // namespace report
