// The diagnosis's stages on Linux: routes from /proc, unprivileged ICMP sockets, TCP connection
// attempts, UDP probes with a rising TTL read back from the socket's error queue, and c-ares
// asking each nameserver of resolv.conf on its own.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <map>
#include <sstream>

#include <arpa/inet.h>
#include <linux/errqueue.h>
#include <net/if.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "../network.h"
#include "posix/probe.h"
#include "system.h"

namespace watch::network {
namespace {

using standin::Answer;
using standin::Endpoint;

// A descriptor closed on every path.
class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int fd() const { return fd_; }

  private:
    int fd_;
};

int millisecondsUntil(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<long>(left.count(), 0));
}

std::optional<Endpoint> endpointOf(std::string_view literal, std::uint16_t port,
                                   unsigned scope = 0) {
    Endpoint endpoint;
    const std::string text(literal);
    auto& v4 = reinterpret_cast<sockaddr_in&>(endpoint.address);
    auto& v6 = reinterpret_cast<sockaddr_in6&>(endpoint.address);
    if (::inet_pton(AF_INET, text.c_str(), &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        endpoint.length = sizeof v4;
    } else if (::inet_pton(AF_INET6, text.c_str(), &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        v6.sin6_scope_id = scope;
        endpoint.length = sizeof v6;
    } else {
        return std::nullopt;
    }
    endpoint.setPort(port);
    return endpoint;
}

// An address as the system writes it: one spelling for one address.
std::string textOf(const sockaddr* address) {
    std::array<char, INET6_ADDRSTRLEN> text{};
    const void* bytes =
        address->sa_family == AF_INET6
            ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr)
            : &reinterpret_cast<const sockaddr_in*>(address)->sin_addr;
    ::inet_ntop(address->sa_family, bytes, text.data(), text.size());
    return text.data();
}

std::uint16_t portOf(const sockaddr* address) {
    return ntohs(address->sa_family == AF_INET6
                     ? reinterpret_cast<const sockaddr_in6*>(address)->sin6_port
                     : reinterpret_cast<const sockaddr_in*>(address)->sin_port);
}

// Expiring probes: the hop limit of what a socket sends, and its errors kept to be read back.
void limitHops(int fd, int family, int hops, bool reportErrors) {
    const int on = 1;
    if (family == AF_INET6) {
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_UNICAST_HOPS, &hops, sizeof hops);
        if (reportErrors) {
            ::setsockopt(fd, IPPROTO_IPV6, IPV6_RECVERR, &on, sizeof on);
        }
    } else {
        ::setsockopt(fd, IPPROTO_IP, IP_TTL, &hops, sizeof hops);
        if (reportErrors) {
            ::setsockopt(fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
        }
    }
}

int tcpSocket(const Endpoint& to) {
    return ::socket(to.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
}

// Starts a connection; the error it failed with at once, or 0 while it is under way.
int startConnecting(int fd, const Endpoint& to) {
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&to.address), to.length) == 0) {
        return 0;
    }
    return errno == EINPROGRESS || errno == EINTR ? 0 : errno;
}

int socketError(int fd) {
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
    return error;
}

std::string connectionError(int error) {
    switch (error) {
    case ETIMEDOUT:
        return "silent";
    case ENETUNREACH:
        return "network unreachable";
    case EHOSTUNREACH:
        return "host unreachable";
    case EADDRNOTAVAIL:
        return "no address of its family here";
    default:
        return std::strerror(error);
    }
}

// A refusal from nearer comes as soon as the far one, give or take this.
constexpr std::chrono::milliseconds refusalMargin{50};
// An address is tried this often, half a second apart, while at least the shortest try is left.
constexpr std::size_t triesPerAddress = 4;
constexpr std::chrono::milliseconds tryEvery{500};
constexpr std::chrono::milliseconds shortestTry{300};
// The gateway's echoes come this often.
constexpr std::chrono::milliseconds echoEvery{200};

// An ICMP echo request: type, code, checksum (the kernel's), identifier (the kernel's), sequence.
std::array<unsigned char, 16> echoRequest(bool ipv6, std::uint16_t sequence) {
    std::array<unsigned char, 16> request{};
    request[0] = ipv6 ? static_cast<unsigned char>(ICMP6_ECHO_REQUEST)
                      : static_cast<unsigned char>(ICMP_ECHO);
    request[6] = static_cast<unsigned char>(sequence >> 8U);
    request[7] = static_cast<unsigned char>(sequence & 0xffU);
    return request;
}

// /proc/net/route: Iface Destination Gateway Flags RefCnt Use Metric Mask..., addresses in hex
// in the kernel's byte order.
Route ipv4DefaultRoute(std::istream& table) {
    Route best{"ipv4", false, "", 0};
    long bestMetric = 0;
    std::string line;
    std::getline(table, line); // the header
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string device, destination, gateway, mask;
        unsigned flags = 0;
        long references = 0, use = 0, metric = 0;
        fields >> device >> destination >> gateway >> std::hex >> flags >> std::dec >> references >>
            use >> metric >> mask;
        constexpr unsigned up = 0x1, rejected = 0x200;
        if (!fields || destination != "00000000" || mask != "00000000" || (flags & up) == 0 ||
            (flags & rejected) != 0 || (best.exists && metric >= bestMetric)) {
            continue;
        }
        in_addr address{};
        address.s_addr = static_cast<in_addr_t>(std::stoul(gateway, nullptr, 16));
        std::array<char, INET_ADDRSTRLEN> text{};
        ::inet_ntop(AF_INET, &address, text.data(), text.size());
        best = {"ipv4", true, address.s_addr == 0 ? "" : text.data(),
                ::if_nametoindex(device.c_str())};
        bestMetric = metric;
    }
    return best;
}

// /proc/net/ipv6_route: destination, length, source, length, next hop, metric, references, use,
// flags, device; addresses as 32 hex digits.
Route ipv6DefaultRoute(std::istream& table) {
    Route best{"ipv6", false, "", 0};
    unsigned long bestMetric = 0;
    std::string destination, length, source, sourceLength, nextHop, metric, references, use, flags,
        device;
    while (table >> destination >> length >> source >> sourceLength >> nextHop >> metric >>
           references >> use >> flags >> device) {
        constexpr unsigned long up = 0x1, rejected = 0x200;
        const unsigned long routeFlags = std::stoul(flags, nullptr, 16);
        const unsigned long routeMetric = std::stoul(metric, nullptr, 16);
        if (destination != std::string(32, '0') || length != "00" || device == "lo" ||
            (routeFlags & up) == 0 || (routeFlags & rejected) != 0 ||
            (best.exists && routeMetric >= bestMetric)) {
            continue;
        }
        in6_addr address{};
        for (std::size_t i = 0; i < 16; ++i) {
            address.s6_addr[i] =
                static_cast<unsigned char>(std::stoul(nextHop.substr(2 * i, 2), nullptr, 16));
        }
        std::array<char, INET6_ADDRSTRLEN> text{};
        ::inet_ntop(AF_INET6, &address, text.data(), text.size());
        best = {"ipv6", true, nextHop == std::string(32, '0') ? "" : text.data(),
                ::if_nametoindex(device.c_str())};
        bestMetric = routeMetric;
    }
    return best;
}

// A small file of the system's, whole, never inherited by a program started later.
std::optional<std::string> contentOf(const char* path) {
    std::FILE* file = core::system::openForReading(path);
    if (file == nullptr) {
        return std::nullopt;
    }
    std::string text;
    std::array<char, 4096> chunk{};
    for (std::size_t got; (got = std::fread(chunk.data(), 1, chunk.size(), file)) > 0;) {
        text.append(chunk.data(), got);
    }
    std::fclose(file);
    return text;
}

std::string answerText(Answer answer) {
    switch (answer) {
    case Answer::addresses:
        return "answers";
    case Answer::noAddresses:
        return "no address";
    case Answer::noSuchName:
        return "NXDOMAIN";
    case Answer::serverFailure:
        return "SERVFAIL";
    case Answer::refused:
        return "REFUSED";
    case Answer::unreachable:
        return "unreachable";
    case Answer::silent:
        return "silent";
    case Answer::pending:
        return "no answer in time";
    case Answer::notAsked:
        return "not asked";
    case Answer::failed:
        break;
    }
    return "failed";
}

// Of a server's two answers, the one that says the most: addresses, then what it said of the
// name, then how it failed to say anything.
int rank(Answer answer) {
    constexpr std::array order = {Answer::addresses,     Answer::noAddresses, Answer::noSuchName,
                                  Answer::serverFailure, Answer::refused,     Answer::unreachable,
                                  Answer::silent,        Answer::pending,     Answer::failed,
                                  Answer::notAsked};
    return static_cast<int>(std::find(order.begin(), order.end(), answer) - order.begin());
}

// Drives a lookup until every question is answered or the deadline passes.
void settle(standin::NameLookup& lookup, Clock::time_point deadline) {
    while (Clock::now() < deadline) {
        lookup.takeReady();
        if (lookup.finished()) {
            return;
        }
        std::vector<pollfd> watched;
        const auto wakeAt = std::min(deadline, lookup.watch(watched));
        ::poll(watched.data(), watched.size(), millisecondsUntil(wakeAt));
        lookup.process(watched);
    }
}

// Whether there is a way to an address at all: a datagram socket connected to it is routed.
int routeError(const Endpoint& to) {
    const Descriptor socket(::socket(to.family(), SOCK_DGRAM | SOCK_CLOEXEC, 0));
    return socket.fd() < 0 ? errno : startConnecting(socket.fd(), to);
}

// Expiring probes in flight toward one address: the hop a probe is for is in its port.
constexpr std::uint16_t firstPort = 33434;

} // namespace

std::optional<std::vector<Route>> defaultRoutes(std::string& why) {
    const auto ipv4Table = contentOf("/proc/net/route");
    if (!ipv4Table) {
        why = "cannot read /proc/net/route";
        return std::nullopt;
    }
    std::istringstream ipv4(*ipv4Table);
    std::istringstream ipv6(contentOf("/proc/net/ipv6_route").value_or(""));
    return std::vector{ipv4DefaultRoute(ipv4), ipv6DefaultRoute(ipv6)};
}

// ICMP echoes on an unprivileged datagram socket, five a second, and TCP connection attempts to
// ports a router may serve, all in one wait. The first answer of any kind is told at once; the
// echoes go on to the deadline, to count those lost.
Gateway askGateway(const Route& route, Clock::time_point deadline,
                   const std::function<void(const Gateway&)>& heard) {
    Gateway gateway{route.family, true, route.gateway, false, "", true, 0, 0};
    const auto address = endpointOf(route.gateway, 0, route.linkIndex);
    if (!address) {
        gateway.said = route.gateway + " is no address";
        return gateway;
    }
    const bool ipv6 = address->family() == AF_INET6;
    const Descriptor icmp(::socket(address->family(), SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC,
                                   ipv6 ? static_cast<int>(IPPROTO_ICMPV6) : IPPROTO_ICMP));
    constexpr std::array<std::uint16_t, 3> ports = {53, 80, 443};
    std::vector<std::unique_ptr<Descriptor>> tcp;
    std::vector<pollfd> watched;
    if (icmp.fd() >= 0) {
        watched.push_back({icmp.fd(), POLLIN, 0});
    }
    for (const std::uint16_t port : ports) {
        Endpoint to = *address;
        to.setPort(port);
        tcp.push_back(std::make_unique<Descriptor>(tcpSocket(to)));
        if (tcp.back()->fd() >= 0 && startConnecting(tcp.back()->fd(), to) == 0) {
            watched.push_back({tcp.back()->fd(), POLLOUT, 0});
        }
    }
    const auto started = Clock::now();
    std::uint16_t sequence = 0;
    auto resendAt = started;
    std::string tcpSaid = "silent";
    int echoesAnswered = 0;
    const auto answer = [&](const std::string& said) {
        if (!gateway.answered) {
            gateway.answered = true;
            gateway.said = said;
            heard(gateway);
        }
    };
    while (Clock::now() < deadline) {
        // The last echoes would have no time to be answered: not sent, so not lost.
        if (icmp.fd() >= 0 && Clock::now() >= resendAt && deadline - Clock::now() > shortestTry) {
            const auto request = echoRequest(ipv6, ++sequence);
            gateway.echoes +=
                ::sendto(icmp.fd(), request.data(), request.size(), 0,
                         reinterpret_cast<const sockaddr*>(&address->address), address->length) > 0
                    ? 1
                    : 0;
            resendAt = Clock::now() + echoEvery;
        }
        const auto wakeAt = icmp.fd() >= 0 ? std::min(deadline, resendAt) : deadline;
        if (::poll(watched.data(), watched.size(), millisecondsUntil(wakeAt)) <= 0) {
            continue;
        }
        for (pollfd& entry : watched) {
            if (entry.revents == 0) {
                continue;
            }
            const auto took =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
            if (entry.fd == icmp.fd()) {
                std::array<unsigned char, 256> reply{};
                const int echoReply = ipv6 ? static_cast<int>(ICMP6_ECHO_REPLY) : ICMP_ECHOREPLY;
                for (ssize_t got; (got = ::recv(icmp.fd(), reply.data(), reply.size(), 0)) > 0;) {
                    if (reply[0] == echoReply) {
                        ++echoesAnswered;
                        answer(route.gateway + " answers an ICMP echo in " +
                               std::to_string(took.count()) + " ms");
                    }
                }
                continue;
            }
            const int error = socketError(entry.fd);
            entry.fd = -1; // asked once: poll passes over it from now on
            if (error == 0 || error == ECONNREFUSED) {
                answer(route.gateway + " answers on TCP in " + std::to_string(took.count()) +
                       " ms (" +
                       (icmp.fd() >= 0 ? "silent to ICMP echoes" : "ICMP echo not allowed here") +
                       ")");
            } else {
                tcpSaid = connectionError(error);
            }
        }
        if ((icmp.fd() < 0 && gateway.answered) ||
            (icmp.fd() < 0 && std::all_of(watched.begin(), watched.end(),
                                          [](const pollfd& entry) { return entry.fd < 0; }))) {
            break; // every way of asking has had its answer
        }
    }
    if (echoesAnswered > 0 && gateway.echoes > echoesAnswered) {
        gateway.lost = gateway.echoes - echoesAnswered;
        gateway.said += "; " + std::to_string(gateway.lost) + " of " +
                        std::to_string(gateway.echoes) + " echoes unanswered";
    }
    if (!gateway.answered) {
        gateway.said =
            route.gateway +
            (icmp.fd() >= 0 ? " silent to ICMP echoes" : " (ICMP echo not allowed here)") +
            "; TCP ports 53, 80 and 443: " + tcpSaid;
    }
    return gateway;
}

std::vector<std::string> nameservers() {
    std::vector<std::string> servers;
    std::istringstream configuration(contentOf("/etc/resolv.conf").value_or(""));
    for (std::string line; std::getline(configuration, line);) {
        std::istringstream words(line);
        std::string keyword, server;
        if (words >> keyword >> server && keyword == "nameserver") {
            const auto address = endpointOf(server, 53);
            servers.push_back(address ? textOf(reinterpret_cast<const sockaddr*>(&address->address))
                                      : server);
        }
    }
    return servers;
}

Reply askNameserver(const std::string& server, std::string_view host, Clock::time_point deadline) {
    Reply reply{server, Reply::Heard::nothing, "no answer in time"};
    const auto address = endpointOf(server, 53);
    if (!address) {
        reply.said = "not an address";
        return reply;
    }
    if (const int error = routeError(*address); error != 0) {
        reply.said = "no way to it: " + connectionError(error);
        return reply;
    }
    try {
        standin::LookupOptions options;
        options.nameservers =
            address->family() == AF_INET6 ? "[" + server + "]:53" : server + ":53";
        options.nameserversOnly = true;
        options.tries = 1; // asked once, with all the time there is
        options.timeout =
            std::max(std::chrono::milliseconds{1},
                     std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()));
        standin::NameLookup lookup(std::string(host), 53, options);
        settle(lookup, deadline);
        const Answer answer = std::min(lookup.answer(AF_INET), lookup.answer(AF_INET6),
                                       [](Answer a, Answer b) { return rank(a) < rank(b); });
        reply.heard = answer == Answer::addresses             ? Reply::Heard::answer
                      : rank(answer) <= rank(Answer::refused) ? Reply::Heard::refusal
                                                              : Reply::Heard::nothing;
        reply.said = answerText(answer);
    } catch (const std::runtime_error& error) {
        reply.said = error.what();
    }
    return reply;
}

// Tries half a second apart, each a connection of its own; where one is refused, its twin that
// expires two hops out: the refusal counts only where the twin is not refused too in about the
// time the try took.
Reply reach(std::string_view address, std::uint16_t port, Clock::time_point deadline,
            const std::function<void(const Reply&)>& heard) {
    const auto to = endpointOf(address, port);
    if (!to) {
        return {std::string(address), Reply::Heard::nothing, "not an address", false, 0, 0};
    }
    struct Try {
        std::unique_ptr<Descriptor> socket;
        Clock::time_point started;
        bool pending = true;
        int error = 0;
    };
    std::vector<Try> tries;
    std::unique_ptr<Descriptor> twin;
    bool twinRefused = false;
    std::optional<Clock::time_point> twinDecidedBy; // a refusal from nearer comes as soon
    Attempt attempt;
    auto nextTry = Clock::now();
    bool told = false;
    const auto decided = [&] { return !twin || twinRefused || Clock::now() >= *twinDecidedBy; };
    while (Clock::now() < deadline) {
        if (tries.size() < triesPerAddress && Clock::now() >= nextTry &&
            deadline - Clock::now() > shortestTry) {
            Try next{std::make_unique<Descriptor>(tcpSocket(*to)), Clock::now()};
            next.error = next.socket->fd() < 0 ? errno : startConnecting(next.socket->fd(), *to);
            next.pending = next.error == 0;
            tries.push_back(std::move(next));
            nextTry += tryEvery;
        }
        std::vector<pollfd> watched;
        watched.reserve(tries.size() + 1);
        for (const Try& each : tries) {
            watched.push_back({each.pending ? each.socket->fd() : -1, POLLOUT, 0});
        }
        const bool twinWatched = twin && !twinRefused;
        if (twinWatched) {
            watched.push_back({twin->fd(), POLLOUT, 0});
        }
        auto wakeAt = deadline;
        if (tries.size() < triesPerAddress) {
            wakeAt = std::min(wakeAt, nextTry);
        }
        if (twinDecidedBy && !told) {
            wakeAt = std::min(wakeAt, *twinDecidedBy);
        }
        if (::poll(watched.data(), watched.size(), millisecondsUntil(wakeAt)) > 0) {
            for (std::size_t i = 0; i < tries.size(); ++i) {
                if (watched[i].revents != 0) {
                    tries[i].error = socketError(tries[i].socket->fd());
                    tries[i].pending = false;
                    if (tries[i].error == ECONNREFUSED && !twin) {
                        twin = std::make_unique<Descriptor>(tcpSocket(*to));
                        limitHops(twin->fd(), to->family(), nearHops, true);
                        startConnecting(twin->fd(), *to);
                        twinDecidedBy =
                            Clock::now() + (Clock::now() - tries[i].started) + refusalMargin;
                    }
                }
            }
            if (twinWatched && watched.back().revents != 0) {
                twinRefused = socketError(twin->fd()) == ECONNREFUSED;
            }
        }
        attempt.connected = std::any_of(tries.begin(), tries.end(),
                                        [](const Try& t) { return !t.pending && t.error == 0; });
        attempt.refused = std::any_of(tries.begin(), tries.end(), [](const Try& t) {
            return !t.pending && t.error == ECONNREFUSED;
        });
        attempt.refusedNearer = twinRefused;
        if (!told && (attempt.connected || (attempt.refused && decided()))) {
            told = true;
            heard(replyOf(std::string(address), attempt));
        }
        // Every try over, and no more to come, or the way there said to be gone: nothing more
        // to hear.
        const bool pending =
            std::any_of(tries.begin(), tries.end(), [](const Try& t) { return t.pending; });
        const bool unreachable = std::any_of(tries.begin(), tries.end(), [](const Try& t) {
            return !t.pending && (t.error == ENETUNREACH || t.error == EHOSTUNREACH ||
                                  t.error == EADDRNOTAVAIL || t.error == ENETDOWN);
        });
        if (!pending && decided() && (tries.size() == triesPerAddress || unreachable)) {
            break;
        }
    }
    attempt.tries = static_cast<int>(tries.size());
    for (const Try& each : tries) {
        attempt.ended = attempt.ended || !each.pending;
        attempt.silent += each.pending ? 1 : 0;
        if (!each.pending && each.error != 0 && each.error != ECONNREFUSED &&
            attempt.failure.empty()) {
            attempt.failure = connectionError(each.error);
        }
    }
    if (attempt.failure.empty()) {
        attempt.failure = "silent";
    }
    return replyOf(std::string(address), attempt);
}

Resolved resolve(std::string_view host, std::string_view family, Clock::time_point deadline) {
    Resolved found;
    const int wanted = family == "ipv6" ? AF_INET6 : AF_INET;
    try {
        standin::LookupOptions options;
        options.family = wanted;
        standin::NameLookup lookup(std::string(host), 0, options);
        std::vector<Endpoint> endpoints;
        for (;;) {
            for (const Endpoint& endpoint : lookup.takeReady()) {
                endpoints.push_back(endpoint);
            }
            if (lookup.finished() || Clock::now() >= deadline) {
                break;
            }
            std::vector<pollfd> watched;
            const auto wakeAt = std::min(deadline, lookup.watch(watched));
            ::poll(watched.data(), watched.size(), millisecondsUntil(wakeAt));
            lookup.process(watched);
        }
        for (const Endpoint& endpoint : endpoints) {
            found.addresses.push_back(textOf(reinterpret_cast<const sockaddr*>(&endpoint.address)));
        }
        found.said = found.addresses.empty() ? answerText(lookup.answer(wanted)) : "resolves";
    } catch (const std::runtime_error& error) {
        found.said = error.what();
    }
    return found;
}

namespace {

// Echoes on an unprivileged ICMP socket per family where the system allows one (its
// ping_group_range), else one TCP connection attempt a probe.
class PosixProber final : public Prober {
  public:
    PosixProber() {
        for (const int family : {AF_INET, AF_INET6}) {
            Icmp& icmp = icmp_[family == AF_INET6 ? 1 : 0];
            icmp.fd =
                ::socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC,
                         family == AF_INET6 ? static_cast<int>(IPPROTO_ICMPV6) : IPPROTO_ICMP);
            icmp.refused = icmp.fd < 0 ? std::strerror(errno) : "";
        }
    }
    ~PosixProber() override {
        for (const Icmp& icmp : icmp_) {
            if (icmp.fd >= 0) {
                ::close(icmp.fd);
            }
        }
        for (const auto& [id, probe] : flying_) {
            if (probe.fd >= 0) {
                ::close(probe.fd);
            }
        }
    }
    PosixProber(const PosixProber&) = delete;
    PosixProber& operator=(const PosixProber&) = delete;

    std::string way(std::string_view family) override {
        const Icmp& icmp = icmp_[family == "ipv6" ? 1 : 0];
        return icmp.fd >= 0 ? "ICMP echo"
                            : "TCP (ICMP echo not allowed here: " + icmp.refused + ")";
    }

    bool send(long id, const std::string& address, unsigned scope, bool gateway) override {
        const auto to = endpointOf(address, gateway ? 53 : 443, scope);
        if (!to) {
            return false;
        }
        const bool ipv6 = to->family() == AF_INET6;
        const int icmp = icmp_[ipv6 ? 1 : 0].fd;
        const auto now = Clock::now();
        if (icmp >= 0) {
            Endpoint echoTo = *to;
            echoTo.setPort(0);
            const auto request = echoRequest(ipv6, static_cast<std::uint16_t>(id));
            if (::sendto(icmp, request.data(), request.size(), 0,
                         reinterpret_cast<const sockaddr*>(&echoTo.address), echoTo.length) < 0) {
                return false;
            }
            flying_[id] = {now, -1, ipv6};
            return true;
        }
        const int fd = tcpSocket(*to);
        if (fd < 0) {
            return false;
        }
        const int error = startConnecting(fd, *to);
        if (error != 0 && error != ECONNREFUSED) {
            ::close(fd);
            return false;
        }
        flying_[id] = {now, fd, ipv6};
        return true;
    }

    std::vector<std::pair<long, double>> answers(Clock::time_point until) override {
        std::vector<std::pair<long, double>> answered;
        while (answered.empty()) {
            giveUp();
            std::vector<pollfd> watched;
            std::vector<long> ids; // the probe of each TCP entry
            for (const Icmp& icmp : icmp_) {
                if (icmp.fd >= 0) {
                    watched.push_back({icmp.fd, POLLIN, 0});
                    ids.push_back(-1);
                }
            }
            for (const auto& [id, probe] : flying_) {
                if (probe.fd >= 0) {
                    watched.push_back({probe.fd, POLLOUT, 0});
                    ids.push_back(id);
                }
            }
            const auto wait = std::min(until, oldest() + limit);
            if (Clock::now() >= until ||
                ::poll(watched.data(), watched.size(), millisecondsUntil(wait)) <= 0) {
                if (Clock::now() >= until) {
                    break;
                }
                continue;
            }
            const auto now = Clock::now();
            for (std::size_t i = 0; i < watched.size(); ++i) {
                if (watched[i].revents == 0) {
                    continue;
                }
                if (ids[i] < 0) {
                    readEchoes(watched[i].fd, now, answered);
                    continue;
                }
                const auto probe = flying_.find(ids[i]);
                const int error = socketError(probe->second.fd);
                if (error == 0 || error == ECONNREFUSED) {
                    answered.emplace_back(ids[i], millisecondsOf(now - probe->second.sent));
                }
                ::close(probe->second.fd);
                flying_.erase(probe); // an unreachable says nothing of the round trip
            }
        }
        return answered;
    }

    bool idle() override { return flying_.empty(); }

  private:
    struct Icmp {
        int fd = -1;
        std::string refused;
    };
    struct Flying {
        Clock::time_point sent;
        int fd; // a TCP attempt's, or -1 for an echo
        bool ipv6;
    };

    static double millisecondsOf(Clock::duration took) {
        return std::chrono::duration<double, std::milli>(took).count();
    }

    Clock::time_point oldest() const {
        auto oldest = Clock::now();
        for (const auto& [id, probe] : flying_) {
            oldest = std::min(oldest, probe.sent);
        }
        return oldest;
    }

    void giveUp() {
        const auto now = Clock::now();
        std::erase_if(flying_, [&](const auto& entry) {
            const bool over = now - entry.second.sent >= limit;
            if (over && entry.second.fd >= 0) {
                ::close(entry.second.fd);
            }
            return over;
        });
    }

    void readEchoes(int fd, Clock::time_point now, std::vector<std::pair<long, double>>& answered) {
        const bool ipv6 = fd == icmp_[1].fd;
        std::array<unsigned char, 256> reply{};
        for (ssize_t got; (got = ::recv(fd, reply.data(), reply.size(), 0)) >= 8;) {
            const int echoReply = ipv6 ? static_cast<int>(ICMP6_ECHO_REPLY) : ICMP_ECHOREPLY;
            const auto sequence = static_cast<std::uint16_t>(reply[6] << 8U | reply[7]);
            if (reply[0] != echoReply) {
                continue;
            }
            for (auto probe = flying_.begin(); probe != flying_.end(); ++probe) {
                if (probe->second.fd < 0 && probe->second.ipv6 == ipv6 &&
                    static_cast<std::uint16_t>(probe->first) == sequence) {
                    answered.emplace_back(probe->first, millisecondsOf(now - probe->second.sent));
                    flying_.erase(probe);
                    break;
                }
            }
        }
    }

    std::array<Icmp, 2> icmp_;
    std::map<long, Flying> flying_;
};

} // namespace

std::unique_ptr<Prober> Prober::make() {
    return std::make_unique<PosixProber>();
}

namespace {

// What one error message said of an expiring probe, read back from a socket's error queue.
struct Heard {
    std::string from; // who sent it
    enum class Said { expired, portUnreachable, unreachable } said;
    std::uint16_t port = 0;            // the probe's destination port (UDP)
    std::optional<std::uint16_t> echo; // the probe's sequence number (an ICMP echo)
};

// Every error message queued on a socket that asked for them (IP_RECVERR).
std::vector<Heard> errorsOf(int fd) {
    std::vector<Heard> heard;
    for (;;) {
        sockaddr_storage original{};
        std::array<char, 512> control{};
        std::array<unsigned char, 64> data{};
        iovec vector{data.data(), data.size()};
        msghdr message{};
        message.msg_name = &original;
        message.msg_namelen = sizeof original;
        message.msg_iov = &vector;
        message.msg_iovlen = 1;
        message.msg_control = control.data();
        message.msg_controllen = control.size();
        const ssize_t got = ::recvmsg(fd, &message, MSG_ERRQUEUE | MSG_DONTWAIT);
        if (got < 0) {
            return heard;
        }
        for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
             header = CMSG_NXTHDR(&message, header)) {
            const bool ipv4Error = header->cmsg_level == SOL_IP && header->cmsg_type == IP_RECVERR;
            const bool ipv6Error =
                header->cmsg_level == SOL_IPV6 && header->cmsg_type == IPV6_RECVERR;
            if (!ipv4Error && !ipv6Error) {
                continue;
            }
            const auto* error = reinterpret_cast<const sock_extended_err*>(CMSG_DATA(header));
            if (error->ee_origin != SO_EE_ORIGIN_ICMP && error->ee_origin != SO_EE_ORIGIN_ICMP6) {
                continue;
            }
            const bool expired = ipv6Error ? error->ee_type == ICMP6_TIME_EXCEEDED
                                           : error->ee_type == ICMP_TIME_EXCEEDED;
            const bool portUnreachable = ipv6Error ? error->ee_type == ICMP6_DST_UNREACH &&
                                                         error->ee_code == ICMP6_DST_UNREACH_NOPORT
                                                   : error->ee_type == ICMP_DEST_UNREACH &&
                                                         error->ee_code == ICMP_PORT_UNREACH;
            Heard one{textOf(SO_EE_OFFENDER(error)),
                      expired           ? Heard::Said::expired
                      : portUnreachable ? Heard::Said::portUnreachable
                                        : Heard::Said::unreachable,
                      portOf(reinterpret_cast<const sockaddr*>(&original)), std::nullopt};
            const int echoRequest = ipv6Error ? static_cast<int>(ICMP6_ECHO_REQUEST) : ICMP_ECHO;
            if (got >= 8 && data[0] == echoRequest) { // an echo of ours, its sequence its hop
                one.echo = static_cast<std::uint16_t>(data[6] << 8U | data[7]);
            }
            heard.push_back(std::move(one));
        }
    }
}

} // namespace

// Three kinds of expiring probe at once, where the system allows each: UDP to high ports (a
// router may drop them), ICMP echoes on an unprivileged socket, and TCP connections to port 443
// (what the monitor itself sends). A hop found by any of them is found.
Path trace(std::string_view address, Clock::time_point deadline) {
    Tracing tracing(address, Clock::now());
    const auto to = endpointOf(address, firstPort);
    if (!to) {
        tracing.failed("not an address");
        return tracing.finish();
    }
    const bool ipv6 = to->family() == AF_INET6;
    const Descriptor udp(::socket(to->family(), SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (udp.fd() < 0) {
        tracing.failed(std::strerror(errno));
        return tracing.finish();
    }
    const Descriptor icmp(::socket(to->family(), SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC,
                                   ipv6 ? static_cast<int>(IPPROTO_ICMPV6) : IPPROTO_ICMP));
    std::vector<std::pair<int, std::unique_ptr<Descriptor>>> tcp; // each hop's connection
    Endpoint web = *to;
    web.setPort(443);
    Endpoint echoTo = *to;
    echoTo.setPort(0);
    const std::string destination(address);
    const auto take = [&](int hop, const Heard& heard) {
        if (heard.said == Heard::Said::expired) {
            tracing.expired(hop, heard.from);
        } else if (heard.said == Heard::Said::portUnreachable && heard.from == destination) {
            tracing.reached(hop, heard.from); // the destination itself: its port is closed
        } else {
            tracing.unreachable(hop, heard.from);
        }
    };
    while (Clock::now() < deadline && !tracing.over(Clock::now())) {
        for (const int hop : tracing.due(Clock::now())) {
            limitHops(udp.fd(), to->family(), hop, true);
            Endpoint probe = *to;
            probe.setPort(static_cast<std::uint16_t>(firstPort + hop));
            const std::array<char, 8> payload{'c', 'o', 'n', 'n', 'e', 'c', 't', '?'};
            if (::sendto(udp.fd(), payload.data(), payload.size(), 0,
                         reinterpret_cast<const sockaddr*>(&probe.address), probe.length) < 0 &&
                hop == 1) {
                tracing.failed(connectionError(errno)); // no route: nothing leaves at all
                return tracing.finish();
            }
            if (icmp.fd() >= 0) {
                limitHops(icmp.fd(), to->family(), hop, true);
                const auto request = echoRequest(ipv6, static_cast<std::uint16_t>(hop));
                ::sendto(icmp.fd(), request.data(), request.size(), 0,
                         reinterpret_cast<const sockaddr*>(&echoTo.address), echoTo.length);
            }
            auto connection = std::make_unique<Descriptor>(tcpSocket(web));
            if (connection->fd() >= 0) {
                limitHops(connection->fd(), to->family(), hop, true);
                if (startConnecting(connection->fd(), web) == 0) {
                    tcp.emplace_back(hop, std::move(connection));
                }
            }
        }
        // Error queues show as POLLERR, asked or not.
        std::vector<pollfd> watched{{udp.fd(), 0, 0}, {icmp.fd(), POLLIN, 0}};
        for (const auto& [hop, connection] : tcp) {
            watched.push_back({connection->fd(), POLLOUT, 0});
        }
        if (::poll(watched.data(), watched.size(),
                   millisecondsUntil(std::min(deadline, tracing.nextLook()))) <= 0) {
            continue;
        }
        for (const Heard& heard : errorsOf(udp.fd())) {
            take(heard.port - firstPort, heard); // the probe's hop is in its port
        }
        if (icmp.fd() >= 0) {
            for (const Heard& heard : errorsOf(icmp.fd())) {
                if (heard.echo) {
                    take(*heard.echo, heard);
                }
            }
            std::array<unsigned char, 64> reply{};
            const int echoReply = ipv6 ? static_cast<int>(ICMP6_ECHO_REPLY) : ICMP_ECHOREPLY;
            for (ssize_t got; (got = ::recv(icmp.fd(), reply.data(), reply.size(), 0)) >= 8;) {
                if (reply[0] == echoReply) { // the destination itself answered that hop's echo
                    tracing.reached(reply[6] << 8U | reply[7], destination);
                }
            }
        }
        for (std::size_t i = 0; i < tcp.size(); ++i) {
            if (watched[i + 2].revents == 0) {
                continue;
            }
            const int hop = tcp[i].first;
            // Asked before the error queue is read, which clears it: a connection made reached
            // the destination; a reset says nothing of who sent it.
            const int error = socketError(tcp[i].second->fd());
            const auto heard = errorsOf(tcp[i].second->fd());
            for (const Heard& one : heard) {
                take(hop, one);
            }
            if (error == 0 && heard.empty()) {
                tracing.reached(hop, destination);
            }
            tcp[i].second.reset();
        }
        std::erase_if(tcp, [](const auto& entry) { return !entry.second; });
    }
    return tracing.finish();
}

} // namespace watch::network
