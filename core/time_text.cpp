// Formatting of dates, times and spans, by hand: GCC 12's library has no std::format yet.
#include "time_text.h"

#include <array>
#include <cmath>
#include <cstdio>

namespace core {
namespace {

std::string printed(const char* format, int a, int b, int c) {
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), format, a, b, c);
    return text.data();
}

} // namespace

std::string isoDate(std::chrono::local_days day) {
    const std::chrono::year_month_day date{day};
    return printed("%04d-%02d-%02d", static_cast<int>(date.year()),
                   static_cast<int>(static_cast<unsigned>(date.month())),
                   static_cast<int>(static_cast<unsigned>(date.day())));
}

std::string weekdayDate(std::chrono::local_days day) {
    return std::string(weekdayNames[std::chrono::weekday{day}.c_encoding()]) + " " + isoDate(day);
}

std::string clockTime(LocalTime time) {
    const std::chrono::hh_mm_ss clock{time - std::chrono::floor<std::chrono::days>(time)};
    return printed("%02d:%02d:%02d", static_cast<int>(clock.hours().count()),
                   static_cast<int>(clock.minutes().count()),
                   static_cast<int>(clock.seconds().count()));
}

std::string offsetText(std::chrono::seconds offset) {
    const long minutes = static_cast<long>(offset.count() / 60);
    const long magnitude = minutes < 0 ? -minutes : minutes;
    return printed(minutes < 0 ? "-%02d:%02d" : "+%02d:%02d", static_cast<int>(magnitude / 60),
                   static_cast<int>(magnitude % 60), 0);
}

std::string dateTime(LocalTime time) {
    return isoDate(std::chrono::floor<std::chrono::days>(time)) + " " + clockTime(time);
}

std::string isoDateTime(LocalTime time) {
    return isoDate(std::chrono::floor<std::chrono::days>(time)) + "T" + clockTime(time);
}

std::string spanText(std::chrono::seconds span) {
    const long long total = span.count();
    const long long days = total / 86400;
    const int hours = static_cast<int>(total / 3600 % 24);
    const int minutes = static_cast<int>(total / 60 % 60);
    const int seconds = static_cast<int>(total % 60);
    if (days > 0) {
        return std::to_string(days) + "d " + printed("%02dh %02dm %02ds", hours, minutes, seconds);
    }
    if (hours > 0) {
        return printed("%dh %02dm %02ds", hours, minutes, seconds);
    }
    if (minutes > 0) {
        return printed("%dm %02ds", minutes, seconds, 0);
    }
    return std::to_string(seconds) + "s";
}

std::string hoursText(std::chrono::seconds span) {
    const long long minutes = span.count() / 60;
    const long long minute = minutes % 60;
    return std::to_string(minutes / 60) + "h " + (minute < 10 ? "0" : "") + std::to_string(minute) +
           "m";
}

std::string percentText(double share, int decimals, bool roundUp) {
    const double scale = std::pow(10.0, decimals);
    // The share's own rounding error must not tip a figure over: 0.5 is 50, not 50.01.
    const double scaled = share * 100 * scale;
    const double nearest = std::round(scaled);
    const double rounded = std::abs(scaled - nearest) < 1e-6 ? nearest
                           : roundUp                         ? std::ceil(scaled)
                                                             : std::floor(scaled);
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%.*f%%", decimals, rounded / scale);
    return text.data();
}

std::string count(long n, const char* singular, const char* plural) {
    return std::to_string(n) + " " + (n == 1 ? singular : plural);
}

} // namespace core
