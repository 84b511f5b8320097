// Just enough of RFC 1035 to answer one question per datagram, with the question echoed back.
#include "dns_responder.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <iterator>
#include <optional>
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

// Where the question's name ends (its last byte, the root label), or nothing for a malformed one.
std::optional<std::size_t> nameEnd(const unsigned char* query, std::size_t size) {
    std::size_t end = headerSize;
    while (end < size && query[end] != 0) {
        end += query[end] + 1U; // one label
    }
    return size < headerSize || end + 5 > size ? std::nullopt : std::optional(end);
}

std::uint16_t typeOf(const unsigned char* query, std::size_t end) {
    return static_cast<std::uint16_t>(query[end + 1] << 8 | query[end + 2]);
}

// Each address of a comma-separated list, as bytes; false where one is none.
template <std::size_t N>
bool parsed(const std::string& list, int family, std::vector<std::array<unsigned char, N>>& into) {
    for (std::size_t at = 0; at <= list.size();) {
        const std::size_t comma = std::min(list.find(',', at), list.size());
        std::array<unsigned char, N> bytes{};
        if (::inet_pton(family, list.substr(at, comma - at).c_str(), bytes.data()) != 1) {
            return false;
        }
        into.push_back(bytes);
        at = comma + 1;
    }
    return true;
}

// The reply to one query, or nothing when the query is malformed or meant to go unanswered.
std::vector<unsigned char> replyTo(const unsigned char* query, std::size_t size, DnsReply ipv4,
                                   DnsReply ipv6,
                                   const std::vector<std::array<unsigned char, 4>>& ipv4Answers,
                                   const std::vector<std::array<unsigned char, 16>>& ipv6Answers) {
    const auto found = nameEnd(query, size);
    if (!found) {
        return {};
    }
    const std::size_t end = *found;
    const auto type = typeOf(query, end);
    const std::size_t questionEnd = end + 5;
    const DnsReply reply = type == typeA ? ipv4 : type == typeAaaa ? ipv6 : DnsReply::answer;
    if (reply == DnsReply::silent) {
        return {};
    }
    std::vector<unsigned char> out(query, query + questionEnd);
    out[2] = static_cast<unsigned char>(0x80 | (query[2] & 0x01)); // a response; RD echoed
    // RA, and SERVFAIL, NXDOMAIN, REFUSED or NOERROR
    out[3] = reply == DnsReply::servfail   ? 0x82
             : reply == DnsReply::nxdomain ? 0x83
             : reply == DnsReply::refused  ? 0x85
                                           : 0x80;
    const bool answers = reply == DnsReply::answer || reply == DnsReply::slow;
    const bool hasRecord = answers && (type == typeA || type == typeAaaa);
    const std::size_t records = !hasRecord      ? 0
                                : type == typeA ? ipv4Answers.size()
                                                : ipv6Answers.size();
    out[6] = 0;
    out[7] = static_cast<unsigned char>(records); // answers
    std::fill(out.begin() + 8, out.begin() + headerSize, 0);
    for (std::size_t i = 0; i < records; ++i) {
        append16(out, 0xc00c); // the name, pointing back at the question
        append16(out, type);
        append16(out, 1); // IN
        append16(out, 0);
        append16(out, 60); // TTL
        if (type == typeA) {
            append16(out, 4);
            out.insert(out.end(), ipv4Answers[i].begin(), ipv4Answers[i].end());
        } else {
            append16(out, 16);
            out.insert(out.end(), ipv6Answers[i].begin(), ipv6Answers[i].end());
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
        !parsed(addresses.ipv4, AF_INET, ipv4Answers_) ||
        !parsed(addresses.ipv6, AF_INET6, ipv6Answers_)) {
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
    struct Later {
        std::chrono::steady_clock::time_point due;
        std::vector<unsigned char> reply;
        sockaddr_storage to;
        socklen_t length;
    };
    std::vector<Later> later; // slow replies, in the order they are due
    pollfd watched[] = {{fd_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    unsigned char query[512];
    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        while (!later.empty() && later.front().due <= now) {
            ::sendto(fd_, later.front().reply.data(), later.front().reply.size(), 0,
                     reinterpret_cast<sockaddr*>(&later.front().to), later.front().length);
            later.erase(later.begin());
        }
        const int wait = later.empty()
                             ? -1
                             : static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(
                                                    later.front().due - now)
                                                    .count());
        if (::poll(watched, 2, wait) < 0 || watched[1].revents != 0) {
            return;
        }
        sockaddr_storage from{};
        socklen_t fromLength = sizeof from;
        const ssize_t size = ::recvfrom(fd_, query, sizeof query, MSG_DONTWAIT,
                                        reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (size <= 0) {
            continue;
        }
        ++queries_;
        auto reply =
            replyTo(query, static_cast<std::size_t>(size), ipv4, ipv6, ipv4Answers_, ipv6Answers_);
        if (reply.empty()) {
            continue;
        }
        const auto type = typeOf(query, *nameEnd(query, static_cast<std::size_t>(size)));
        const bool slow = (type == typeA      ? ipv4
                           : type == typeAaaa ? ipv6
                                              : DnsReply::answer) == DnsReply::slow;
        if (slow) {
            later.push_back({std::chrono::steady_clock::now() +
                                 std::chrono::milliseconds{slowReplyMilliseconds},
                             std::move(reply), from, fromLength});
        } else {
            ::sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from),
                     fromLength);
        }
    }
}

} // namespace loopback
