// The diagnosis's stages on Linux: routes from /proc, unprivileged ICMP sockets, TCP connection
// attempts, and c-ares asking each nameserver of resolv.conf on its own.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "../network.h"
#include "posix/probe.h"

namespace watch::network {
namespace {

using standin::Answer;
using standin::Endpoint;
using namespace std::chrono_literals;

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

// How a TCP connection attempt ended. A refusal is an answer: something at that address is up.
std::string tryConnecting(const Endpoint& endpoint, Clock::time_point deadline, bool& answered) {
    answered = false;
    const Descriptor socket(
        ::socket(endpoint.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP));
    if (socket.fd() < 0) {
        return std::string("no socket: ") + std::strerror(errno);
    }
    int error = 0;
    if (::connect(socket.fd(), reinterpret_cast<const sockaddr*>(&endpoint.address),
                  endpoint.length) != 0) {
        error = errno;
        if (error == EINPROGRESS || error == EINTR) {
            pollfd watched{socket.fd(), POLLOUT, 0};
            int ready = 0;
            while ((ready = ::poll(&watched, 1, millisecondsUntil(deadline))) < 0 &&
                   errno == EINTR) {
            }
            if (ready == 0) {
                return "silent";
            }
            socklen_t length = sizeof error;
            ::getsockopt(socket.fd(), SOL_SOCKET, SO_ERROR, &error, &length);
        }
    }
    answered = error == 0 || error == ECONNREFUSED;
    return error == 0              ? "answers"
           : error == ECONNREFUSED ? "refuses (it is there)"
                                   : std::strerror(error);
}

// An ICMP echo on an unprivileged datagram socket, resent twice a second until a reply or the
// deadline. Empty where such sockets are refused to us (net.ipv4.ping_group_range).
std::optional<std::string> echo(const Endpoint& to, Clock::time_point deadline, bool& answered) {
    answered = false;
    const bool ipv6 = to.family() == AF_INET6;
    const Descriptor socket(::socket(to.family(), SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC,
                                     ipv6 ? static_cast<int>(IPPROTO_ICMPV6) : IPPROTO_ICMP));
    if (socket.fd() < 0) {
        return std::nullopt;
    }
    const auto started = Clock::now();
    for (std::uint16_t sequence = 1; Clock::now() < deadline; ++sequence) {
        std::array<unsigned char, 16> request{}; // type, code, checksum, id, sequence, payload
        request[0] = ipv6 ? static_cast<unsigned char>(ICMP6_ECHO_REQUEST)
                          : static_cast<unsigned char>(ICMP_ECHO);
        request[6] = static_cast<unsigned char>(sequence >> 8U);
        request[7] = static_cast<unsigned char>(sequence & 0xffU);
        if (::sendto(socket.fd(), request.data(), request.size(), 0,
                     reinterpret_cast<const sockaddr*>(&to.address), to.length) < 0) {
            return std::string("cannot send an ICMP echo: ") + std::strerror(errno);
        }
        const auto resendAt = std::min(deadline, Clock::now() + 500ms);
        while (Clock::now() < resendAt) {
            pollfd watched{socket.fd(), POLLIN, 0};
            if (::poll(&watched, 1, millisecondsUntil(resendAt)) <= 0) {
                continue;
            }
            std::array<unsigned char, 256> reply{};
            const ssize_t got = ::recv(socket.fd(), reply.data(), reply.size(), 0);
            const int echoReply = ipv6 ? static_cast<int>(ICMP6_ECHO_REPLY) : ICMP_ECHOREPLY;
            if (got > 0 && reply[0] == echoReply) {
                answered = true;
                const auto took =
                    std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
                return "answers an ICMP echo in " + std::to_string(took.count()) + " ms";
            }
        }
    }
    return std::string("silent to ICMP echoes");
}

struct DefaultRoute {
    std::string gateway; // empty: a route on the device alone, no router to ask
    std::string device;
};

// /proc/net/route: Iface Destination Gateway Flags RefCnt Use Metric Mask..., addresses in hex
// in the kernel's byte order.
std::optional<DefaultRoute> ipv4DefaultRoute(std::istream& table) {
    std::optional<DefaultRoute> best;
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
            (flags & rejected) != 0 || (best && metric >= bestMetric)) {
            continue;
        }
        in_addr address{};
        address.s_addr = static_cast<in_addr_t>(std::stoul(gateway, nullptr, 16));
        std::array<char, INET_ADDRSTRLEN> text{};
        ::inet_ntop(AF_INET, &address, text.data(), text.size());
        best = DefaultRoute{address.s_addr == 0 ? "" : text.data(), device};
        bestMetric = metric;
    }
    return best;
}

// /proc/net/ipv6_route: destination, length, source, length, next hop, metric, references, use,
// flags, device; addresses as 32 hex digits.
std::optional<DefaultRoute> ipv6DefaultRoute(std::istream& table) {
    std::optional<DefaultRoute> best;
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
            (best && routeMetric >= bestMetric)) {
            continue;
        }
        in6_addr address{};
        for (std::size_t i = 0; i < 16; ++i) {
            address.s6_addr[i] =
                static_cast<unsigned char>(std::stoul(nextHop.substr(2 * i, 2), nullptr, 16));
        }
        std::array<char, INET6_ADDRSTRLEN> text{};
        ::inet_ntop(AF_INET6, &address, text.data(), text.size());
        best = DefaultRoute{nextHop == std::string(32, '0') ? "" : text.data(), device};
        bestMetric = routeMetric;
    }
    return best;
}

Observations::Gateway askGateway(const char* family, const std::optional<DefaultRoute>& route,
                                 Clock::time_point deadline) {
    Observations::Gateway gateway{family, route.has_value(), false, "no default route"};
    if (!route) {
        return gateway;
    }
    if (route->gateway.empty()) {
        gateway.answered = true; // a point-to-point link: no router of ours to ask
        gateway.said = "default route on " + route->device + ", with no gateway to ask";
        return gateway;
    }
    const auto address = endpointOf(route->gateway, 0, ::if_nametoindex(route->device.c_str()));
    if (!address) {
        gateway.said = route->gateway + " is no address";
        return gateway;
    }
    if (const auto echoed = echo(*address, deadline, gateway.answered)) {
        gateway.said = route->gateway + " " + *echoed;
        return gateway;
    }
    // No ICMP for us: a TCP connection attempt to a port a router may serve; any reply will do.
    std::array<bool, 3> answered{};
    std::array<std::string, 3> said;
    {
        std::vector<std::jthread> attempts;
        const std::uint16_t ports[] = {53, 80, 443};
        for (std::size_t i = 0; i < answered.size(); ++i) {
            attempts.emplace_back([&, i] {
                Endpoint to = *address;
                to.setPort(ports[i]);
                bool reply = false;
                said[i] = tryConnecting(to, deadline, reply);
                answered[i] = reply;
            });
        }
    }
    const auto port = std::find(answered.begin(), answered.end(), true);
    gateway.answered = port != answered.end();
    gateway.said =
        route->gateway + (gateway.answered ? " answers on TCP (ICMP echo not allowed here)"
                                           : " silent on TCP ports 53, 80 and 443 (" + said[0] +
                                                 "; ICMP echo not allowed here)");
    return gateway;
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
        return "refused";
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
                                  Answer::serverFailure, Answer::refused,     Answer::silent,
                                  Answer::pending,       Answer::failed,      Answer::notAsked};
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

// What one server said of both families: the better of its two answers.
Observations::Reply askNameserver(const std::string& server, std::string_view host,
                                  Clock::time_point deadline) {
    Observations::Reply reply{server, false, "no answer in time"};
    try {
        standin::LookupOptions options;
        options.nameservers =
            server.find(':') == std::string::npos ? server + ":53" : "[" + server + "]:53";
        options.nameserversOnly = true;
        standin::NameLookup lookup(std::string(host), 53, options);
        settle(lookup, deadline);
        const Answer answer = std::min(lookup.answer(AF_INET), lookup.answer(AF_INET6),
                                       [](Answer a, Answer b) { return rank(a) < rank(b); });
        reply.answered = answer == Answer::addresses;
        reply.said = answerText(answer);
    } catch (const std::runtime_error& error) {
        reply.said = error.what();
    }
    return reply;
}

} // namespace

bool localLink(Clock::time_point deadline, std::vector<Observations::Gateway>& gateways) {
    std::ifstream ipv4Table("/proc/net/route");
    std::ifstream ipv6Table("/proc/net/ipv6_route");
    if (!ipv4Table) {
        gateways.push_back({"routes", false, false, "cannot read /proc/net/route"});
        return false;
    }
    const auto ipv4 = ipv4DefaultRoute(ipv4Table);
    const auto ipv6 = ipv6Table ? ipv6DefaultRoute(ipv6Table) : std::nullopt;
    gateways.resize(2);
    std::jthread ipv6Gateway([&] { gateways[1] = askGateway("ipv6", ipv6, deadline); });
    gateways[0] = askGateway("ipv4", ipv4, deadline);
    return true;
}

std::vector<Observations::Reply> nameservers(std::string_view host, Clock::time_point deadline) {
    std::vector<std::string> servers;
    std::ifstream configuration("/etc/resolv.conf");
    for (std::string line; std::getline(configuration, line);) {
        std::istringstream words(line);
        std::string keyword, server;
        if (words >> keyword >> server && keyword == "nameserver") {
            servers.push_back(server);
        }
    }
    std::vector<Observations::Reply> replies(servers.size());
    {
        std::vector<std::jthread> asking;
        for (std::size_t i = 0; i < servers.size(); ++i) {
            asking.emplace_back([&, i] { replies[i] = askNameserver(servers[i], host, deadline); });
        }
    }
    return replies;
}

Observations::Reply connectTo(std::string_view address, Clock::time_point deadline) {
    Observations::Reply reply{std::string(address), false, "not an address"};
    if (const auto endpoint = endpointOf(address, 443)) {
        reply.said = tryConnecting(*endpoint, deadline, reply.answered);
    }
    return reply;
}

std::vector<Observations::Reply> site(std::string_view host, std::uint16_t port,
                                      Clock::time_point deadline) {
    std::vector<Observations::Reply> replies{{"ipv4", false, ""}, {"ipv6", false, ""}};
    {
        std::vector<std::jthread> families;
        families.reserve(replies.size());
        for (Observations::Reply& reply : replies) {
            families.emplace_back([&reply, host, port, deadline] {
                const int family = reply.who == "ipv6" ? AF_INET6 : AF_INET;
                try {
                    standin::LookupOptions options;
                    options.family = family;
                    standin::NameLookup lookup(std::string(host), port, options);
                    reply.answered = standin::raceToConnect(&lookup, {}, deadline);
                    reply.said = reply.answered ? "connects"
                                 : lookup.answer(family) == Answer::addresses
                                     ? "no connection"
                                     : "name: " + answerText(lookup.answer(family));
                } catch (const std::runtime_error& error) {
                    reply.said = error.what();
                }
            });
        }
    }
    return replies;
}

} // namespace watch::network
