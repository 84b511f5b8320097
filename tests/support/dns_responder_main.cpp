// The loopback DNS responder as a program, for end-to-end runs in a private network namespace.
// usage: dns_responder PORT A_REPLY AAAA_REPLY (each answer|silent|servfail); runs until killed.
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
    return name == "servfail" ? loopback::DnsReply::servfail : loopback::DnsReply::answer;
}
} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: dns_responder PORT A_REPLY AAAA_REPLY\n";
        return 2;
    }
    const loopback::DnsResponder responder(replyNamed(argv[2]), replyNamed(argv[3]),
                                           static_cast<std::uint16_t>(std::atoi(argv[1])));
    std::cout << responder.port() << std::endl;
    for (;;) {
        ::pause();
    }
}
