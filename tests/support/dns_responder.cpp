// Just enough of RFC 1035 to answer one question per datagram, with the question echoed back.
#include "dns_responder.h"

#include <cstring>
#include <iterator>
#include <stdexcept>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace loopback {
namespace {

constexpr std::uint16_t typeA = 1;
constexpr std::uint16_t typeAaaa = 28;
constexpr std::size_t headerSize = 12;

void append16(std::vector<unsigned char>& out, std::uint16_t value) {
    out.push_back(static_cast<unsigned char>(value >> 8));
    out.push_back(static_cast<unsigned char>(value & 0xff));
}

// The reply to one query, or nothing when the query is malformed or meant to go unanswered.
std::vector<unsigned char> replyTo(const unsigned char* query, std::size_t size, DnsReply ipv4,
                                   DnsReply ipv6, const unsigned char (&ipv4Answer)[4],
                                   const unsigned char (&ipv6Answer)[16]) {
    std::size_t end = headerSize;
    while (end < size && query[end] != 0) {
        end += query[end] + 1U; // one label
    }
    if (size < headerSize || end + 5 > size) {
        return {};
    }
    const auto type = static_cast<std::uint16_t>(query[end + 1] << 8 | query[end + 2]);
    const std::size_t questionEnd = end + 5;
    const DnsReply reply = type == typeA ? ipv4 : type == typeAaaa ? ipv6 : DnsReply::answer;
    if (reply == DnsReply::silent) {
        return {};
    }
    std::vector<unsigned char> out(query, query + questionEnd);
    out[2] = static_cast<unsigned char>(0x80 | (query[2] & 0x01)); // a response; RD echoed
    // RA, and SERVFAIL, NXDOMAIN or NOERROR
    out[3] = reply == DnsReply::servfail ? 0x82 : reply == DnsReply::nxdomain ? 0x83 : 0x80;
    const bool hasRecord = reply == DnsReply::answer && (type == typeA || type == typeAaaa);
    out[6] = 0;
    out[7] = hasRecord ? 1 : 0; // answers
    std::fill(out.begin() + 8, out.begin() + headerSize, 0);
    if (hasRecord) {
        append16(out, 0xc00c); // the name, pointing back at the question
        append16(out, type);
        append16(out, 1); // IN
        append16(out, 0);
        append16(out, 60); // TTL
        if (type == typeA) {
            append16(out, 4);
            out.insert(out.end(), std::begin(ipv4Answer), std::end(ipv4Answer));
        } else {
            append16(out, 16);
            out.insert(out.end(), std::begin(ipv6Answer), std::end(ipv6Answer));
        }
    }
    return out;
}

} // namespace

DnsResponder::DnsResponder(DnsReply ipv4, DnsReply ipv6, std::uint16_t port,
                           const DnsAddresses& addresses) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    socklen_t length = sizeof address;
    if (::inet_pton(AF_INET, addresses.listen.c_str(), &address.sin_addr) != 1 ||
        ::inet_pton(AF_INET, addresses.ipv4.c_str(), ipv4Answer_) != 1 ||
        ::inet_pton(AF_INET6, addresses.ipv6.c_str(), ipv6Answer_) != 1) {
        throw std::runtime_error("DNS responder: an address that is none");
    }
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        ::pipe2(stopPipe_, O_CLOEXEC) != 0) {
        const std::string reason = std::strerror(errno);
        if (fd_ >= 0) {
            ::close(fd_);
        }
        throw std::runtime_error("DNS responder: " + reason);
    }
    port_ = ntohs(address.sin_port);
    server_ = std::thread([this, ipv4, ipv6] { serve(ipv4, ipv6); });
}

DnsResponder::~DnsResponder() {
    ::close(stopPipe_[1]);
    server_.join();
    ::close(stopPipe_[0]);
    ::close(fd_);
}

void DnsResponder::serve(DnsReply ipv4, DnsReply ipv6) {
    pollfd watched[] = {{fd_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    unsigned char query[512];
    while (::poll(watched, 2, -1) >= 0 && watched[1].revents == 0) {
        sockaddr_storage from{};
        socklen_t fromLength = sizeof from;
        const ssize_t size = ::recvfrom(fd_, query, sizeof query, MSG_DONTWAIT,
                                        reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (size <= 0) {
            continue;
        }
        ++queries_;
        const auto reply =
            replyTo(query, static_cast<std::size_t>(size), ipv4, ipv6, ipv4Answer_, ipv6Answer_);
        if (!reply.empty()) {
            ::sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from),
                     fromLength);
        }
    }
}

} // namespace loopback
