// Harness seam: the real monitor and probe with the pause removed, for long runs and cost figures.
#pragma once

#include "../../../platform/windows_services.h"

namespace unpaused {
BOOL checkConnection(LPCWSTR url, DWORD flags, DWORD reserved);
void skipPause(DWORD milliseconds);
} // namespace unpaused

#define InternetCheckConnectionW unpaused::checkConnection
#define Sleep unpaused::skipPause
