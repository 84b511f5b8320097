// Loopback peers built from plain sockets: no firewall rules and no privileges needed.
#include "loopback_peers.h"

#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <stdexcept>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

namespace loopback {
namespace {

sockaddr_storage loopbackAddress(Family family, std::uint16_t port) {
    sockaddr_storage storage{};
    if (family == Family::ipv4) {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    } else {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        v6->sin6_addr = in6addr_loopback;
    }
    return storage;
}

socklen_t lengthOf(Family family) {
    return family == Family::ipv4 ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
}

int boundSocket(Family family, std::uint16_t port) {
    const int fd =
        ::socket(family == Family::ipv4 ? AF_INET : AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        throw std::runtime_error("socket: " + std::string(std::strerror(errno)));
    }
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (family == Family::ipv6) {
        // Lets 127.0.0.1 and ::1 each hold the same port number.
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    }
    const sockaddr_storage address = loopbackAddress(family, port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), lengthOf(family)) != 0) {
        ::close(fd);
        throw std::runtime_error("bind: " + std::string(std::strerror(errno)));
    }
    return fd;
}

} // namespace

bool ipv6Available() {
    try {
        ::close(boundSocket(Family::ipv6, 0));
        return true;
    } catch (const std::runtime_error&) {
        return false;
    }
}

Peer::Peer(Family family, int fd) : family_(family), fds_{fd} {
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    port_ = ntohs(family == Family::ipv4 ? reinterpret_cast<sockaddr_in*>(&bound)->sin_port
                                         : reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port);
}

Peer::Peer(Peer&& other) noexcept
    : family_(other.family_), port_(other.port_), fds_(std::move(other.fds_)),
      acceptor_(std::move(other.acceptor_)) {
    std::swap(stopPipe_, other.stopPipe_);
    other.fds_.clear();
}

Peer::~Peer() {
    if (acceptor_.joinable()) {
        ::close(stopPipe_[1]);
        acceptor_.join();
        ::close(stopPipe_[0]);
    }
    for (const int fd : fds_) {
        ::close(fd);
    }
}

Peer Peer::listening(Family family, std::uint16_t port) {
    Peer peer(family, boundSocket(family, port));
    ::listen(peer.fds_.front(), SOMAXCONN);
    if (::pipe2(peer.stopPipe_, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe2 failed");
    }
    peer.acceptor_ = std::thread([fd = peer.fds_.front(), stop = peer.stopPipe_[0]] {
        pollfd watched[] = {{fd, POLLIN, 0}, {stop, POLLIN, 0}};
        while (::poll(watched, 2, -1) >= 0 && watched[1].revents == 0) {
            if (watched[0].revents != 0) {
                const int accepted = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
                if (accepted >= 0) {
                    ::close(accepted);
                }
            }
        }
    });
    return peer;
}

Peer Peer::refusing(Family family, std::uint16_t port) {
    return Peer(family, boundSocket(family, port));
}

Peer Peer::dropping(Family family, std::uint16_t port) {
    // A backlog of 0 holds one connection; the filler takes it and later SYNs go unanswered.
    Peer peer(family, boundSocket(family, port));
    ::listen(peer.fds_.front(), 0);
    const int filler =
        ::socket(family == Family::ipv4 ? AF_INET : AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_storage address = peer.address();
    if (::connect(filler, reinterpret_cast<const sockaddr*>(&address), lengthOf(family)) != 0) {
        ::close(filler);
        throw std::runtime_error("filler connect: " + std::string(std::strerror(errno)));
    }
    peer.fds_.push_back(filler);
    return peer;
}

std::wstring Peer::url() const {
    const std::wstring host = family_ == Family::ipv4 ? L"127.0.0.1" : L"[::1]";
    return L"http://" + host + L":" + std::to_wstring(port_);
}

sockaddr_storage Peer::address() const {
    return loopbackAddress(family_, port_);
}

PeerPair onOnePort(Peer (*makeIpv6)(Family, std::uint16_t),
                   Peer (*makeIpv4)(Family, std::uint16_t)) {
    for (int attempt = 1;; ++attempt) {
        Peer ipv6 = makeIpv6(Family::ipv6, 0);
        try {
            Peer ipv4 = makeIpv4(Family::ipv4, ipv6.port());
            return {std::move(ipv6), std::move(ipv4)};
        } catch (const std::runtime_error&) {
            if (attempt == 100) {
                throw;
            }
        }
    }
}

std::vector<standin::Endpoint> endpointsOf(const std::vector<const Peer*>& peers) {
    std::vector<standin::Endpoint> endpoints;
    for (const Peer* peer : peers) {
        standin::Endpoint endpoint;
        endpoint.address = peer->address();
        endpoint.length = lengthOf(peer->family());
        endpoints.push_back(endpoint);
    }
    return endpoints;
}

int openDescriptorCount() {
    const auto entries = std::filesystem::directory_iterator("/proc/self/fd");
    return static_cast<int>(std::distance(begin(entries), end(entries)));
}

} // namespace loopback
