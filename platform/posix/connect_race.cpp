// Races TCP connects to addresses as they arrive, in the manner of Happy Eyeballs (RFC 8305).
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <utility>

#include <netinet/in.h>
#include <unistd.h>

#include "probe.h"

namespace standin {

void Endpoint::setPort(std::uint16_t port) {
    if (family() == AF_INET6) {
        reinterpret_cast<sockaddr_in6&>(address).sin6_port = htons(port);
    } else {
        reinterpret_cast<sockaddr_in&>(address).sin_port = htons(port);
    }
}

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

// Addresses not yet tried, one queue per family; taken alternately so one broken family costs
// at most one attempt delay before the other is tried, however late either family's answer came.
class Candidates {
  public:
    explicit Candidates(std::optional<int> leadFamily) : nextFamily_(leadFamily) {}
    void add(const Endpoint& endpoint) { queueOf(endpoint.family()).push_back(endpoint); }
    bool empty() const { return ipv6_.empty() && ipv4_.empty(); }
    bool hasIpv6() const { return !ipv6_.empty(); }
    Endpoint take() {
        // IPv6 leads unless the caller named a lead (RFC 8305, section 4).
        int family = nextFamily_.value_or(AF_INET6);
        if (queueOf(family).empty()) {
            family = family == AF_INET6 ? AF_INET : AF_INET6;
        }
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
    std::optional<int> nextFamily_;
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
                   Clock::time_point deadline, std::optional<int> leadFamily) {
    Candidates candidates(leadFamily);
    for (const Endpoint& endpoint : known) {
        candidates.add(endpoint);
    }
    std::vector<Socket> pending;
    auto nextStartAt = Clock::now();
    bool started = lookup == nullptr;
    std::optional<Clock::time_point> ipv4OnlySince; // an A answer waiting for the AAAA one

    while (Clock::now() < deadline) {
        if (lookup != nullptr) {
            for (const Endpoint& endpoint : lookup->takeArrived()) {
                candidates.add(endpoint);
            }
            if (!started && !candidates.empty() && !ipv4OnlySince) {
                ipv4OnlySince = Clock::now();
            }
            // Connect on an AAAA answer at once; on an A answer once AAAA is settled or the
            // resolution delay is over.
            started = started || candidates.hasIpv6() ||
                      (ipv4OnlySince &&
                       (lookup->ipv6Done() || Clock::now() >= *ipv4OnlySince + resolutionDelay));
        }
        while (started && !candidates.empty() && (pending.empty() || Clock::now() >= nextStartAt)) {
            const Attempt attempt = startConnect(candidates.take(), pending);
            if (attempt == Attempt::connected) {
                return true;
            }
            if (attempt == Attempt::pending) {
                nextStartAt = Clock::now() + attemptDelay;
                break;
            }
        }
        const bool moreMayCome = lookup != nullptr && !lookup->finished();
        if (pending.empty() && candidates.empty() && !moreMayCome) {
            return false; // every address failed outright, or there were none
        }

        std::vector<pollfd> watched;
        watched.reserve(pending.size() + 2);
        for (const Socket& socket : pending) {
            watched.push_back(pollfd{socket.fd(), POLLOUT, 0});
        }
        auto wakeAt = deadline;
        if (started && !candidates.empty()) {
            wakeAt = std::min(wakeAt, nextStartAt);
        } else if (ipv4OnlySince && !started) {
            wakeAt = std::min(wakeAt, *ipv4OnlySince + resolutionDelay);
        }
        if (moreMayCome) {
            wakeAt = std::min(wakeAt, lookup->watch(watched));
        }
        const int ready = ::poll(watched.data(), watched.size(), pollTimeoutUntil(wakeAt));
        if (ready < 0 && errno != EINTR) {
            return false;
        }
        if (moreMayCome) {
            lookup->process(std::span(watched).subspan(pending.size()));
        }
        for (std::size_t i = pending.size(); ready > 0 && i-- > 0;) {
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

bool connectsToAny(const addrinfo* addresses, std::chrono::milliseconds budget) {
    std::vector<Endpoint> known;
    for (const addrinfo* a = addresses; a != nullptr; a = a->ai_next) {
        Endpoint endpoint;
        std::memcpy(&endpoint.address, a->ai_addr,
                    std::min<std::size_t>(a->ai_addrlen, sizeof endpoint.address));
        endpoint.length = a->ai_addrlen;
        known.push_back(endpoint);
    }
    const std::optional<int> lead =
        known.empty() ? std::nullopt : std::optional<int>(known.front().family());
    return raceToConnect(nullptr, known, Clock::now() + budget, lead);
}

} // namespace standin
