// What the watcher's Windows parts share by name: the folder's claim and the event that asks one
// watcher to stop.
#pragma once

#include <string>

#include "system.h"

namespace watch::os {

// Named by the folder's identity, not its spelling: one folder, one name, however it is reached
// and wherever it is moved.
inline std::wstring claimName(const core::system::FileIdentity& folder) {
    return L"Local\\ConnectivityWatch.Folder." + std::to_wstring(folder.device) + L"." +
           std::to_wstring(folder.file);
}

// Named by the watcher's process: a request made of one watcher is never seen by a later one.
inline std::wstring stopEventName(unsigned long process) {
    return L"Local\\ConnectivityWatch.Stop." + std::to_wstring(process);
}

} // namespace watch::os
