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
// the caller polls beside its own. It hands out addresses as they may be tried: AAAA answers at
// once, A answers once the AAAA one has settled or the resolution delay is over (RFC 8305,
// section 3). Destroying it cancels whatever is still outstanding.
class NameLookup {
  public:
    // nameservers: c-ares' "host:port,..." form; empty means those of /etc/resolv.conf.
    NameLookup(const std::string& host, std::uint16_t port, const std::string& nameservers = {});
    ~NameLookup();
    NameLookup(const NameLookup&) = delete;
    NameLookup& operator=(const NameLookup&) = delete;

    // Both questions answered and every address handed out: nothing more will come.
    bool finished() const;
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

    ares_channeldata* channel_ = nullptr;
    std::uint16_t port_;
    std::vector<pollfd> sockets_; // what c-ares waits on, kept up to date by onSocketState
    bool ipv6Done_ = false;
    bool ipv4Done_ = false;
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
bool canConnect(std::wstring_view url, std::chrono::milliseconds budget,
                const std::string& nameservers = {});

} // namespace standin
