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
    auto& v4 = reinterpret_cast<sockaddr_in&>(endpoint.address);
    auto& v6 = reinterpret_cast<sockaddr_in6&>(endpoint.address);
    const int family = target.isIpv6Literal ? AF_INET6 : AF_INET;
    void* const binary = family == AF_INET6 ? static_cast<void*>(&v6.sin6_addr) : &v4.sin_addr;
    if (::inet_pton(family, target.host.c_str(), binary) != 1) {
        return std::nullopt;
    }
    endpoint.address.ss_family = static_cast<sa_family_t>(family);
    endpoint.length = family == AF_INET6 ? sizeof v6 : sizeof v4;
    endpoint.setPort(port);
    return endpoint;
}

} // namespace

bool canConnect(std::wstring_view url, std::chrono::milliseconds budget) {
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
        NameLookup lookup(target->host, port);
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
