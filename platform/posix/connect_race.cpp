// Races TCP connects to a host's addresses in the manner of Happy Eyeballs (RFC 8305).
#include <cerrno>
#include <utility>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "probe.h"

namespace standin {
namespace {

using Clock = std::chrono::steady_clock;

class Socket {
  public:
    explicit Socket(int fd) : fd_(fd) {}
    Socket(Socket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Socket& operator=(Socket&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int fd() const { return fd_; }

  private:
    int fd_;
};

// Alternates families, led by the resolver's preferred one, so one broken family costs at most
// one attempt delay before the other is tried.
std::vector<const addrinfo*> interleaveFamilies(const addrinfo* addresses) {
    std::vector<const addrinfo*> preferred;
    std::vector<const addrinfo*> others;
    for (const addrinfo* a = addresses; a != nullptr; a = a->ai_next) {
        (a->ai_family == addresses->ai_family ? preferred : others).push_back(a);
    }
    std::vector<const addrinfo*> order;
    order.reserve(preferred.size() + others.size());
    for (std::size_t i = 0; i < preferred.size() || i < others.size(); ++i) {
        if (i < preferred.size()) {
            order.push_back(preferred[i]);
        }
        if (i < others.size()) {
            order.push_back(others[i]);
        }
    }
    return order;
}

enum class Attempt { failed, pending, connected };

Attempt startConnect(const addrinfo& address, std::vector<Socket>& pending) {
    Socket socket(
        ::socket(address.ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP));
    if (socket.fd() < 0) {
        return Attempt::failed;
    }
    if (::connect(socket.fd(), address.ai_addr, address.ai_addrlen) == 0) {
        return Attempt::connected;
    }
    // After EINTR a non-blocking connect carries on by itself, just as after EINPROGRESS.
    if (errno != EINPROGRESS && errno != EINTR) {
        return Attempt::failed;
    }
    pending.push_back(std::move(socket));
    return Attempt::pending;
}

bool handshakeSucceeded(int fd) {
    int error = 0;
    socklen_t length = sizeof error;
    return ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
}

int pollTimeoutUntil(Clock::time_point wakeAt) {
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(wakeAt - Clock::now());
    return wait.count() > 0 ? static_cast<int>(wait.count()) : 0;
}

} // namespace

bool connectsToAny(const addrinfo* addresses, std::chrono::milliseconds budget) {
    const auto deadline = Clock::now() + budget;
    const auto order = interleaveFamilies(addresses);
    std::size_t next = 0;
    auto nextStartAt = Clock::now();
    std::vector<Socket> pending;

    while (Clock::now() < deadline) {
        while (next < order.size() && (pending.empty() || Clock::now() >= nextStartAt)) {
            const Attempt attempt = startConnect(*order[next++], pending);
            if (attempt == Attempt::connected) {
                return true;
            }
            if (attempt == Attempt::pending) {
                nextStartAt = Clock::now() + attemptDelay;
                break;
            }
        }
        if (pending.empty()) {
            return false; // every address failed outright
        }

        std::vector<pollfd> watched;
        watched.reserve(pending.size());
        for (const Socket& socket : pending) {
            watched.push_back(pollfd{socket.fd(), POLLOUT, 0});
        }
        const auto wakeAt = next < order.size() && nextStartAt < deadline ? nextStartAt : deadline;
        const int ready = ::poll(watched.data(), watched.size(), pollTimeoutUntil(wakeAt));
        if (ready < 0 && errno != EINTR) {
            return false;
        }
        for (std::size_t i = watched.size(); ready > 0 && i-- > 0;) {
            if (watched[i].revents == 0) {
                continue;
            }
            if (handshakeSucceeded(watched[i].fd)) {
                return true;
            }
            pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(i));
            nextStartAt = Clock::now(); // a failed attempt hands over to the next at once
        }
    }
    return false;
}

} // namespace standin
