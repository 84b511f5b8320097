// The unpaused build's probe and pause. MONITOR_PROBE_URL redirects the probe (say, to a loopback
// port); MONITOR_CYCLES ends the process after that many cycles, reporting on standard error the
// resident KiB and open descriptors after the first 10,000 cycles and at the end.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "windows_services.h"
#undef InternetCheckConnectionW
#undef Sleep

namespace unpaused {
namespace {

long residentKib() {
    std::ifstream statm("/proc/self/statm");
    long sizePages = 0;
    long residentPages = 0;
    statm >> sizePages >> residentPages;
    return residentPages * 4;
}

long openDescriptors() {
    const auto entries = std::filesystem::directory_iterator("/proc/self/fd");
    return static_cast<long>(std::distance(begin(entries), end(entries)));
}

std::wstring probeUrlOverride() {
    const char* url = std::getenv("MONITOR_PROBE_URL");
    return url == nullptr ? std::wstring()
                          : std::wstring(url, url + std::char_traits<char>::length(url));
}

} // namespace

BOOL checkConnection(LPCWSTR url, DWORD flags, DWORD reserved) {
    static const std::wstring redirected = probeUrlOverride();
    return InternetCheckConnectionW(redirected.empty() ? url : redirected.c_str(), flags, reserved);
}

void skipPause(DWORD /*milliseconds*/) {
    static const char* const limitText = std::getenv("MONITOR_CYCLES");
    static const long limit = limitText == nullptr ? 0 : std::atol(limitText);
    static long cycles = 0;
    static long kibAfterWarmUp = 0;
    static long descriptorsAfterWarmUp = 0;
    if (++cycles == 10'000) {
        kibAfterWarmUp = residentKib();
        descriptorsAfterWarmUp = openDescriptors();
    }
    if (cycles == limit) {
        std::fprintf(stderr, "cycles %ld resident-kib %ld %ld descriptors %ld %ld\n", cycles,
                     kibAfterWarmUp, residentKib(), descriptorsAfterWarmUp, openDescriptors());
        std::exit(0);
    }
}

} // namespace unpaused
