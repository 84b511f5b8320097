// InternetCheckConnectionW for POSIX: resolve the URL's host, then race a TCP connect to it.
#include <cwchar>

#include "../windows_services.h"
#include "probe.h"

namespace standin {

AddressList resolveTarget(const ProbeTarget& target) {
    addrinfo hints{};
    hints.ai_family = target.isIpv6Literal ? AF_INET6 : AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV | (target.isIpv6Literal ? AI_NUMERICHOST : 0);
    addrinfo* list = nullptr;
    if (::getaddrinfo(target.host.c_str(), target.port.c_str(), &hints, &list) != 0) {
        return nullptr;
    }
    return AddressList(list);
}

bool canConnect(std::wstring_view url, std::chrono::milliseconds budget) {
    const auto target = parseProbeUrl(url);
    if (!target) {
        return false;
    }
    const AddressList addresses = resolveTarget(*target);
    return addresses != nullptr && connectsToAny(addresses.get(), budget);
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
