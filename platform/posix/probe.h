// Internals of the POSIX reachability probe, exposed so tests and benchmarks can drive each stage.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <netdb.h>
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
    void setPort(std::uint16_t port); // in either family's place
};

// Both address families of one name, looked up at once with c-ares on non-blocking sockets that
// the caller polls beside its own. Destroying it cancels whatever is still outstanding.
class NameLookup {
  public:
    // nameservers: c-ares' "host:port,..." form; empty means those of /etc/resolv.conf.
    NameLookup(const std::string& host, std::uint16_t port, const std::string& nameservers = {});
    ~NameLookup();
    NameLookup(const NameLookup&) = delete;
    NameLookup& operator=(const NameLookup&) = delete;

    bool finished() const { return ipv6Done_ && ipv4Done_; }
    bool ipv6Done() const { return ipv6Done_; }
    // Addresses that arrived since the last call.
    std::vector<Endpoint> takeArrived();
    // Appends the resolver's sockets; returns when it next needs attention for its own timeouts.
    Clock::time_point watch(std::vector<pollfd>& watched) const;
    // Hands the resolver what poll reported on its sockets, and lets it retry what timed out.
    void process(std::span<const pollfd> watched);

  private:
    struct Query {
        NameLookup* lookup;
        int family;
    };
    static void onAnswer(void* query, int status, int timeouts, struct ares_addrinfo* result);

    ares_channeldata* channel_ = nullptr;
    std::uint16_t port_;
    bool ipv6Done_ = false;
    bool ipv4Done_ = false;
    std::vector<Endpoint> arrived_;
    Query queries_[2] = {{this, AF_INET6}, {this, AF_INET}};
};

// Connects to the first address that answers: lookup (may be null) feeds further addresses as
// they arrive; known ones race from the start, led by the family of the first.
bool raceToConnect(NameLookup* lookup, const std::vector<Endpoint>& known,
                   Clock::time_point deadline, std::optional<int> leadFamily = std::nullopt);

// Whether a TCP handshake completes with one of the addresses before the budget runs out.
bool connectsToAny(const addrinfo* addresses, std::chrono::milliseconds budget);

// Parse, resolve and race, all within one budget: the probe behind InternetCheckConnectionW.
bool canConnect(std::wstring_view url, std::chrono::milliseconds budget,
                const std::string& nameservers = {});

} // namespace standin
