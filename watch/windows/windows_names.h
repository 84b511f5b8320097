// What the watcher's Windows parts share by name: the folder's claim and the event that asks one
// watcher to stop.
#pragma once

#include <string>

#include "system.h"

namespace watch::os {

using core::system::claimName;

// Named by the watcher's process: a request made of one watcher is never seen by a later one.
inline std::wstring stopEventName(unsigned long process) {
    return L"Local\\ConnectivityWatch.Stop." + std::to_wstring(process);
}

} // namespace watch::os
