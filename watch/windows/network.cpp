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
// (its files included). Echoes in flight hold this shared; reading the routes or the adapters holds
// it alone. On Windows itself it costs a moment's wait.
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

// One echo, waited for where it is sent: Windows' ICMP calls are only ever made synchronously,
// each on a handle of its own. (Under Wine 8 an echo left in flight with an event has its status
// written into memory already freed, and one cancelled can hang the device host.)
struct Echoed {
    bool allowed = true; // false where ICMP is refused to this program
    ULONG status = IP_REQ_TIMED_OUT;
    Address replier{};
    double roundTrip = 0; // milliseconds, as the system measured it
};
Echoed echoOnce(const Address& to, int ttl, DWORD timeout) {
    Echoed echoed;
    const std::shared_lock inFlight(ipHelper());
    const bool ipv6 = to.si_family == AF_INET6;
    const HANDLE icmp = ipv6 ? ::Icmp6CreateFile() : ::IcmpCreateFile();
    if (icmp == INVALID_HANDLE_VALUE) {
        echoed.allowed = false;
        return echoed;
    }
    char data[8] = "watcher";
    std::array<char, 512> reply{};
    IP_OPTION_INFORMATION options{};
    options.Ttl = static_cast<UCHAR>(ttl > 0 ? ttl : 128);
    DWORD replies = 0;
    if (ipv6) {
        sockaddr_in6 source{};
        source.sin6_family = AF_INET6;
        sockaddr_in6 destination = to.Ipv6;
        replies = ::Icmp6SendEcho2(icmp, nullptr, nullptr, nullptr, &source, &destination, data,
                                   sizeof data, &options, reply.data(), reply.size(), timeout);
        if (replies > 0 && ::Icmp6ParseReplies(reply.data(), reply.size()) > 0) {
            const auto* answer = reinterpret_cast<const Icmpv6EchoReply*>(reply.data());
            echoed.status = answer->status;
            echoed.roundTrip = answer->roundTripTime;
            echoed.replier.Ipv6.sin6_family = AF_INET6;
            std::memcpy(&echoed.replier.Ipv6.sin6_addr, answer->address.address, 16);
        }
    } else {
        replies = ::IcmpSendEcho2(icmp, nullptr, nullptr, nullptr, to.Ipv4.sin_addr.s_addr, data,
                                  sizeof data, &options, reply.data(), reply.size(), timeout);
        if (replies > 0) {
            const auto* answer = reinterpret_cast<const ICMP_ECHO_REPLY*>(reply.data());
            echoed.status = answer->Status;
            echoed.roundTrip = answer->RoundTripTime;
            echoed.replier.Ipv4.sin_family = AF_INET;
            echoed.replier.Ipv4.sin_addr.s_addr = answer->Address;
        }
    }
    echoed.allowed = replies > 0 || ::GetLastError() != ERROR_ACCESS_DENIED;
    ::IcmpCloseHandle(icmp);
    return echoed;
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

// ICMP echoes five a second and TCP connection attempts to ports a router may serve, all at once:
// the first answer of any kind, a refusal included, is told at once; the echoes go on to the
// deadline, to count those lost.
Gateway askGateway(const Route& route, Clock::time_point deadline,
                   const std::function<void(const Gateway&)>& told) {
    Gateway gateway{
        route.family, true, route.gateway, false, route.gateway + " is no address", true, 0, 0};
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
        std::optional<std::string> echo; // how the echoes went, once they are over
        int echoes = 0;
        int answered = 0;
    };
    const auto heard = std::make_shared<Heard>();
    os::runDetached([heard, to = *hop, deadline] {
        const auto started = Clock::now();
        bool allowed = true;
        while (allowed && deadline - Clock::now() > 300ms) {
            const auto sent = Clock::now();
            const Echoed echoed = echoOnce(to, 0, 300);
            allowed = echoed.allowed;
            const std::scoped_lock lock(heard->mutex);
            heard->echoes += allowed ? 1 : 0;
            if (echoed.status == IP_SUCCESS) {
                ++heard->answered;
                const auto took =
                    std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
                heard->answer = heard->answer.value_or("answers an ICMP echo in " +
                                                       std::to_string(took.count()) + " ms");
                heard->changed.notify_all();
            }
            std::this_thread::sleep_until(sent + 200ms);
        }
        const std::scoped_lock lock(heard->mutex);
        heard->echo = allowed ? "silent to ICMP echoes" : "ICMP echo not allowed here";
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
    bool toldYet = false;
    const auto tellFirst = [&] {
        std::unique_lock lock(heard->mutex);
        if (!toldYet && heard->answer) {
            toldYet = true;
            Gateway first = gateway;
            first.answered = true;
            first.said = route.gateway + " " + *heard->answer;
            lock.unlock();
            told(first);
        }
    };
    while (Clock::now() < deadline) {
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
        tellFirst();
        const std::scoped_lock lock(heard->mutex);
        if (heard->echo && (heard->answer || sockets.empty())) {
            break; // the echoes are over, and every way of asking has had its answer
        }
    }
    for (const SOCKET socket : sockets) {
        ::closesocket(socket);
    }
    std::unique_lock lock(heard->mutex);
    heard->changed.wait_until(lock, deadline, [&] { return heard->echo.has_value(); });
    gateway.answered = heard->answer.has_value();
    gateway.echoes = heard->echoes;
    gateway.lost = heard->answered > 0 ? heard->echoes - heard->answered : 0;
    gateway.said = route.gateway + " " +
                   (heard->answer ? *heard->answer
                                  : heard->echo.value_or("silent to ICMP echoes") +
                                        "; TCP ports 53, 80 and 443: " + tcpSaid);
    if (gateway.lost > 0) {
        gateway.said += "; " + std::to_string(gateway.lost) + " of " +
                        std::to_string(gateway.echoes) + " echoes unanswered";
    }
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

// Tries half a second apart, each a connection of its own; where one is refused, its twin that
// expires two hops out: the refusal counts only where the twin is not refused too in about the
// time the try took.
Reply reach(std::string_view address, std::uint16_t port, Clock::time_point deadline,
            const std::function<void(const Reply&)>& heard) {
    const auto to = addressOf(address, port);
    if (!to) {
        return {std::string(address), Reply::Heard::nothing, "not an address", false, 0, 0};
    }
    struct Try {
        SOCKET socket;
        Clock::time_point started;
        bool pending;
        int error;
    };
    std::vector<Try> tries;
    SOCKET twin = INVALID_SOCKET;
    bool twinRefused = false;
    std::optional<Clock::time_point> twinDecidedBy;
    Attempt attempt;
    auto nextTry = Clock::now();
    bool told = false;
    while (Clock::now() < deadline) {
        if (tries.size() < 4 && Clock::now() >= nextTry && deadline - Clock::now() > 300ms) {
            int error = 0;
            const SOCKET socket = startConnecting(*to, port, 0, error);
            tries.push_back({socket, Clock::now(), socket != INVALID_SOCKET, error});
            nextTry += 500ms;
        }
        std::vector<SOCKET> waiting;
        for (const Try& each : tries) {
            if (each.pending) {
                waiting.push_back(each.socket);
            }
        }
        if (twin != INVALID_SOCKET && !twinRefused) {
            waiting.push_back(twin);
        }
        auto wakeAt = tries.size() < 4 ? std::min(deadline, nextTry) : deadline;
        wakeAt = std::min(wakeAt, Clock::now() + 100ms);
        for (const auto& [socket, error] : awaitConnections(waiting, wakeAt)) {
            if (socket == twin) {
                twinRefused = error == WSAECONNREFUSED;
                twin = INVALID_SOCKET; // awaitConnections closed it
                continue;
            }
            for (Try& each : tries) {
                if (each.pending && each.socket == socket) {
                    each.pending = false;
                    each.error = error;
                    if (error == WSAECONNREFUSED && !twinDecidedBy) {
                        int twinError = 0;
                        twin = startConnecting(*to, port, nearHops, twinError);
                        twinDecidedBy = Clock::now() + (Clock::now() - each.started) + 50ms;
                    }
                }
            }
        }
        attempt.connected = std::any_of(tries.begin(), tries.end(),
                                        [](const Try& t) { return !t.pending && t.error == 0; });
        attempt.refused = std::any_of(tries.begin(), tries.end(), [](const Try& t) {
            return !t.pending && t.error == WSAECONNREFUSED;
        });
        attempt.refusedNearer = twinRefused;
        const bool decided = !twinDecidedBy || twinRefused || Clock::now() >= *twinDecidedBy;
        if (!told && (attempt.connected || (attempt.refused && decided))) {
            told = true;
            heard(replyOf(std::string(address), attempt));
        }
        // Every try over, and no more to come, or the way there said to be gone: nothing more
        // to hear.
        const bool pending =
            std::any_of(tries.begin(), tries.end(), [](const Try& t) { return t.pending; });
        const bool unreachable = std::any_of(tries.begin(), tries.end(), [](const Try& t) {
            return !t.pending && (t.error == WSAENETUNREACH || t.error == WSAEHOSTUNREACH);
        });
        if (!pending && decided && (tries.size() == 4 || unreachable)) {
            break;
        }
    }
    for (const Try& each : tries) {
        if (each.pending) {
            ::closesocket(each.socket);
        }
    }
    if (twin != INVALID_SOCKET) {
        ::closesocket(twin);
    }
    attempt.tries = static_cast<int>(tries.size());
    for (const Try& each : tries) {
        attempt.ended = attempt.ended || !each.pending;
        attempt.silent += each.pending ? 1 : 0;
        if (!each.pending && each.error != 0 && each.error != WSAECONNREFUSED &&
            attempt.failure.empty()) {
            attempt.failure = socketError(each.error);
        }
    }
    if (attempt.failure.empty()) {
        attempt.failure = "silent";
    }
    return replyOf(std::string(address), attempt);
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

// Echoes each waited for on a thread of its own (see echoOnce); where the system refuses ICMP to
// us, TCP connection attempts.
class WindowsProber final : public Prober {
  public:
    std::string way(std::string_view family) override {
        return !shared_->denied[family == "ipv6" ? 1 : 0] ? "ICMP echo"
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
        if (!shared_->denied[ipv6 ? 1 : 0]) {
            {
                const std::scoped_lock lock(shared_->mutex);
                ++shared_->flying;
            }
            os::runDetached([shared = shared_, id, to = *to, ipv6] {
                const Echoed echoed = echoOnce(to, 0, static_cast<DWORD>(limit.count()));
                const std::scoped_lock lock(shared->mutex);
                --shared->flying;
                shared->denied[ipv6 ? 1 : 0] = shared->denied[ipv6 ? 1 : 0] || !echoed.allowed;
                if (echoed.status == IP_SUCCESS) {
                    shared->answered.emplace_back(id, echoed.roundTrip);
                }
                shared->changed.notify_all();
            });
            return true;
        }
        int error = 0;
        const SOCKET socket = startConnecting(*to, gateway ? 53 : 443, 0, error);
        if (socket == INVALID_SOCKET && error != WSAECONNREFUSED) {
            return false;
        }
        connecting_[id] = {socket, Clock::now()};
        return true;
    }

    std::vector<std::pair<long, double>> answers(Clock::time_point until) override {
        std::vector<std::pair<long, double>> answered;
        for (;;) {
            {
                std::unique_lock lock(shared_->mutex);
                answered.swap(shared_->answered);
            }
            const auto now = Clock::now();
            std::vector<SOCKET> sockets;
            for (auto entry = connecting_.begin(); entry != connecting_.end();) {
                const auto& [socket, sent] = entry->second;
                if (socket == INVALID_SOCKET || now - sent >= limit) { // refused at once, or over
                    if (socket == INVALID_SOCKET) {
                        answered.emplace_back(entry->first, 0.0);
                    } else {
                        ::closesocket(socket);
                    }
                    entry = connecting_.erase(entry);
                    continue;
                }
                sockets.push_back(socket);
                ++entry;
            }
            if (!answered.empty() || now >= until) {
                return answered;
            }
            // Echoes are told as they come; connections are waited for a few milliseconds at once.
            const auto wait = std::min(until, now + std::chrono::milliseconds{5});
            if (sockets.empty()) {
                std::unique_lock lock(shared_->mutex);
                shared_->changed.wait_until(lock, until,
                                            [&] { return !shared_->answered.empty(); });
                continue;
            }
            for (const auto& [socket, error] : awaitConnections(sockets, wait)) {
                for (auto entry = connecting_.begin(); entry != connecting_.end(); ++entry) {
                    if (entry->second.first == socket) {
                        if (error == 0 || error == WSAECONNREFUSED) {
                            answered.emplace_back(entry->first,
                                                  std::chrono::duration<double, std::milli>(
                                                      Clock::now() - entry->second.second)
                                                      .count());
                        }
                        connecting_.erase(entry); // awaitConnections closed it
                        break;
                    }
                }
            }
        }
    }

    bool idle() override {
        const std::scoped_lock lock(shared_->mutex);
        return shared_->flying == 0 && connecting_.empty();
    }

  private:
    // What the echoes' threads share with the sampler's: they may outlive it.
    struct Shared {
        std::mutex mutex;
        std::condition_variable changed;
        std::vector<std::pair<long, double>> answered;
        std::array<bool, 2> denied{};
        int flying = 0;
    };
    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
    std::map<long, std::pair<SOCKET, Clock::time_point>> connecting_;
};

} // namespace

std::unique_ptr<Prober> Prober::make() {
    return std::make_unique<WindowsProber>();
}

// Echoes with a rising TTL, every hop's at once, each waited for on a thread of its own: each
// reply says which hop it came from. Those still in flight at the end end by their own timeout.
Path trace(std::string_view address, Clock::time_point deadline) {
    Tracing tracing(address, Clock::now());
    const auto to = addressOf(address, 0);
    if (!to) {
        tracing.failed("not an address");
        return tracing.finish();
    }
    struct Heard {
        std::mutex mutex;
        std::condition_variable changed;
        std::vector<std::pair<int, Echoed>> echoes; // by hop
    };
    const auto heard = std::make_shared<Heard>();
    while (Clock::now() < deadline && !tracing.over(Clock::now())) {
        for (const int hop : tracing.due(Clock::now())) {
            os::runDetached([heard, to = *to, hop, wait = millisecondsUntil(deadline)] {
                const Echoed echoed = echoOnce(to, hop, wait);
                const std::scoped_lock lock(heard->mutex);
                heard->echoes.emplace_back(hop, echoed);
                heard->changed.notify_all();
            });
        }
        std::vector<std::pair<int, Echoed>> echoes;
        {
            std::unique_lock lock(heard->mutex);
            heard->changed.wait_until(lock, std::min(deadline, tracing.nextLook()),
                                      [&] { return !heard->echoes.empty(); });
            echoes.swap(heard->echoes);
        }
        for (const auto& [hop, echoed] : echoes) {
            if (!echoed.allowed) {
                tracing.failed(systemMessage(ERROR_ACCESS_DENIED));
            } else if (echoed.status == IP_TTL_EXPIRED_TRANSIT) {
                tracing.expired(hop, textOf(echoed.replier));
            } else if (echoed.status == IP_SUCCESS) {
                tracing.reached(hop, textOf(echoed.replier));
            } else if (echoed.status != IP_REQ_TIMED_OUT && echoed.replier.si_family != 0) {
                tracing.unreachable(hop, textOf(echoed.replier));
            }
        }
    }
    return tracing.finish();
}

} // namespace watch::network
