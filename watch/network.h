// The diagnosis's stages as the system performs them, each bounded by a deadline: one interface,
// a POSIX build (c-ares, unprivileged ICMP sockets, UDP with the error queue, /proc's routes) and
// a Windows one (the IP helper, ICMP and DNS APIs, Winsock).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "diagnosis.h"

namespace watch::network {

// The default route of each family (ipv4, then ipv6), the gateway in it where there is one.
struct Route {
    std::string family;
    bool exists = false;
    std::string gateway;    // as the system writes it; empty: a route on a link of its own
    unsigned linkIndex = 0; // the link a link-local gateway is on
};
// Nothing where the routes cannot be read; why says why.
std::optional<std::vector<Route>> defaultRoutes(std::string& why);

// Whether the gateway answers an ICMP echo, or a TCP connection attempt to a port a router may
// serve (a refusal is an answer), all at once; the echoes go on until the deadline, to count the
// lost. heard is told of the first answer as it comes.
Gateway askGateway(const Route& route, Clock::time_point deadline,
                   const std::function<void(const Gateway&)>& heard);

// The system's nameservers, each as it writes them.
std::vector<std::string> nameservers();
// One nameserver asked once for host, both families: an answer with addresses, a refusal for any
// other response (NXDOMAIN, SERVFAIL, REFUSED, no address of either family), or nothing.
Reply askNameserver(const std::string& server, std::string_view host, Clock::time_point deadline);

// TCP connections to port of an address literal, a try every half second until the deadline is
// near, to count the lost. A refusal counts only where a probe that goes no further than two hops
// is not refused too: a router refusing on the far end's behalf is not the far end. heard is told
// of the first answer as it comes.
Reply reach(std::string_view address, std::uint16_t port, Clock::time_point deadline,
            const std::function<void(const Reply&)>& heard);

// The host's addresses of one family ("ipv4", "ipv6") as this computer resolves it, the monitor's
// way; where none, why not in said.
struct Resolved {
    std::vector<std::string> addresses;
    std::string said;
};
Resolved resolve(std::string_view host, std::string_view family, Clock::time_point deadline);

// The path toward an address: up to 16 hops probed at once with expiring probes, each asked
// again while it is silent; done once the destination or an unreachable answers, or at the end of
// the last round.
Path trace(std::string_view address, Clock::time_point deadline);

// Round trips measured while the connection is up: probes in flight at once, in both families,
// ICMP echoes where the system lets this program send them, else TCP connection attempts (to port
// 53 of a gateway, 443 beyond it), whose refusal is an answer as good as a connection.
class Prober {
  public:
    static std::unique_ptr<Prober> make();
    virtual ~Prober() = default;
    // How a family's probes go, for the record: "ICMP echo", "TCP (ICMP echo not allowed here)".
    virtual std::string way(std::string_view family) = 0;
    // Sends probe id toward an address (scope: the link of a link-local one); false where it
    // could not go (no socket, no route), which is no probe sent.
    virtual bool send(long id, const std::string& address, unsigned scope, bool gateway) = 0;
    // The probes answered by until, each with its round trip in milliseconds; returns at the
    // first answer, or at until. A probe is given up on after the limit, and answers nothing.
    virtual std::vector<std::pair<long, double>> answers(Clock::time_point until) = 0;
    // Whether no probe is in flight.
    virtual bool idle() = 0;
    static constexpr std::chrono::milliseconds limit{2000};
};

} // namespace watch::network
