// Internals of the POSIX reachability probe, exposed so tests and benchmarks can drive each stage.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <netdb.h>

namespace standin {

// The whole connection phase of one probe; Windows itself gives up after about 21 s.
inline constexpr std::chrono::milliseconds connectionBudget{10'000};
// Happy Eyeballs' recommended pause before racing the next address (RFC 8305, section 5).
inline constexpr std::chrono::milliseconds attemptDelay{250};
// What WinINet accepts; anything longer is refused before it is read to the end.
inline constexpr std::size_t maxUrlLength = 2083;

struct ProbeTarget {
    std::string host; // a DNS name, an IPv4 literal, or an IPv6 literal without brackets
    std::string port; // decimal, 1 to 65535
    bool isIpv6Literal = false;
};

// http and https URLs only; nullopt for anything malformed or unsupported.
std::optional<ProbeTarget> parseProbeUrl(std::wstring_view url);

struct AddressListDeleter {
    void operator()(addrinfo* list) const noexcept { freeaddrinfo(list); }
};
using AddressList = std::unique_ptr<addrinfo, AddressListDeleter>;

// Both families' TCP addresses of the target; empty when resolution fails.
AddressList resolveTarget(const ProbeTarget& target);

// Whether a TCP handshake completes with one of the addresses before the budget runs out.
bool connectsToAny(const addrinfo* addresses, std::chrono::milliseconds budget);

// Parse, resolve and race: the probe behind InternetCheckConnectionW.
bool canConnect(std::wstring_view url, std::chrono::milliseconds budget);

} // namespace standin
