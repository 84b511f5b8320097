// Whole numbers as a person types them on a command line: decimal digits and nothing else.
#pragma once

#include <algorithm>
#include <charconv>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace core {

// Digits only: no sign, no base prefix (CLI11 reads 010 as eight), no exponent, no blanks.
template <typename Number> std::optional<Number> digitsOnly(std::string_view text) {
    Number value{};
    const char* const end = text.data() + text.size();
    const bool digits = !text.empty() && std::all_of(text.begin(), text.end(),
                                                     [](char c) { return c >= '0' && c <= '9'; });
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    return digits && error == std::errc() && stop == end ? std::optional(value) : std::nullopt;
}

// The longest --gap, a leap year: the report's and the watcher's.
inline constexpr long long longestGap = 366LL * 86'400;

// A --gap as typed: whole seconds up to the longest; nothing for anything else.
inline std::optional<std::chrono::seconds> gapOf(const std::string& text) {
    const auto value = digitsOnly<long long>(text);
    return value && *value <= longestGap ? std::optional(std::chrono::seconds{*value})
                                         : std::nullopt;
}

// Why a --gap was refused, for the usage error.
inline std::string gapRule(const std::string& text) {
    return "takes a whole number of seconds from 0 to " + std::to_string(longestGap) + ", not '" +
           text + "'";
}
} // namespace core
