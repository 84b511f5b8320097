// The loopback DNS responder as a program, for end-to-end runs in a private network namespace.
// usage: dns_responder PORT A_REPLY AAAA_REPLY [LISTEN A_ADDRESS AAAA_ADDRESS]
// (each reply answer|slow|silent|servfail|nxdomain|refused; by default it listens on and answers
// with loopback); runs until killed.
#include <cstdlib>
#include <iostream>
#include <string>

#include <unistd.h>

#include "dns_responder.h"

namespace {
loopback::DnsReply replyNamed(const std::string& name) {
    if (name == "silent") {
        return loopback::DnsReply::silent;
    }
    return name == "servfail"   ? loopback::DnsReply::servfail
           : name == "nxdomain" ? loopback::DnsReply::nxdomain
           : name == "refused"  ? loopback::DnsReply::refused
           : name == "slow"     ? loopback::DnsReply::slow
                                : loopback::DnsReply::answer;
}
} // namespace

int main(int argc, char** argv) {
    if (argc != 4 && argc != 7) {
        std::cerr
            << "usage: dns_responder PORT A_REPLY AAAA_REPLY [LISTEN A_ADDRESS AAAA_ADDRESS]\n";
        return 2;
    }
    const loopback::DnsAddresses addresses =
        argc == 7 ? loopback::DnsAddresses{argv[4], argv[5], argv[6]} : loopback::DnsAddresses{};
    const loopback::DnsResponder responder(replyNamed(argv[2]), replyNamed(argv[3]),
                                           static_cast<std::uint16_t>(std::atoi(argv[1])),
                                           addresses);
    std::cout << responder.port() << std::endl;
    for (;;) {
        ::pause();
    }
}
