// InternetCheckConnectionW for POSIX: resolve the URL's host and race a TCP connect, one deadline.
#include <cstring>
#include <cwchar>
#include <stdexcept>

#include <arpa/inet.h>
#include <netinet/in.h>

#include "../windows_services.h"
#include "probe.h"

namespace standin {
namespace {

// An address literal needs no lookup: dotted IPv4, or the IPv6 text that was in brackets.
std::optional<Endpoint> literalEndpoint(const ProbeTarget& target, std::uint16_t port) {
    Endpoint endpoint;
    if (target.isIpv6Literal) {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(endpoint.address);
        if (::inet_pton(AF_INET6, target.host.c_str(), &v6.sin6_addr) != 1) {
            return std::nullopt;
        }
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(port);
        endpoint.length = sizeof v6;
        return endpoint;
    }
    auto& v4 = reinterpret_cast<sockaddr_in&>(endpoint.address);
    if (::inet_pton(AF_INET, target.host.c_str(), &v4.sin_addr) != 1) {
        return std::nullopt;
    }
    v4.sin_family = AF_INET;
    v4.sin_port = htons(port);
    endpoint.length = sizeof v4;
    return endpoint;
}

} // namespace

bool canConnect(std::wstring_view url, std::chrono::milliseconds budget,
                const std::string& nameservers) {
    const auto deadline = Clock::now() + budget;
    const auto target = parseProbeUrl(url);
    if (!target) {
        return false;
    }
    const auto port = static_cast<std::uint16_t>(std::stoul(target->port));
    if (const auto literal = literalEndpoint(*target, port)) {
        return raceToConnect(nullptr, {*literal}, deadline);
    }
    if (target->isIpv6Literal) {
        return false;
    }
    try {
        NameLookup lookup(target->host, port, nameservers);
        return raceToConnect(&lookup, {}, deadline);
    } catch (const std::runtime_error&) {
        return false; // no resolver could be set up: as unreachable as a failed lookup
    }
}

} // namespace standin

// Every call connects afresh, so FLAG_ICC_FORCE_CONNECTION is always in effect.
extern "C" BOOL InternetCheckConnectionW(LPCWSTR lpszUrl, DWORD /*dwFlags*/, DWORD dwReserved) {
    if (lpszUrl == nullptr || dwReserved != 0) {
        return FALSE;
    }
    // One character past the longest accepted URL is enough to reject a longer one.
    const std::size_t length = ::wcsnlen(lpszUrl, standin::maxUrlLength + 1);
    return standin::canConnect(std::wstring_view(lpszUrl, length), standin::connectionBudget)
               ? TRUE
               : FALSE;
}
