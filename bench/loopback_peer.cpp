// Holds a loopback listener and a refusing port until standard input closes; prints both ports.
#include <iostream>

#include "loopback_peers.h"

int main() {
    const auto listener = loopback::Peer::listening(loopback::Family::ipv4);
    const auto refusing = loopback::Peer::refusing(loopback::Family::ipv4);
    std::cout << listener.port() << ' ' << refusing.port() << std::endl;
    while (std::cin.get() != std::char_traits<char>::eof()) {
    }
    return 0;
}
