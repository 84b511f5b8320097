// Races TCP connects to addresses as they arrive, in the manner of Happy Eyeballs (RFC 8305).
#include <algorithm>
#include <cerrno>
#include <deque>
#include <utility>

#include <netinet/in.h>
#include <unistd.h>

#include "probe.h"

namespace standin {

namespace {

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

// Addresses not yet tried, one queue per family, taken alternately: one broken family costs at
// most one attempt delay before the other is tried, however late either family's answer came.
// The family of the first address added leads (RFC 8305, section 4).
class AlternatingQueue {
  public:
    void add(const Endpoint& endpoint) {
        if (nextFamily_ == AF_UNSPEC) {
            nextFamily_ = endpoint.family();
        }
        queueOf(endpoint.family()).push_back(endpoint);
    }
    bool empty() const { return ipv6_.empty() && ipv4_.empty(); }
    Endpoint take() {
        const int other = nextFamily_ == AF_INET6 ? AF_INET : AF_INET6;
        const int family = queueOf(nextFamily_).empty() ? other : nextFamily_;
        std::deque<Endpoint>& queue = queueOf(family);
        Endpoint next = queue.front();
        queue.pop_front();
        nextFamily_ = family == AF_INET6 ? AF_INET : AF_INET6;
        return next;
    }

  private:
    std::deque<Endpoint>& queueOf(int family) { return family == AF_INET6 ? ipv6_ : ipv4_; }
    std::deque<Endpoint> ipv6_;
    std::deque<Endpoint> ipv4_;
    int nextFamily_ = AF_UNSPEC;
};

enum class Attempt { failed, pending, connected };

Attempt startConnect(const Endpoint& endpoint, std::vector<Socket>& pending) {
    Socket socket(
        ::socket(endpoint.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP));
    if (socket.fd() < 0) {
        return Attempt::failed;
    }
    if (::connect(socket.fd(), reinterpret_cast<const sockaddr*>(&endpoint.address),
                  endpoint.length) == 0) {
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

bool raceToConnect(NameLookup* lookup, const std::vector<Endpoint>& known,
                   Clock::time_point deadline) {
    AlternatingQueue queue;
    for (const Endpoint& endpoint : known) {
        queue.add(endpoint);
    }
    std::vector<Socket> attempts;
    auto nextAttemptAt = Clock::now();
    while (Clock::now() < deadline) {
        if (lookup != nullptr) {
            for (const Endpoint& endpoint : lookup->takeReady()) {
                queue.add(endpoint);
            }
        }
        // Start the next attempt when none is pending or the stagger has passed.
        if (!queue.empty() && (attempts.empty() || Clock::now() >= nextAttemptAt)) {
            switch (startConnect(queue.take(), attempts)) {
            case Attempt::connected:
                return true;
            case Attempt::failed:
                continue; // hand over to the next address at once
            case Attempt::pending:
                nextAttemptAt = Clock::now() + attemptDelay;
                break;
            }
        }
        if (attempts.empty() && queue.empty() && (lookup == nullptr || lookup->finished())) {
            return false; // every address failed outright, or there were none
        }

        std::vector<pollfd> watched;
        watched.reserve(attempts.size());
        for (const Socket& socket : attempts) {
            watched.push_back(pollfd{socket.fd(), POLLOUT, 0});
        }
        auto wakeAt = queue.empty() ? deadline : std::min(deadline, nextAttemptAt);
        if (lookup != nullptr) {
            wakeAt = std::min(wakeAt, lookup->watch(watched));
        }
        if (::poll(watched.data(), watched.size(), pollTimeoutUntil(wakeAt)) < 0 &&
            errno != EINTR) {
            return false;
        }
        if (lookup != nullptr) {
            lookup->process(std::span(watched).subspan(attempts.size()));
        }
        for (std::size_t i = attempts.size(); i-- > 0;) {
            if (watched[i].revents == 0) {
                continue;
            }
            if (handshakeSucceeded(watched[i].fd)) {
                return true;
            }
            attempts.erase(attempts.begin() + static_cast<std::ptrdiff_t>(i));
            nextAttemptAt = Clock::now(); // a failed attempt hands over to the next at once
        }
    }
    return false;
}

} // namespace standin
