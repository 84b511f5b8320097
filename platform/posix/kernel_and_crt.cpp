// Sleep, _time64 and _ctime64 for POSIX, on the C library's clocks.
#include <cerrno>
#include <ctime>

#include "../windows_services.h"

extern "C" void Sleep(DWORD dwMilliseconds) {
    // An absolute deadline on the monotonic clock: signals and clock changes neither cut the
    // pause short nor stretch it.
    timespec wakeAt{};
    ::clock_gettime(CLOCK_MONOTONIC, &wakeAt);
    wakeAt.tv_sec += static_cast<time_t>(dwMilliseconds / 1000);
    wakeAt.tv_nsec += static_cast<long>(dwMilliseconds % 1000) * 1'000'000L;
    if (wakeAt.tv_nsec >= 1'000'000'000L) {
        wakeAt.tv_sec += 1;
        wakeAt.tv_nsec -= 1'000'000'000L;
    }
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wakeAt, nullptr) == EINTR) {
    }
}

extern "C" __time64_t _time64(__time64_t* destTime) {
    const auto now = static_cast<__time64_t>(std::time(nullptr));
    if (destTime != nullptr) {
        *destTime = now;
    }
    return now;
}

extern "C" char* _ctime64(const __time64_t* sourceTime) {
    if (sourceTime == nullptr) {
        return nullptr;
    }
    const auto time = static_cast<std::time_t>(*sourceTime);
    return std::ctime(&time);
}
