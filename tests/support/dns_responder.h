// A small loopback DNS server for resolver tests: per query type, answer (at once or after three
// seconds), stay silent, fail, refuse or say there is no such name.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace loopback {

enum class DnsReply { answer, silent, servfail, nxdomain, refused, slow };
// How long a slow reply waits: a forwarder whose upstream is far and busy.
inline constexpr int slowReplyMilliseconds = 3000;

// Where a responder listens (IPv4), and the addresses it gives.
struct DnsAddresses {
    std::string listen = "127.0.0.1";
    std::string ipv4 = "127.0.0.1";
    std::string ipv6 = "::1";
};

// Answers every name: A with one IPv4 address, AAAA with one IPv6 address, other types with no
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

    unsigned char ipv4Answer_[4] = {};
    unsigned char ipv6Answer_[16] = {};
    int fd_ = -1;
    int stopPipe_[2] = {-1, -1};
    std::uint16_t port_ = 0;
    std::atomic<int> queries_{0};
    std::thread server_;
};

} // namespace loopback
