// The platform doubles behind the seam header, driven by a Script.
#include "platform_double.h"

#include <ctime>
#include <filesystem>
#include <utility>

#include "windows_services.h"

namespace platform_double {
namespace {

Script script;
std::vector<std::string> events;
int probes = 0;
int pauses = 0;
int clockReads = 0;

} // namespace

void reset(Script newScript) {
    script = std::move(newScript);
    events.clear();
    probes = pauses = clockReads = 0;
}

void record(std::string event) {
    if (script.recordTrace) {
        events.push_back(std::move(event));
    }
}

bool recording() {
    return script.recordTrace;
}
const std::vector<std::string>& trace() {
    return events;
}
int probeCount() {
    return probes;
}
int pauseCount() {
    return pauses;
}

bool logHeldOpen() {
#ifdef _WIN32
    // Any open handle, whatever it shares, makes an exclusive open fail.
    HANDLE handle = CreateFileW(L"connectivityLog.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
        return false;
    }
    return GetLastError() == ERROR_SHARING_VIOLATION;
#else
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
        const auto target = std::filesystem::read_symlink(entry.path(), error);
        if (!error && target.filename() == "connectivityLog.txt") {
            return true;
        }
    }
    return false;
#endif
}

char* timeTextOf(std::int64_t time) {
    if (time < 0) {
        return nullptr;
    }
    const auto asTimeT = static_cast<std::time_t>(time);
    return std::asctime(std::gmtime(&asTimeT));
}

BOOL checkConnection(LPCWSTR url, DWORD flags, DWORD reserved) {
    const bool verdict =
        probes < static_cast<int>(script.verdicts.size()) && script.verdicts[probes];
    ++probes;
    if (recording()) {
        record("probe " + std::filesystem::path(url).string() + " flags " + std::to_string(flags) +
               " reserved " + std::to_string(reserved));
    }
    return verdict ? TRUE : FALSE;
}

void sleep(DWORD milliseconds) {
    ++pauses;
    if (recording()) {
        record("pause " + std::to_string(milliseconds) +
               (logHeldOpen() ? ", log open" : ", log closed"));
    }
    if (script.duringPause) {
        script.duringPause(pauses);
    }
    if (pauses >= script.stopAfterPauses) {
        throw MonitorStopped{};
    }
}

__time64_t time64(__time64_t* destTime) {
    const int read = clockReads++;
    record("clock");
    const std::int64_t now = read < static_cast<int>(script.clock.size())
                                 ? script.clock[read]
                                 : script.firstTime + script.secondsPerCycle * read;
    if (destTime != nullptr) {
        *destTime = now;
    }
    return now;
}

char* ctime64(const __time64_t* sourceTime) {
    return timeTextOf(*sourceTime);
}

} // namespace platform_double
