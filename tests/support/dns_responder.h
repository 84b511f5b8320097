// A small loopback DNS server for resolver tests: per query type, answer (at once or after three
// seconds), stay silent, fail, refuse or say there is no such name.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace loopback {

enum class DnsReply { answer, silent, servfail, nxdomain, refused, slow };
// How long a slow reply waits: a forwarder whose upstream is far and busy.
inline constexpr int slowReplyMilliseconds = 3000;

// Where a responder listens (IPv4), and the addresses it gives (several joined by commas).
struct DnsAddresses {
    std::string listen = "127.0.0.1";
    std::string ipv4 = "127.0.0.1";
    std::string ipv6 = "::1";
};

// Answers every name: A with its IPv4 addresses, AAAA with its IPv6 ones, other types with no
// records.
class DnsResponder {
  public:
    DnsResponder(DnsReply ipv4, DnsReply ipv6, std::uint16_t port = 0,
                 const DnsAddresses& addresses = {});
    ~DnsResponder();
    DnsResponder(const DnsResponder&) = delete;
    DnsResponder& operator=(const DnsResponder&) = delete;

    std::uint16_t port() const { return port_; }
    std::string nameserver() const { return "127.0.0.1:" + std::to_string(port_); }
    int queries() const { return queries_; }

  private:
    void serve(DnsReply ipv4, DnsReply ipv6);

    std::vector<std::array<unsigned char, 4>> ipv4Answers_;
    std::vector<std::array<unsigned char, 16>> ipv6Answers_;
    int fd_ = -1;
    int stopPipe_[2] = {-1, -1};
    std::uint16_t port_ = 0;
    std::atomic<int> queries_{0};
    std::thread server_;
};

} // namespace loopback
