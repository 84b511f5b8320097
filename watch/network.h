// The diagnosis's stages as the system performs them, each bounded by a deadline: one interface,
// a POSIX build (c-ares, unprivileged ICMP sockets, /proc's routes) and a Windows one (the IP
// helper, ICMP and DNS APIs, Winsock).
#pragma once

#include <string_view>
#include <vector>

#include "diagnosis.h"

namespace watch::network {

// The default route of each family and whether its gateway answers an ICMP echo, or where ICMP
// is refused to us, a TCP connection attempt (a refusal counts as an answer). False where the
// routes cannot be read.
bool localLink(Clock::time_point deadline, std::vector<Observations::Gateway>& gateways);

// Each of the system's nameservers asked for host on its own; answered means it gave addresses.
std::vector<Observations::Reply> nameservers(std::string_view host, Clock::time_point deadline);

// A TCP connection to port 443 of an address literal.
Observations::Reply connectTo(std::string_view address, Clock::time_point deadline);

// The monitor's own check, a TCP connection to the host's port, once per family.
std::vector<Observations::Reply> site(std::string_view host, std::uint16_t port,
                                      Clock::time_point deadline);

} // namespace watch::network
