// Reading the log: each line is a check failed at a local time, one without a time, or no record.
#pragma once

#include <array>
#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace core {

using LocalTime = std::chrono::local_seconds;

// What the monitor writes in place of a time its C library could not give.
inline constexpr std::string_view timeUnavailable = "(time unavailable)";

// As ctime writes them, Sunday first (std::chrono::weekday's C encoding).
inline constexpr std::array<std::string_view, 7> weekdayNames{"Sun", "Mon", "Tue", "Wed",
                                                              "Thu", "Fri", "Sat"};

struct LineVerdict {
    enum class Kind { timed, untimed, notARecord };
    // NOLINTNEXTLINE(google-explicit-constructor): read as {kind, time} in tables
    LineVerdict(Kind kind, LocalTime time = {}, std::string_view timeText = {})
        : kind(kind), time(time), timeText(timeText) {}
    Kind kind;
    LocalTime time;
    std::string_view timeText; // as the log has it, for a record; a view into the line read
};

// One line without its line end (LF, or CR LF with the CR still there to be removed here).
LineVerdict readRecord(std::string_view line);

// Called once per line, in order; line numbers count from 1.
using RecordSink = std::function<void(const LineVerdict&, long lineNumber)>;

// The records one line (without its line end) holds: none, one, or a torn record's fragment and
// the whole record run on after it.
void readLine(std::string_view line, long lineNumber, const RecordSink& sink);

// Streams a whole log from an open file in binary mode. Memory stays bounded whatever the line
// lengths. Returns an empty string, or why reading failed.
std::string readLog(std::FILE* file, const RecordSink& sink);

// Each line of a text file in binary mode, its line end removed: UTF-8 or ANSI as it is, a UTF-8
// byte-order mark and a final Ctrl+Z left out, UTF-16 narrowed to ASCII. A line longer than
// longestKept comes with only its last endKept bytes, and tornFront set; ended is false for a last
// line without its line end. Returns an empty string, or why reading failed.
using LineSink = std::function<void(std::string_view line, bool tornFront, bool ended)>;
std::string readLines(std::FILE* file, std::size_t longestKept, std::size_t endKept,
                      const LineSink& sink);

// The local time a ctime text (Sun Feb 18 00:29:21 2024, either day padding) stands for.
std::optional<LocalTime> timeOfText(std::string_view text);

} // namespace core
