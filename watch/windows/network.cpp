// The diagnosis's stages on Windows: default routes from the IP helper, IcmpSendEcho2 and
// Icmp6SendEcho2, DnsQuery_W asking each IPv4 nameserver on its own, and Winsock connections.
#include <winsock2.h>
#include <ws2tcpip.h>

// The IP helper's own header first: the others build on its types.
#include <iphlpapi.h>

#include <icmpapi.h>
#include <netioapi.h>
#include <windns.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "../network.h"
#include "../watch_os.h"
#include "utf8_windows.h"

namespace watch::network {
namespace {

using namespace std::chrono_literals;
using core::systemMessage;

const struct Winsock {
    Winsock() {
        WSADATA data{};
        ::WSAStartup(MAKEWORD(2, 2), &data);
    }
} winsock;

DWORD millisecondsUntil(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<DWORD>(std::max<long long>(left.count(), 0));
}

// A blocking call that takes no deadline, on a thread of its own: waited for until the deadline,
// then left to finish alone, keeping only what it shares with its caller.
template <typename Result, typename Call>
std::optional<Result> within(Clock::time_point deadline, Call call) {
    struct Shared {
        std::mutex mutex;
        std::condition_variable done;
        std::optional<Result> result;
    };
    const auto shared = std::make_shared<Shared>();
    os::runDetached([shared, call = std::move(call)]() mutable {
        Result result = call();
        {
            const std::scoped_lock lock(shared->mutex);
            shared->result = std::move(result);
        }
        shared->done.notify_all();
    });
    std::unique_lock lock(shared->mutex);
    shared->done.wait_until(lock, deadline, [&] { return shared->result.has_value(); });
    return shared->result;
}

using Address = SOCKADDR_INET;

// Icmp6SendEcho2's reply, as Windows' ipexport.h lays it out; MinGW-w64 does not declare it.
#pragma pack(push, 1)
struct Ipv6AddressEx {
    USHORT port;
    ULONG flowInfo;
    USHORT address[8];
    ULONG scopeId;
};
#pragma pack(pop)
struct Icmpv6EchoReply {
    Ipv6AddressEx address;
    ULONG status;
    unsigned int roundTripTime;
};

std::string textOf(const Address& address) {
    std::array<char, INET6_ADDRSTRLEN> text{};
    const void* bytes = address.si_family == AF_INET6
                            ? static_cast<const void*>(&address.Ipv6.sin6_addr)
                            : &address.Ipv4.sin_addr;
    ::inet_ntop(address.si_family, bytes, text.data(), text.size());
    return text.data();
}

std::optional<Address> addressOf(std::string_view literal, std::uint16_t port) {
    Address address{};
    const std::string text(literal);
    if (::inet_pton(AF_INET, text.c_str(), &address.Ipv4.sin_addr) == 1) {
        address.Ipv4.sin_family = AF_INET;
        address.Ipv4.sin_port = ::htons(port);
    } else if (::inet_pton(AF_INET6, text.c_str(), &address.Ipv6.sin6_addr) == 1) {
        address.Ipv6.sin6_family = AF_INET6;
        address.Ipv6.sin6_port = ::htons(port);
    } else {
        return std::nullopt;
    }
    return address;
}

// The usual reasons a connection attempt fails, in words; the system's own for the rest.
std::string socketError(int error) {
    switch (error) {
    case WSAENETUNREACH:
        return "network unreachable";
    case WSAEHOSTUNREACH:
        return "host unreachable";
    case WSAEADDRNOTAVAIL:
        return "no address of this family here";
    case WSAETIMEDOUT:
        return "silent";
    case WSAECONNREFUSED:
        return "refuses (it is there)";
    default:
        return systemMessage(static_cast<DWORD>(error));
    }
}

// How a TCP connection attempt ended. A refusal is an answer: something at that address is up.
std::string tryConnecting(Address address, std::uint16_t port, Clock::time_point deadline,
                          bool& answered) {
    answered = false;
    (address.si_family == AF_INET6 ? address.Ipv6.sin6_port : address.Ipv4.sin_port) =
        ::htons(port);
    const SOCKET socket = ::socket(address.si_family, SOCK_STREAM, IPPROTO_TCP);
    if (socket == INVALID_SOCKET) {
        return "no socket: " + socketError(::WSAGetLastError());
    }
    u_long nonBlocking = 1;
    ::ioctlsocket(socket, FIONBIO, &nonBlocking);
    const int length = address.si_family == AF_INET6 ? sizeof(SOCKADDR_IN6) : sizeof(SOCKADDR_IN);
    int error = 0;
    if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        error = ::WSAGetLastError();
        if (error == WSAEWOULDBLOCK) {
            fd_set connected;
            fd_set failed;
            FD_ZERO(&connected);
            FD_ZERO(&failed);
            FD_SET(socket, &connected);
            FD_SET(socket, &failed);
            const DWORD wait = millisecondsUntil(deadline);
            timeval timeout{static_cast<long>(wait / 1000), static_cast<long>(wait % 1000 * 1000)};
            const int ready = ::select(0, nullptr, &connected, &failed, &timeout);
            error = ready == 0 ? WSAETIMEDOUT : 0;
            if (ready > 0 && FD_ISSET(socket, &failed)) {
                int length = sizeof error;
                ::getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                             &length);
            }
        }
    }
    ::closesocket(socket);
    answered = error == 0 || error == WSAECONNREFUSED;
    return error == 0 ? "answers" : socketError(error);
}

// ICMP echoes until one is answered or the deadline passes; nothing where ICMP is refused to us.
std::optional<std::string> echo(const Address& to, Clock::time_point deadline, bool& answered) {
    answered = false;
    const bool ipv6 = to.si_family == AF_INET6;
    const HANDLE icmp = ipv6 ? ::Icmp6CreateFile() : ::IcmpCreateFile();
    if (icmp == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    char data[8] = "watcher";
    std::array<char, 256> reply{};
    std::optional<std::string> said;
    while (!answered && Clock::now() < deadline) {
        const DWORD wait = std::min<DWORD>(millisecondsUntil(deadline), 1000);
        DWORD replies = 0;
        if (ipv6) {
            sockaddr_in6 source{};
            source.sin6_family = AF_INET6;
            sockaddr_in6 destination = to.Ipv6;
            replies = ::Icmp6SendEcho2(icmp, nullptr, nullptr, nullptr, &source, &destination, data,
                                       sizeof data, nullptr, reply.data(), reply.size(), wait);
            replies = replies > 0 ? ::Icmp6ParseReplies(reply.data(), reply.size()) : 0;
            answered = replies > 0 &&
                       reinterpret_cast<Icmpv6EchoReply*>(reply.data())->status == IP_SUCCESS;
        } else {
            replies = ::IcmpSendEcho2(icmp, nullptr, nullptr, nullptr, to.Ipv4.sin_addr.s_addr,
                                      data, sizeof data, nullptr, reply.data(), reply.size(), wait);
            answered = replies > 0 &&
                       reinterpret_cast<ICMP_ECHO_REPLY*>(reply.data())->Status == IP_SUCCESS;
        }
        if (replies == 0 && ::GetLastError() == ERROR_ACCESS_DENIED) {
            ::IcmpCloseHandle(icmp);
            return std::nullopt;
        }
    }
    ::IcmpCloseHandle(icmp);
    return answered ? "answers an ICMP echo" : "silent to ICMP echoes";
}

Observations::Gateway askGateway(const char* family, const std::optional<MIB_IPFORWARD_ROW2>& route,
                                 Clock::time_point deadline) {
    Observations::Gateway gateway{family, route.has_value(), false, "no default route"};
    if (!route) {
        return gateway;
    }
    Address hop = route->NextHop;
    const bool onLink = hop.si_family == AF_INET6 ? IN6_IS_ADDR_UNSPECIFIED(&hop.Ipv6.sin6_addr)
                                                  : hop.Ipv4.sin_addr.s_addr == 0;
    if (onLink) {
        gateway.answered = true; // a point-to-point link: no router of ours to ask
        gateway.said = "default route on its link, with no gateway to ask";
        return gateway;
    }
    if (hop.si_family == AF_INET6 && hop.Ipv6.sin6_scope_id == 0) {
        hop.Ipv6.sin6_scope_id = route->InterfaceIndex; // a link-local router, on its interface
    }
    const std::string address = textOf(hop);
    if (const auto echoed = echo(hop, deadline, gateway.answered)) {
        gateway.said = address + " " + *echoed;
        return gateway;
    }
    std::array<bool, 3> answered{};
    {
        std::vector<std::thread> attempts;
        const std::uint16_t ports[] = {53, 80, 443};
        for (std::size_t i = 0; i < answered.size(); ++i) {
            attempts.emplace_back([&, i] {
                bool reply = false;
                tryConnecting(hop, ports[i], deadline, reply);
                answered[i] = reply;
            });
        }
        for (std::thread& attempt : attempts) {
            attempt.join();
        }
    }
    gateway.answered = std::find(answered.begin(), answered.end(), true) != answered.end();
    gateway.said = address + (gateway.answered ? " answers on TCP (ICMP echo not allowed here)"
                                               : " silent on TCP ports 53, 80 and 443");
    return gateway;
}

std::string dnsAnswer(DNS_STATUS status, bool addresses) {
    if (addresses) {
        return "answers";
    }
    switch (status) {
    case DNS_ERROR_RCODE_NAME_ERROR:
        return "NXDOMAIN";
    case DNS_ERROR_RCODE_SERVER_FAILURE:
        return "SERVFAIL";
    case DNS_ERROR_RCODE_REFUSED:
        return "refused";
    case ERROR_TIMEOUT:
        return "silent";
    case 0:
    case DNS_INFO_NO_RECORDS:
        return "no address";
    default:
        return systemMessage(static_cast<DWORD>(status));
    }
}

} // namespace

bool localLink(Clock::time_point deadline, std::vector<Observations::Gateway>& gateways) {
    PMIB_IPFORWARD_TABLE2 table = nullptr;
    if (::GetIpForwardTable2(AF_UNSPEC, &table) != NO_ERROR) {
        gateways.push_back({"routes", false, false, "the routing table cannot be read"});
        return false;
    }
    std::optional<MIB_IPFORWARD_ROW2> ipv4;
    std::optional<MIB_IPFORWARD_ROW2> ipv6;
    for (ULONG i = 0; i < table->NumEntries; ++i) {
        const MIB_IPFORWARD_ROW2& row = table->Table[i];
        auto& best = row.DestinationPrefix.Prefix.si_family == AF_INET6 ? ipv6 : ipv4;
        if (row.DestinationPrefix.PrefixLength == 0 && (!best || row.Metric < best->Metric)) {
            best = row;
        }
    }
    ::FreeMibTable(table);
    gateways.resize(2);
    std::thread ipv6Gateway([&] { gateways[1] = askGateway("ipv6", ipv6, deadline); });
    gateways[0] = askGateway("ipv4", ipv4, deadline);
    ipv6Gateway.join();
    return true;
}

std::vector<Observations::Reply> nameservers(std::string_view host, Clock::time_point deadline) {
    ULONG size = 16 * 1024;
    std::vector<unsigned char> buffer(size);
    ULONG result = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 3 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer.resize(size);
        result = ::GetAdaptersAddresses(
            AF_UNSPEC,
            GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_FRIENDLY_NAME, nullptr,
            reinterpret_cast<PIP_ADAPTER_ADDRESSES>(buffer.data()), &size);
    }
    std::map<std::string, Address> servers; // each once, though several adapters name it
    for (auto* adapter = result == NO_ERROR ? reinterpret_cast<PIP_ADAPTER_ADDRESSES>(buffer.data())
                                            : nullptr;
         adapter != nullptr; adapter = adapter->Next) {
        if (adapter->OperStatus != IfOperStatusUp) {
            continue;
        }
        for (auto* server = adapter->FirstDnsServerAddress; server != nullptr;
             server = server->Next) {
            Address address{};
            std::memcpy(&address, server->Address.lpSockaddr,
                        std::min<std::size_t>(server->Address.iSockaddrLength, sizeof address));
            servers.emplace(textOf(address), address);
        }
    }
    std::vector<Observations::Reply> replies;
    std::vector<std::thread> asking;
    replies.reserve(servers.size());
    for (const auto& [name, address] : servers) {
        Observations::Reply& reply = replies.emplace_back(Observations::Reply{name, false, ""});
        if (address.si_family != AF_INET) {
            reply.said = "not asked: Windows' resolver asks IPv4 nameservers only";
            continue;
        }
        asking.emplace_back([&reply, host = core::wideFrom(host),
                             server = address.Ipv4.sin_addr.s_addr, deadline] {
            const auto answer = within<std::pair<DNS_STATUS, bool>>(deadline, [host, server] {
                IP4_ARRAY servers{1, {server}};
                PDNS_RECORD records = nullptr;
                const DNS_STATUS status = ::DnsQuery_W(
                    host.c_str(), DNS_TYPE_A,
                    DNS_QUERY_BYPASS_CACHE | DNS_QUERY_NO_HOSTS_FILE | DNS_QUERY_WIRE_ONLY,
                    &servers, &records, nullptr);
                bool addresses = false;
                for (PDNS_RECORD record = records; record != nullptr; record = record->pNext) {
                    addresses = addresses || record->wType == DNS_TYPE_A;
                }
                ::DnsRecordListFree(records, DnsFreeRecordList);
                return std::pair{status, addresses};
            });
            reply.answered = answer && answer->second;
            reply.said = answer ? dnsAnswer(answer->first, answer->second) : "no answer in time";
        });
    }
    for (std::thread& ask : asking) {
        ask.join();
    }
    return replies;
}

Observations::Reply connectTo(std::string_view address, Clock::time_point deadline) {
    Observations::Reply reply{std::string(address), false, "not an address"};
    if (const auto to = addressOf(address, 443)) {
        reply.said = tryConnecting(*to, 443, deadline, reply.answered);
    }
    return reply;
}

std::vector<Observations::Reply> site(std::string_view host, std::uint16_t port,
                                      Clock::time_point deadline) {
    std::vector<Observations::Reply> replies{{"ipv4", false, ""}, {"ipv6", false, ""}};
    std::vector<std::thread> families;
    for (Observations::Reply& reply : replies) {
        families.emplace_back([&reply, host = core::wideFrom(host), port, deadline] {
            const int family = reply.who == "ipv6" ? AF_INET6 : AF_INET;
            using Found = std::pair<int, std::vector<Address>>;
            const auto found = within<Found>(deadline, [host, family] {
                ADDRINFOW hints{};
                hints.ai_family = family;
                hints.ai_socktype = SOCK_STREAM;
                ADDRINFOW* list = nullptr;
                const int status = ::GetAddrInfoW(host.c_str(), L"443", &hints, &list);
                std::vector<Address> addresses;
                for (const ADDRINFOW* entry = list; entry != nullptr; entry = entry->ai_next) {
                    Address address{};
                    std::memcpy(&address, entry->ai_addr,
                                std::min<std::size_t>(entry->ai_addrlen, sizeof address));
                    addresses.push_back(address);
                }
                ::FreeAddrInfoW(list);
                return Found{status, addresses};
            });
            if (!found || found->second.empty()) {
                reply.said = found ? "name: " + systemMessage(static_cast<DWORD>(found->first))
                                   : "name: no answer in time";
                return;
            }
            for (const Address& address : found->second) {
                bool answered = false;
                if (tryConnecting(address, port, deadline, answered) == "answers") {
                    reply.answered = true;
                    break;
                }
            }
            reply.said = reply.answered ? "connects" : "no connection";
        });
    }
    for (std::thread& family : families) {
        family.join();
    }
    return replies;
}

} // namespace watch::network
