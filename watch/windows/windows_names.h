// What the watcher's Windows parts share by name: the event that asks a folder's watcher to stop.
#pragma once

#include <filesystem>
#include <string>

#include "system.h"

namespace watch::os {

// Named by the record's identity, not its spelling: one folder, one name, however it is reached.
inline std::wstring stopEventName(const std::filesystem::path& record) {
    const auto identity = core::system::identityOf(record);
    return L"Local\\ConnectivityWatch.Stop." + std::to_wstring(identity ? identity->device : 0) +
           L"." + std::to_wstring(identity ? identity->file : 0);
}

} // namespace watch::os
