// Test seam: compiles the monitor against scripted doubles of the platform calls it makes.
#pragma once

#include "../../platform/windows_services.h"

namespace platform_double {
BOOL checkConnection(LPCWSTR url, DWORD flags, DWORD reserved);
void sleep(DWORD milliseconds);
__time64_t time64(__time64_t* destTime);
char* ctime64(const __time64_t* sourceTime);
} // namespace platform_double

// NOLINTBEGIN: the names being replaced are the platform's own
#define InternetCheckConnectionW platform_double::checkConnection
#define Sleep platform_double::sleep
#define _time64 platform_double::time64
#define _ctime64 platform_double::ctime64
// The monitor's entry point becomes a function that each scenario calls.
#define main runMonitor
// NOLINTEND
