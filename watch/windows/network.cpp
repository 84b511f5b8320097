// The diagnosis's stages on Windows: default routes from the IP helper, IcmpSendEcho2 and
// Icmp6SendEcho2 (echoes, and with a rising TTL the path), DnsQuery_W asking each IPv4 nameserver
// on its own, and Winsock connections.
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
#include <shared_mutex>
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

// Under Wine 8 an ICMP echo that completes while the routes or the adapters are being read
// deadlocks the device host that serves both, and with it every later device call of the program
// (its files included). Echoes in flight hold this shared; reading the routes or the adapters
// holds it alone. On Windows itself it costs a read a moment's wait.
std::shared_mutex& ipHelper() {
    static std::shared_mutex lock;
    return lock;
}

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

// A non-blocking TCP socket connecting to an address and port; INVALID_SOCKET and error set where
// it failed at once. hops limits how far its packets go; 0: as far as they like.
SOCKET startConnecting(Address address, std::uint16_t port, int hops, int& error) {
    (address.si_family == AF_INET6 ? address.Ipv6.sin6_port : address.Ipv4.sin_port) =
        ::htons(port);
    const SOCKET socket = ::socket(address.si_family, SOCK_STREAM, IPPROTO_TCP);
    error = socket == INVALID_SOCKET ? ::WSAGetLastError() : 0;
    if (socket == INVALID_SOCKET) {
        return socket;
    }
    u_long nonBlocking = 1;
    ::ioctlsocket(socket, FIONBIO, &nonBlocking);
    if (hops > 0) {
        const DWORD limit = static_cast<DWORD>(hops);
        if (address.si_family == AF_INET6) {
            ::setsockopt(socket, IPPROTO_IPV6, IPV6_UNICAST_HOPS,
                         reinterpret_cast<const char*>(&limit), sizeof limit);
        } else {
            ::setsockopt(socket, IPPROTO_IP, IP_TTL, reinterpret_cast<const char*>(&limit),
                         sizeof limit);
        }
    }
    const int length = address.si_family == AF_INET6 ? sizeof(SOCKADDR_IN6) : sizeof(SOCKADDR_IN);
    if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), length) != 0 &&
        ::WSAGetLastError() != WSAEWOULDBLOCK) {
        error = ::WSAGetLastError();
        ::closesocket(socket);
        return INVALID_SOCKET;
    }
    return socket;
}

// Waits for some of the sockets' connections to end, until the deadline; the ended ones come
// back with their error (0: connected) and are closed.
std::vector<std::pair<SOCKET, int>> awaitConnections(std::vector<SOCKET>& sockets,
                                                     Clock::time_point until) {
    fd_set connected;
    fd_set failed;
    FD_ZERO(&connected);
    FD_ZERO(&failed);
    for (const SOCKET socket : sockets) {
        FD_SET(socket, &connected);
        FD_SET(socket, &failed);
    }
    const DWORD wait = millisecondsUntil(until);
    timeval timeout{static_cast<long>(wait / 1000), static_cast<long>(wait % 1000 * 1000)};
    std::vector<std::pair<SOCKET, int>> ended;
    if (sockets.empty() || ::select(0, nullptr, &connected, &failed, &timeout) <= 0) {
        if (sockets.empty()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(wait));
        }
        return ended;
    }
    std::erase_if(sockets, [&](SOCKET socket) {
        const bool isFailed = FD_ISSET(socket, &failed) != 0;
        if (!isFailed && FD_ISSET(socket, &connected) == 0) {
            return false;
        }
        int error = 0;
        if (isFailed) {
            int length = sizeof error;
            ::getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
        }
        ::closesocket(socket);
        ended.emplace_back(socket, error);
        return true;
    });
    return ended;
}

// ICMP echoes until one is answered or the deadline passes; nothing where ICMP is refused to us.
std::optional<std::string> echo(const Address& to, Clock::time_point deadline, bool& answered) {
    answered = false;
    const std::shared_lock inFlight(ipHelper());
    const bool ipv6 = to.si_family == AF_INET6;
    const HANDLE icmp = ipv6 ? ::Icmp6CreateFile() : ::IcmpCreateFile();
    if (icmp == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    char data[8] = "watcher";
    std::array<char, 256> reply{};
    const auto started = Clock::now();
    while (!answered && Clock::now() < deadline) {
        const DWORD wait = std::min<DWORD>(millisecondsUntil(deadline), 500);
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
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
    return answered ? "answers an ICMP echo in " + std::to_string(took.count()) + " ms"
                    : "silent to ICMP echoes";
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
        return "REFUSED";
    case ERROR_TIMEOUT:
        return "silent";
    case 0:
    case DNS_INFO_NO_RECORDS:
        return "no address";
    default:
        return systemMessage(static_cast<DWORD>(status));
    }
}

// One expiring echo in flight: its event, and the buffer its reply lands in.
struct Probe {
    int hop = 0;
    HANDLE event = nullptr;
    std::array<char, 512> reply{};
};

} // namespace

std::optional<std::vector<Route>> defaultRoutes(std::string& why) {
    PMIB_IPFORWARD_TABLE2 table = nullptr;
    const std::unique_lock alone(ipHelper());
    if (const DWORD failure = ::GetIpForwardTable2(AF_UNSPEC, &table); failure != NO_ERROR) {
        why = "the routing table cannot be read: " + systemMessage(failure);
        return std::nullopt;
    }
    std::optional<MIB_IPFORWARD_ROW2> best[2];
    for (ULONG i = 0; i < table->NumEntries; ++i) {
        const MIB_IPFORWARD_ROW2& row = table->Table[i];
        auto& chosen = best[row.DestinationPrefix.Prefix.si_family == AF_INET6 ? 1 : 0];
        if (row.DestinationPrefix.PrefixLength == 0 && (!chosen || row.Metric < chosen->Metric)) {
            chosen = row;
        }
    }
    ::FreeMibTable(table);
    std::vector<Route> routes;
    for (int family = 0; family < 2; ++family) {
        Route route{family == 0 ? "ipv4" : "ipv6", best[family].has_value(), "", 0};
        if (best[family]) {
            const Address& hop = best[family]->NextHop;
            const bool onLink = hop.si_family == AF_INET6
                                    ? IN6_IS_ADDR_UNSPECIFIED(&hop.Ipv6.sin6_addr)
                                    : hop.Ipv4.sin_addr.s_addr == 0;
            route.gateway = onLink ? "" : textOf(hop);
            route.linkIndex = best[family]->InterfaceIndex;
        }
        routes.push_back(route);
    }
    return routes;
}

// An ICMP echo and TCP connection attempts to ports a router may serve, all at once: the first
// answer of any kind, a refusal included, ends it.
Gateway askGateway(const Route& route, Clock::time_point deadline) {
    Gateway gateway{route.family, true, route.gateway, false, route.gateway + " is no address",
                    true};
    auto hop = addressOf(route.gateway, 0);
    if (!hop) {
        return gateway;
    }
    if (hop->si_family == AF_INET6 && IN6_IS_ADDR_LINKLOCAL(&hop->Ipv6.sin6_addr)) {
        hop->Ipv6.sin6_scope_id = route.linkIndex; // a link-local router, on its interface
    }
    struct Heard {
        std::mutex mutex;
        std::condition_variable changed;
        std::optional<std::string> answer;
        std::optional<std::string> echo;
    };
    const auto heard = std::make_shared<Heard>();
    os::runDetached([heard, to = *hop, deadline] {
        bool answered = false;
        const auto said = echo(to, deadline, answered);
        const std::scoped_lock lock(heard->mutex);
        heard->echo = said.value_or("ICMP echo not allowed here");
        if (answered && !heard->answer) {
            heard->answer = heard->echo;
        }
        heard->changed.notify_all();
    });
    std::vector<SOCKET> sockets;
    for (const std::uint16_t port : {53, 80, 443}) {
        int error = 0;
        if (const SOCKET socket = startConnecting(*hop, port, 0, error); socket != INVALID_SOCKET) {
            sockets.push_back(socket);
        }
    }
    std::string tcpSaid = "silent";
    const auto started = Clock::now();
    while (Clock::now() < deadline && !sockets.empty()) {
        for (const auto& [socket, error] :
             awaitConnections(sockets, std::min(deadline, Clock::now() + 100ms))) {
            if (error == 0 || error == WSAECONNREFUSED) {
                const auto took =
                    std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
                const std::scoped_lock lock(heard->mutex);
                heard->answer = heard->answer.value_or("answers on TCP in " +
                                                       std::to_string(took.count()) + " ms");
            } else {
                tcpSaid = socketError(error);
            }
        }
        const std::scoped_lock lock(heard->mutex);
        if (heard->answer) {
            break;
        }
    }
    for (const SOCKET socket : sockets) {
        ::closesocket(socket);
    }
    std::unique_lock lock(heard->mutex);
    heard->changed.wait_until(lock, deadline, [&] { return heard->answer || heard->echo; });
    gateway.answered = heard->answer.has_value();
    gateway.said = route.gateway + " " +
                   (heard->answer ? *heard->answer
                                  : heard->echo.value_or("silent to ICMP echoes") +
                                        "; TCP ports 53, 80 and 443: " + tcpSaid);
    return gateway;
}

std::vector<std::string> nameservers() {
    ULONG size = 16 * 1024;
    std::vector<unsigned char> buffer(size);
    ULONG result = ERROR_BUFFER_OVERFLOW;
    std::unique_lock alone(ipHelper());
    for (int attempt = 0; attempt < 3 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer.resize(size);
        result = ::GetAdaptersAddresses(
            AF_UNSPEC,
            GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_FRIENDLY_NAME, nullptr,
            reinterpret_cast<PIP_ADAPTER_ADDRESSES>(buffer.data()), &size);
    }
    alone.unlock();
    std::vector<std::string> servers; // each once, though several adapters name it
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
            if (const std::string text = textOf(address);
                std::find(servers.begin(), servers.end(), text) == servers.end()) {
                servers.push_back(text);
            }
        }
    }
    return servers;
}

Reply askNameserver(const std::string& server, std::string_view host, Clock::time_point deadline) {
    Reply reply{server, Reply::Heard::nothing, "not an address"};
    const auto address = addressOf(server, 53);
    if (!address) {
        return reply;
    }
    if (address->si_family != AF_INET) {
        reply.said = "not asked: Windows' resolver asks IPv4 nameservers only";
        return reply;
    }
    const auto answer = within<std::pair<DNS_STATUS, bool>>(
        deadline, [wide = core::wideFrom(host), ip = address->Ipv4.sin_addr.s_addr] {
            IP4_ARRAY servers{1, {ip}};
            PDNS_RECORD records = nullptr;
            const DNS_STATUS status =
                ::DnsQuery_W(wide.c_str(), DNS_TYPE_A,
                             DNS_QUERY_BYPASS_CACHE | DNS_QUERY_NO_HOSTS_FILE | DNS_QUERY_WIRE_ONLY,
                             &servers, &records, nullptr);
            bool addresses = false;
            for (PDNS_RECORD record = records; record != nullptr; record = record->pNext) {
                addresses = addresses || record->wType == DNS_TYPE_A;
            }
            ::DnsRecordListFree(records, DnsFreeRecordList);
            return std::pair{status, addresses};
        });
    const bool response =
        answer &&
        (answer->second || answer->first == 0 || answer->first == DNS_INFO_NO_RECORDS ||
         (answer->first >= DNS_ERROR_RCODE_FORMAT_ERROR && answer->first <= DNS_ERROR_RCODE_LAST));
    reply.heard = answer && answer->second ? Reply::Heard::answer
                  : response               ? Reply::Heard::refusal
                                           : Reply::Heard::nothing;
    reply.said = answer ? dnsAnswer(answer->first, answer->second) : "no answer in time";
    return reply;
}

// Two attempts at once: one to the address, one that expires two hops out. A refusal of the
// first counts only where the second is not refused too in about the time the first took.
Reply reach(std::string_view address, std::uint16_t port, Clock::time_point deadline) {
    Reply reply{std::string(address), Reply::Heard::nothing, "not an address"};
    const auto to = addressOf(address, port);
    if (!to) {
        return reply;
    }
    int directError = 0;
    int limitedError = 0;
    const SOCKET direct = startConnecting(*to, port, 0, directError);
    const SOCKET limited = startConnecting(*to, port, nearHops, limitedError);
    std::vector<SOCKET> sockets;
    for (const SOCKET socket : {direct, limited}) {
        if (socket != INVALID_SOCKET) {
            sockets.push_back(socket);
        }
    }
    const auto started = Clock::now();
    bool directDone = direct == INVALID_SOCKET;
    bool limitedRefused = false;
    auto until = deadline;
    while (Clock::now() < until && !sockets.empty() &&
           !(directDone && (directError != WSAECONNREFUSED || limitedRefused))) {
        for (const auto& [socket, error] : awaitConnections(sockets, until)) {
            if (socket == direct) {
                directError = error;
                directDone = true;
                // A refuser nearer than the address answers sooner, or as soon where it is the
                // same.
                until = std::min(deadline, Clock::now() + (Clock::now() - started) + 50ms);
            } else {
                limitedRefused = error == WSAECONNREFUSED;
            }
        }
    }
    for (const SOCKET socket : sockets) {
        ::closesocket(socket);
    }
    return replyOf(reply.who, {directDone, directError == 0, directError == WSAECONNREFUSED,
                               limitedRefused, socketError(directError)});
}

Resolved resolve(std::string_view host, std::string_view family, Clock::time_point deadline) {
    using Found = std::pair<int, std::vector<std::string>>;
    const int wanted = family == "ipv6" ? AF_INET6 : AF_INET;
    const auto found = within<Found>(deadline, [wide = core::wideFrom(host), wanted] {
        ADDRINFOW hints{};
        hints.ai_family = wanted;
        hints.ai_socktype = SOCK_STREAM;
        ADDRINFOW* list = nullptr;
        const int status = ::GetAddrInfoW(wide.c_str(), L"443", &hints, &list);
        std::vector<std::string> addresses;
        for (const ADDRINFOW* entry = list; entry != nullptr; entry = entry->ai_next) {
            Address address{};
            std::memcpy(&address, entry->ai_addr,
                        std::min<std::size_t>(entry->ai_addrlen, sizeof address));
            addresses.push_back(textOf(address));
        }
        ::FreeAddrInfoW(list);
        return Found{status, addresses};
    });
    Resolved resolved;
    if (found) {
        resolved.addresses = found->second;
    }
    resolved.said = !found                  ? "no answer in time"
                    : found->second.empty() ? systemMessage(static_cast<DWORD>(found->first))
                                            : "resolves";
    return resolved;
}

namespace {

// Echoes through the ICMP handles of both families, each in flight with an event of its own and
// never cancelled (see ipHelper); where the system refuses ICMP to us, TCP connection attempts.
class WindowsProber final : public Prober {
  public:
    WindowsProber() : icmp_{::IcmpCreateFile(), ::Icmp6CreateFile()} {}
    ~WindowsProber() override {
        // Echoes still in flight end by their own timeout before their handle closes.
        for (const auto& [id, probe] : flying_) {
            if (probe->event != nullptr &&
                ::WaitForSingleObject(probe->event, static_cast<DWORD>(limit.count()) + 500) !=
                    WAIT_OBJECT_0) {
                return; // never let go: the handles and buffers are kept for good
            }
        }
        for (const auto& [id, probe] : flying_) {
            if (probe->socket != INVALID_SOCKET) {
                ::closesocket(probe->socket);
            }
        }
        for (const HANDLE icmp : icmp_) {
            if (icmp != INVALID_HANDLE_VALUE) {
                ::IcmpCloseHandle(icmp);
            }
        }
    }
    WindowsProber(const WindowsProber&) = delete;
    WindowsProber& operator=(const WindowsProber&) = delete;

    std::string way(std::string_view family) override {
        return icmp_[family == "ipv6" ? 1 : 0] != INVALID_HANDLE_VALUE && !denied_[family == "ipv6"]
                   ? "ICMP echo"
                   : "TCP (ICMP echo not allowed here)";
    }

    bool send(long id, const std::string& address, unsigned scope, bool gateway) override {
        auto to = addressOf(address, gateway ? 53 : 443);
        if (!to) {
            return false;
        }
        const bool ipv6 = to->si_family == AF_INET6;
        if (ipv6 && IN6_IS_ADDR_LINKLOCAL(&to->Ipv6.sin6_addr)) {
            to->Ipv6.sin6_scope_id = scope;
        }
        auto probe = std::make_unique<Flying>();
        probe->sent = Clock::now();
        const HANDLE icmp = icmp_[ipv6 ? 1 : 0];
        if (icmp != INVALID_HANDLE_VALUE && !denied_[ipv6 ? 1 : 0]) {
            probe->inFlight = std::shared_lock(ipHelper(), std::try_to_lock);
            if (!probe->inFlight.owns_lock()) {
                return false; // the routes are about to be read: no echo may be in flight then
            }
            probe->event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
            char data[8] = "quality";
            DWORD sent = 0;
            const auto wait = static_cast<DWORD>(limit.count());
            if (ipv6) {
                sockaddr_in6 source{};
                source.sin6_family = AF_INET6;
                sockaddr_in6 destination = to->Ipv6;
                sent = ::Icmp6SendEcho2(icmp, probe->event, nullptr, nullptr, &source, &destination,
                                        data, sizeof data, nullptr, probe->reply.data(),
                                        probe->reply.size(), wait);
            } else {
                sent = ::IcmpSendEcho2(icmp, probe->event, nullptr, nullptr,
                                       to->Ipv4.sin_addr.s_addr, data, sizeof data, nullptr,
                                       probe->reply.data(), probe->reply.size(), wait);
            }
            const DWORD failure = ::GetLastError();
            if (sent == 0 && failure != ERROR_IO_PENDING) {
                ::CloseHandle(probe->event);
                denied_[ipv6 ? 1 : 0] = failure == ERROR_ACCESS_DENIED;
                return false;
            }
            probe->ipv6 = ipv6;
            flying_[id] = std::move(probe);
            return true;
        }
        int error = 0;
        probe->socket = startConnecting(*to, gateway ? 53 : 443, 0, error);
        if (probe->socket == INVALID_SOCKET && error != WSAECONNREFUSED) {
            return false;
        }
        flying_[id] = std::move(probe);
        return true;
    }

    std::vector<std::pair<long, double>> answers(Clock::time_point until) override {
        std::vector<std::pair<long, double>> answered;
        for (;;) {
            const auto now = Clock::now();
            std::vector<SOCKET> sockets;
            for (auto entry = flying_.begin(); entry != flying_.end();) {
                Flying& probe = *entry->second;
                if (probe.event != nullptr &&
                    ::WaitForSingleObject(probe.event, 0) == WAIT_OBJECT_0) {
                    ::CloseHandle(probe.event);
                    if (const auto roundTrip = roundTripOf(probe)) {
                        answered.emplace_back(entry->first, *roundTrip);
                    }
                    entry = flying_.erase(entry);
                    continue;
                }
                if (probe.socket != INVALID_SOCKET) {
                    if (now - probe.sent >= limit) {
                        ::closesocket(probe.socket);
                        entry = flying_.erase(entry);
                        continue;
                    }
                    sockets.push_back(probe.socket);
                }
                ++entry;
            }
            if (!answered.empty() || now >= until) {
                return answered;
            }
            // Echoes are looked at every few milliseconds; connections are waited for.
            const auto wait = std::min(until, now + std::chrono::milliseconds{5});
            for (const auto& [socket, error] : awaitConnections(sockets, wait)) {
                for (auto entry = flying_.begin(); entry != flying_.end(); ++entry) {
                    if (entry->second->socket == socket) {
                        if (error == 0 || error == WSAECONNREFUSED) {
                            answered.emplace_back(entry->first,
                                                  std::chrono::duration<double, std::milli>(
                                                      Clock::now() - entry->second->sent)
                                                      .count());
                        }
                        flying_.erase(entry); // awaitConnections closed it
                        break;
                    }
                }
            }
        }
    }

    bool idle() override { return flying_.empty(); }

  private:
    struct Flying {
        Clock::time_point sent;
        HANDLE event = nullptr;
        bool ipv6 = false;
        std::array<char, 256> reply{};
        SOCKET socket = INVALID_SOCKET;
        std::shared_lock<std::shared_mutex> inFlight;
    };

    static std::optional<double> roundTripOf(Flying& probe) {
        if (probe.ipv6) {
            if (::Icmp6ParseReplies(probe.reply.data(), probe.reply.size()) > 0) {
                const auto* reply = reinterpret_cast<const Icmpv6EchoReply*>(probe.reply.data());
                if (reply->status == IP_SUCCESS) {
                    return static_cast<double>(reply->roundTripTime);
                }
            }
        } else if (::IcmpParseReplies(probe.reply.data(), probe.reply.size()) > 0) {
            const auto* reply = reinterpret_cast<const ICMP_ECHO_REPLY*>(probe.reply.data());
            if (reply->Status == IP_SUCCESS) {
                return static_cast<double>(reply->RoundTripTime);
            }
        }
        return std::nullopt;
    }

    std::array<HANDLE, 2> icmp_;
    std::array<bool, 2> denied_{};
    std::map<long, std::unique_ptr<Flying>> flying_;
};

} // namespace

std::unique_ptr<Prober> Prober::make() {
    return std::make_unique<WindowsProber>();
}

// Echoes with a rising TTL, every hop's at once: each reply says which hop it came from.
Path trace(std::string_view address, Clock::time_point deadline) {
    Tracing tracing(address, Clock::now());
    auto inFlight = std::make_shared<std::shared_lock<std::shared_mutex>>(ipHelper());
    const auto to = addressOf(address, 0);
    const bool ipv6 = to && to->si_family == AF_INET6;
    const HANDLE icmp = !to    ? INVALID_HANDLE_VALUE
                        : ipv6 ? ::Icmp6CreateFile()
                               : ::IcmpCreateFile();
    if (icmp == INVALID_HANDLE_VALUE) {
        tracing.failed(to ? systemMessage(::GetLastError()) : "not an address");
        return tracing.finish();
    }
    std::vector<std::unique_ptr<Probe>> flying;
    char data[8] = "watcher";
    while (Clock::now() < deadline && !tracing.over(Clock::now())) {
        for (const int hop : tracing.due(Clock::now())) {
            auto probe = std::make_unique<Probe>();
            probe->hop = hop;
            probe->event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
            IP_OPTION_INFORMATION options{};
            options.Ttl = static_cast<UCHAR>(hop);
            const DWORD wait = millisecondsUntil(deadline);
            DWORD sent = 0;
            if (ipv6) {
                sockaddr_in6 source{};
                source.sin6_family = AF_INET6;
                sockaddr_in6 destination = to->Ipv6;
                sent = ::Icmp6SendEcho2(icmp, probe->event, nullptr, nullptr, &source, &destination,
                                        data, sizeof data, &options, probe->reply.data(),
                                        probe->reply.size(), wait);
            } else {
                sent = ::IcmpSendEcho2(icmp, probe->event, nullptr, nullptr,
                                       to->Ipv4.sin_addr.s_addr, data, sizeof data, &options,
                                       probe->reply.data(), probe->reply.size(), wait);
            }
            if (sent != 0 || ::GetLastError() != ERROR_IO_PENDING) {
                ::SetEvent(probe->event); // done at once, answered or failed
            }
            flying.push_back(std::move(probe));
        }
        const auto lookAgain = std::min(deadline, tracing.nextLook());
        if (flying.empty()) {
            std::this_thread::sleep_until(lookAgain);
            continue;
        }
        std::vector<HANDLE> events;
        for (std::size_t i = 0; i < flying.size() && i < MAXIMUM_WAIT_OBJECTS; ++i) {
            events.push_back(flying[i]->event);
        }
        const DWORD woken = ::WaitForMultipleObjects(
            static_cast<DWORD>(events.size()), events.data(), FALSE, millisecondsUntil(lookAgain));
        if (woken >= WAIT_OBJECT_0 + events.size()) {
            continue;
        }
        const std::unique_ptr<Probe> probe = std::move(flying[woken - WAIT_OBJECT_0]);
        flying.erase(flying.begin() + (woken - WAIT_OBJECT_0));
        ::CloseHandle(probe->event);
        ULONG status = IP_REQ_TIMED_OUT;
        Address replier{};
        if (ipv6) {
            if (::Icmp6ParseReplies(probe->reply.data(), probe->reply.size()) > 0) {
                const auto* reply = reinterpret_cast<const Icmpv6EchoReply*>(probe->reply.data());
                status = reply->status;
                replier.Ipv6.sin6_family = AF_INET6;
                std::memcpy(&replier.Ipv6.sin6_addr, reply->address.address, 16);
            }
        } else if (::IcmpParseReplies(probe->reply.data(), probe->reply.size()) > 0) {
            const auto* reply = reinterpret_cast<const ICMP_ECHO_REPLY*>(probe->reply.data());
            status = reply->Status;
            replier.Ipv4.sin_family = AF_INET;
            replier.Ipv4.sin_addr.s_addr = reply->Address;
        }
        if (status == IP_TTL_EXPIRED_TRANSIT) {
            tracing.expired(probe->hop, textOf(replier));
        } else if (status == IP_SUCCESS) {
            tracing.reached(probe->hop, textOf(replier));
        } else if (status != IP_REQ_TIMED_OUT && replier.si_family != 0) {
            tracing.unreachable(probe->hop, textOf(replier));
        }
    }
    // Echoes still in flight end by their own timeout, at the deadline, and are never cancelled:
    // closing the handle under them would cancel them, and Wine's cancel of an echo that drew an
    // unreachable never returns, holding every later device call of the program. A thread of its
    // own waits for them; one the system never lets go of keeps the handle and its buffer for good.
    const auto left = std::make_shared<std::vector<std::unique_ptr<Probe>>>(std::move(flying));
    os::runDetached([icmp, left, inFlight, wait = millisecondsUntil(deadline) + 2000] {
        bool allEnded = true;
        for (auto& probe : *left) {
            if (::WaitForSingleObject(probe->event, wait) == WAIT_OBJECT_0) {
                ::CloseHandle(probe->event);
            } else {
                allEnded = false;
                static_cast<void>(probe.release());
            }
        }
        if (allEnded) {
            ::IcmpCloseHandle(icmp);
        }
    }); // the echoes ended, or never will: the routes may be read again
    return tracing.finish();
}

} // namespace watch::network
