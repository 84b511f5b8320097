// The POSIX reachability probe in its stages: the URL, the lookup and the connection race. The
// monitor's check uses them whole; the watcher's diagnosis, each on its own.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

struct ares_channeldata;

namespace standin {

using Clock = std::chrono::steady_clock;

// The whole check, name resolution included; Windows itself gives up after about 21 s.
inline constexpr std::chrono::milliseconds connectionBudget{10'000};
// Happy Eyeballs' recommended pause before racing the next address (RFC 8305, section 5).
inline constexpr std::chrono::milliseconds attemptDelay{250};
// How long an IPv4 answer waits for the IPv6 one before connecting (RFC 8305, section 3).
inline constexpr std::chrono::milliseconds resolutionDelay{50};
// One lost datagram or one dead nameserver costs about this much, not the resolver's default 5 s.
inline constexpr std::chrono::milliseconds nameserverTimeout{1'000};
inline constexpr int nameserverTries = 3;
// What WinINet accepts; anything longer is refused before it is read to the end.
inline constexpr std::size_t maxUrlLength = 2083;

struct ProbeTarget {
    std::string host; // a DNS name, an IPv4 literal, or an IPv6 literal without brackets
    std::string port; // decimal, 1 to 65535
    bool isIpv6Literal = false;
};

// http and https URLs only; nullopt for anything malformed or unsupported.
std::optional<ProbeTarget> parseProbeUrl(std::wstring_view url);

struct Endpoint {
    sockaddr_storage address{};
    socklen_t length = 0;
    int family() const { return address.ss_family; }
    void setPort(std::uint16_t port) { // in either family's place
        if (family() == AF_INET6) {
            reinterpret_cast<sockaddr_in6&>(address).sin6_port = htons(port);
        } else {
            reinterpret_cast<sockaddr_in&>(address).sin_port = htons(port);
        }
    }
};

// Which questions a lookup asks, and of whom.
struct LookupOptions {
    int family = AF_UNSPEC;       // AF_INET or AF_INET6: that family's question alone
    std::string nameservers;      // c-ares' "host:port,..." form; empty: those of resolv.conf
    bool nameserversOnly = false; // never /etc/hosts: only what the nameservers say, as they say it
    std::chrono::milliseconds timeout = nameserverTimeout; // of a try, doubling with each next one
    int tries = nameserverTries;
};

// How one family's question ended.
enum class Answer {
    notAsked,
    pending,
    addresses,   // at least one address of the family
    noAddresses, // the name exists, with no address of this family
    noSuchName,  // NXDOMAIN
    serverFailure,
    refused,     // the server refused the question
    unreachable, // no way to the server, or nothing listens where it should be
    silent,      // no answer in any try
    failed,      // anything else: no resolver, no memory
};

// Both address families of one name, looked up at once with c-ares on non-blocking sockets that
// the caller polls beside its own. It hands out addresses as they may be tried: AAAA answers at
// once, A answers once the AAAA one has settled or the resolution delay is over (RFC 8305,
// section 3). Destroying it cancels whatever is still outstanding.
class NameLookup {
  public:
    NameLookup(const std::string& host, std::uint16_t port, const LookupOptions& options = {});
    ~NameLookup();
    NameLookup(const NameLookup&) = delete;
    NameLookup& operator=(const NameLookup&) = delete;

    // Every question answered and every address handed out: nothing more will come.
    bool finished() const;
    Answer answer(int family) const { return family == AF_INET6 ? ipv6Answer_ : ipv4Answer_; }
    // The addresses that may be tried now and were not handed out before, IPv6 first.
    std::vector<Endpoint> takeReady();
    // Appends the resolver's sockets; returns when the lookup next needs attention.
    Clock::time_point watch(std::vector<pollfd>& watched) const;
    // Hands the resolver what poll reported on its sockets, and lets it retry what timed out.
    void process(std::span<const pollfd> watched);

  private:
    struct Query {
        NameLookup* lookup;
        int family;
    };
    static void onAnswer(void* query, int status, int timeouts, struct ares_addrinfo* result);
    static void onSocketState(void* lookup, int fd, int readable, int writable);
    bool ipv4MayGo() const;

    // c-ares counts its library's users without a lock; the watcher looks names up on several
    // threads at once.
    static std::mutex libraryUsers;
    ares_channeldata* channel_ = nullptr;
    std::uint16_t port_;
    std::vector<pollfd> sockets_; // what c-ares waits on, kept up to date by onSocketState
    Answer ipv6Answer_ = Answer::pending;
    Answer ipv4Answer_ = Answer::pending;
    Clock::time_point ipv4AnsweredAt_{};
    std::vector<Endpoint> ipv6Answers_;
    std::vector<Endpoint> ipv4Answers_;
    Query queries_[2] = {{this, AF_INET6}, {this, AF_INET}};
};

// Races TCP connects until one completes or the deadline passes: the known addresses from the
// start, then those the lookup (may be null) hands out. The family of the first address leads.
bool raceToConnect(NameLookup* lookup, const std::vector<Endpoint>& known,
                   Clock::time_point deadline);

// Parse, resolve and race, all within one budget: the probe behind InternetCheckConnectionW.
bool canConnect(std::wstring_view url, std::chrono::milliseconds budget);

} // namespace standin
