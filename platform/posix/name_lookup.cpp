// Looks a host name up for both address families with c-ares, driven from the caller's poll loop.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <utility>

#include <ares.h>
#include <fcntl.h>
#include <netinet/in.h>

#include "probe.h"

namespace standin {
namespace {

// c-ares opens its sockets without close-on-exec; a child started later must not inherit them.
int closeOnExec(ares_socket_t fd, int /*type*/, void* /*unused*/) {
    return ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0 ? ARES_SUCCESS : -1;
}

} // namespace

std::mutex NameLookup::libraryUsers;

namespace {

// What a finished question's status says, for a family that gave no address.
Answer answerOf(int status) {
    switch (status) {
    case ARES_SUCCESS:
    case ARES_ENODATA:
        return Answer::noAddresses;
    case ARES_ENOTFOUND:
        return Answer::noSuchName;
    case ARES_ESERVFAIL:
        return Answer::serverFailure;
    case ARES_EREFUSED:
        return Answer::refused;
    case ARES_ECONNREFUSED: // what c-ares says of a server it could not send to, or hear from
        return Answer::unreachable;
    case ARES_ETIMEOUT:
        return Answer::silent;
    default:
        return Answer::failed;
    }
}

} // namespace

NameLookup::NameLookup(const std::string& host, std::uint16_t port, const LookupOptions& lookup)
    : port_(port) {
    if (const std::scoped_lock lock(libraryUsers);
        ares_library_init(ARES_LIB_INIT_ALL) != ARES_SUCCESS) {
        throw std::runtime_error("c-ares could not be initialised");
    }
    ares_options options{};
    options.timeout = static_cast<int>(lookup.timeout.count());
    options.tries = lookup.tries;
    // Only what the nameservers say, each answer as it came: a SERVFAIL or REFUSED is theirs to
    // give, not a reason to try again elsewhere and report no answer at all.
    options.flags = lookup.nameserversOnly ? ARES_FLAG_NOCHECKRESP : 0;
    options.sock_state_cb = onSocketState;
    options.sock_state_cb_data = this;
    char dnsOnly[] = "b";
    options.lookups = dnsOnly;
    const int optionMask = ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES | ARES_OPT_SOCK_STATE_CB |
                           (lookup.nameserversOnly ? ARES_OPT_LOOKUPS | ARES_OPT_FLAGS : 0);
    if (ares_init_options(&channel_, &options, optionMask) != ARES_SUCCESS ||
        (!lookup.nameservers.empty() &&
         ares_set_servers_ports_csv(channel_, lookup.nameservers.c_str()) != ARES_SUCCESS)) {
        if (channel_ != nullptr) {
            ares_destroy(channel_);
        }
        const std::scoped_lock lock(libraryUsers);
        ares_library_cleanup();
        throw std::runtime_error("c-ares channel could not be set up");
    }
    ares_set_socket_configure_callback(channel_, closeOnExec, nullptr);
    // One query per family rather than one AF_UNSPEC lookup, so each answer counts on arrival.
    for (Query& query : queries_) {
        if (lookup.family != AF_UNSPEC && lookup.family != query.family) {
            (query.family == AF_INET6 ? ipv6Answer_ : ipv4Answer_) = Answer::notAsked;
            continue;
        }
        (query.family == AF_INET6 ? ipv6Answer_ : ipv4Answer_) = Answer::pending;
        ares_addrinfo_hints hints{};
        hints.ai_family = query.family;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_protocol = IPPROTO_TCP;
        ares_getaddrinfo(channel_, host.c_str(), nullptr, &hints, onAnswer, &query);
    }
}

NameLookup::~NameLookup() {
    ares_destroy(channel_); // completes outstanding queries with ARES_EDESTRUCTION
    const std::scoped_lock lock(libraryUsers);
    ares_library_cleanup();
}

void NameLookup::onSocketState(void* lookup, ares_socket_t fd, int readable, int writable) {
    std::vector<pollfd>& sockets = static_cast<NameLookup*>(lookup)->sockets_;
    std::erase_if(sockets, [fd](const pollfd& entry) { return entry.fd == fd; });
    if (readable != 0 || writable != 0) { // neither: c-ares is closing it
        const auto events =
            static_cast<short>((readable != 0 ? POLLIN : 0) | (writable != 0 ? POLLOUT : 0));
        sockets.push_back(pollfd{fd, events, 0});
    }
}

void NameLookup::onAnswer(void* query, int status, int /*timeouts*/, ares_addrinfo* result) {
    auto& [lookup, family] = *static_cast<Query*>(query);
    const bool ipv6 = family == AF_INET6;
    if (!ipv6 && lookup->ipv6Answer_ == Answer::pending) {
        lookup->ipv4AnsweredAt_ = Clock::now();
    }
    bool found = false;
    if (status == ARES_SUCCESS && result != nullptr) {
        for (const ares_addrinfo_node* node = result->nodes; node != nullptr;
             node = node->ai_next) {
            if (node->ai_family == family && node->ai_addrlen <= sizeof(sockaddr_storage)) {
                Endpoint endpoint;
                std::memcpy(&endpoint.address, node->ai_addr, node->ai_addrlen);
                endpoint.length = node->ai_addrlen;
                endpoint.setPort(lookup->port_);
                (ipv6 ? lookup->ipv6Answers_ : lookup->ipv4Answers_).push_back(endpoint);
                found = true;
            }
        }
    }
    (ipv6 ? lookup->ipv6Answer_ : lookup->ipv4Answer_) =
        found ? Answer::addresses : answerOf(status);
    ares_freeaddrinfo(result);
}

bool NameLookup::ipv4MayGo() const {
    return ipv6Answer_ != Answer::pending || Clock::now() >= ipv4AnsweredAt_ + resolutionDelay;
}

bool NameLookup::finished() const {
    return ipv6Answer_ != Answer::pending && ipv4Answer_ != Answer::pending &&
           ipv6Answers_.empty() && ipv4Answers_.empty();
}

std::vector<Endpoint> NameLookup::takeReady() {
    std::vector<Endpoint> ready = std::exchange(ipv6Answers_, {});
    if (ipv4MayGo()) {
        ready.insert(ready.end(), ipv4Answers_.begin(), ipv4Answers_.end());
        ipv4Answers_.clear();
    }
    return ready;
}

Clock::time_point NameLookup::watch(std::vector<pollfd>& watched) const {
    watched.insert(watched.end(), sockets_.begin(), sockets_.end());
    timeval wait{};
    timeval longest{3600, 0};
    const timeval* next = ares_timeout(channel_, &longest, &wait);
    const Clock::time_point resolverWakes = Clock::now() + std::chrono::seconds(next->tv_sec) +
                                            std::chrono::microseconds(next->tv_usec);
    // Held A answers are due when the resolution delay ends, whatever the resolver does.
    return ipv4Answers_.empty() || ipv6Answer_ != Answer::pending
               ? resolverWakes
               : std::min(resolverWakes, ipv4AnsweredAt_ + resolutionDelay);
}

void NameLookup::process(std::span<const pollfd> watched) {
    for (const pollfd& entry : watched) {
        if (entry.revents == 0) {
            continue;
        }
        // Errors and hang-ups are read too, so c-ares sees them and moves to the next server.
        const bool read = (entry.revents & (POLLIN | POLLERR | POLLHUP)) != 0;
        const bool write = (entry.revents & POLLOUT) != 0;
        ares_process_fd(channel_, read ? entry.fd : ARES_SOCKET_BAD,
                        write ? entry.fd : ARES_SOCKET_BAD);
    }
    ares_process_fd(channel_, ARES_SOCKET_BAD, ARES_SOCKET_BAD); // retries whatever timed out
}

} // namespace standin
