// Loopback peers for probing without a network: listening, refusing and silently dropping.
#pragma once

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <sys/socket.h>

#include "posix/probe.h"

namespace loopback {

enum class Family { ipv4, ipv6 };

bool ipv6Available();

// One of the three kinds of peer on 127.0.0.1 or ::1; port 0 picks a free one.
class Peer {
  public:
    static Peer listening(Family family, std::uint16_t port = 0); // accepts and hangs up
    static Peer refusing(Family family, std::uint16_t port = 0);  // bound, never listening
    static Peer dropping(Family family, std::uint16_t port = 0);  // accept queue kept full

    Peer(Peer&& other) noexcept;
    Peer& operator=(Peer&&) = delete;
    ~Peer();

    std::uint16_t port() const { return port_; }
    Family family() const { return family_; }
    std::wstring url() const; // http://127.0.0.1:port or http://[::1]:port
    sockaddr_storage address() const;

  private:
    Peer(Family family, int fd);
    void acceptUntilClosed();

    Family family_;
    std::uint16_t port_ = 0;
    std::vector<int> fds_; // the peer's socket first, then any filler connection
    int stopPipe_[2] = {-1, -1};
    std::thread acceptor_;
};

// An IPv6 peer and an IPv4 one on one port number. The number the first is given may be held by
// another socket in the other family at that moment, so pairs are tried until one is free in both.
struct PeerPair {
    Peer ipv6;
    Peer ipv4;
};
PeerPair onOnePort(Peer (*makeIpv6)(Family, std::uint16_t),
                   Peer (*makeIpv4)(Family, std::uint16_t));

// The given peers' addresses, in the given order, as a resolver would hand them to the race.
std::vector<standin::Endpoint> endpointsOf(const std::vector<const Peer*>& peers);

// Descriptors this process has open right now.
int openDescriptorCount();

} // namespace loopback
