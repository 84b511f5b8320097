// Splits an http or https URL into the host and port that the probe connects to.
#include <algorithm>
#include <cstddef>

#include "probe.h"

namespace standin {
namespace {

constexpr std::size_t maxHostLength = 253; // the longest DNS name

bool isAsciiLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
bool isHexDigit(char c) {
    return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
bool isHostNameChar(char c) {
    return isAsciiLetter(c) || isDigit(c) || c == '-' || c == '.' || c == '_';
}
bool isIpv6LiteralChar(char c) {
    return isHexDigit(c) || c == ':' || c == '.';
}

// Printable ASCII only: no blanks, controls or anything that would need IDN or decoding.
std::optional<std::string> narrowPrintableAscii(std::wstring_view url) {
    std::string narrow;
    narrow.reserve(url.size());
    for (const wchar_t c : url) {
        if (c <= L' ' || c > L'~') {
            return std::nullopt;
        }
        narrow.push_back(static_cast<char>(c));
    }
    return narrow;
}

std::optional<std::string> defaultPortOf(std::string scheme) {
    std::transform(scheme.begin(), scheme.end(), scheme.begin(), [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    if (scheme == "http") {
        return "80";
    }
    if (scheme == "https") {
        return "443";
    }
    return std::nullopt;
}

// An empty port means the scheme's default, as RFC 3986 allows.
std::optional<std::string> validPort(std::string_view digits, const std::string& defaultPort) {
    if (digits.empty()) {
        return defaultPort;
    }
    if (digits.size() > 5 || !std::all_of(digits.begin(), digits.end(), isDigit)) {
        return std::nullopt;
    }
    const long value = std::stol(std::string(digits));
    if (value < 1 || value > 65535) {
        return std::nullopt;
    }
    return std::to_string(value);
}

} // namespace

std::optional<ProbeTarget> parseProbeUrl(std::wstring_view url) {
    if (url.size() > maxUrlLength) {
        return std::nullopt;
    }
    const auto narrow = narrowPrintableAscii(url);
    if (!narrow) {
        return std::nullopt;
    }
    const std::string_view text = *narrow;
    const auto schemeEnd = text.find("://");
    if (schemeEnd == std::string_view::npos) {
        return std::nullopt;
    }
    const auto defaultPort = defaultPortOf(std::string(text.substr(0, schemeEnd)));
    if (!defaultPort) {
        return std::nullopt;
    }
    std::string_view authority = text.substr(schemeEnd + 3);
    authority = authority.substr(0, authority.find_first_of("/?#"));
    if (const auto at = authority.rfind('@'); at != std::string_view::npos) {
        authority.remove_prefix(at + 1); // credentials play no part in a connection check
    }

    ProbeTarget target;
    std::string_view rest;
    if (!authority.empty() && authority.front() == '[') {
        const auto close = authority.find(']');
        if (close == std::string_view::npos) {
            return std::nullopt;
        }
        const auto literal = authority.substr(1, close - 1);
        if (literal.empty() || !std::all_of(literal.begin(), literal.end(), isIpv6LiteralChar)) {
            return std::nullopt;
        }
        target.host = literal;
        target.isIpv6Literal = true;
        rest = authority.substr(close + 1);
    } else {
        const auto host = authority.substr(0, authority.find(':'));
        if (host.empty() || host.size() > maxHostLength ||
            !std::all_of(host.begin(), host.end(), isHostNameChar)) {
            return std::nullopt;
        }
        target.host = host;
        rest = authority.substr(host.size());
    }
    if (!rest.empty() && rest.front() != ':') {
        return std::nullopt;
    }
    const auto port = validPort(rest.empty() ? rest : rest.substr(1), *defaultPort);
    if (!port) {
        return std::nullopt;
    }
    target.port = *port;
    return target;
}

} // namespace standin
