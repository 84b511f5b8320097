// Whole numbers as a person types them on a command line: decimal digits and nothing else.
#pragma once

#include <algorithm>
#include <charconv>
#include <optional>
#include <string_view>

namespace report {

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

} // namespace report
