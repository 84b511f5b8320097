// The monitor as the watcher and the report know it: its program, its log, what it probes and how
// long it takes, as its own source fixes them.
#pragma once

#include <chrono>
#include <cstdint>
#include <string_view>

namespace core::monitor {

inline constexpr std::string_view programName = "connectivity-monitor";
// Written in the folder the monitor runs in.
inline constexpr std::string_view logName = "connectivityLog.txt";
// Each of its lines: this, then the time as ctime writes it.
inline constexpr std::string_view logLineStart = "internet connection test failed on";
// The site of its URL, https://www.google.com.
inline constexpr std::string_view probedHost = "www.google.com";
inline constexpr std::uint16_t probedPort = 443;

// The pause between its cycles.
inline constexpr std::chrono::seconds pause{30};
// The most its check takes: the Linux stand-in's whole deadline, and WinINet's on Windows, which
// gives up on a silent network after its three tries (3 + 6 + 12 s).
inline constexpr std::chrono::seconds linuxCheckBound{10};
inline constexpr std::chrono::seconds windowsCheckBound{21};

} // namespace core::monitor
