// The unpaused build's probe and pause. MONITOR_PROBE_URL redirects the probe (say, to a loopback
// port); MONITOR_CYCLES ends the process after that many cycles, reporting on standard error the
// anonymous resident KiB and open descriptors after the first 10,000 cycles and at the end.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "loopback_peers.h"
#include "windows_services.h"
#undef InternetCheckConnectionW
#undef Sleep

namespace unpaused {
namespace {

// Anonymous resident memory in KiB: heap and stacks, where leaks live, without code pages.
long anonymousKib() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("RssAnon:", 0) == 0) {
            return std::stol(line.substr(8));
        }
    }
    return -1;
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
    static int descriptorsAfterWarmUp = 0;
    if (++cycles == 10'000) {
        kibAfterWarmUp = anonymousKib();
        descriptorsAfterWarmUp = loopback::openDescriptorCount();
    }
    if (cycles == limit) {
        std::fprintf(stderr, "cycles %ld anonymous-kib %ld %ld descriptors %d %d\n", cycles,
                     kibAfterWarmUp, anonymousKib(), descriptorsAfterWarmUp,
                     loopback::openDescriptorCount());
        std::exit(0);
    }
}

} // namespace unpaused
