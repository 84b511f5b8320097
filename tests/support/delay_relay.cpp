// A long or busy link where the kernel has no netem: two TUN devices, one in each of two network
// namespaces, joined by this program, which holds every packet from the first to the second for a
// while and passes the other way at once.
// usage: delay_relay MILLISECONDS NAMESPACE_A DEVICE_A NAMESPACE_B DEVICE_B
// (namespaces as ip netns names them); prints "ready" once both devices exist; runs until killed.
#include <chrono>
#include <cstring>
#include <deque>
#include <iostream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// A TUN device of that name in that namespace, or -1.
int tunIn(const std::string& space, const std::string& device) {
    const int name = ::open(("/var/run/netns/" + space).c_str(), O_RDONLY | O_CLOEXEC);
    if (name < 0 || ::setns(name, CLONE_NEWNET) != 0) {
        return -1;
    }
    ::close(name);
    const int tun = ::open("/dev/net/tun", O_RDWR | O_CLOEXEC);
    ifreq request{};
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    std::strncpy(request.ifr_name, device.c_str(), IFNAMSIZ - 1);
    return tun >= 0 && ::ioctl(tun, TUNSETIFF, &request) == 0 ? tun : -1;
}

struct Held {
    Clock::time_point due;
    std::vector<char> packet;
};

} // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::cerr << "usage: delay_relay MILLISECONDS NAMESPACE_A DEVICE_A NAMESPACE_B DEVICE_B\n";
        return 2;
    }
    const std::chrono::milliseconds delay{std::stol(argv[1])};
    const int a = tunIn(argv[2], argv[3]);
    const int b = tunIn(argv[4], argv[5]);
    if (a < 0 || b < 0) {
        std::cerr << "delay_relay: cannot make the TUN devices: " << std::strerror(errno) << "\n";
        return 1;
    }
    std::cout << "ready" << std::endl;
    std::deque<Held> held; // from a to b, in the order they came
    std::vector<char> packet(65'536);
    for (;;) {
        const auto now = Clock::now();
        while (!held.empty() && held.front().due <= now) {
            static_cast<void>(::write(b, held.front().packet.data(), held.front().packet.size()));
            held.pop_front();
        }
        pollfd watched[] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
        const int wait =
            held.empty()
                ? -1
                : static_cast<int>(
                      std::chrono::ceil<std::chrono::milliseconds>(held.front().due - now).count());
        if (::poll(watched, 2, wait) <= 0) {
            continue;
        }
        if ((watched[0].revents & POLLIN) != 0) {
            const ssize_t got = ::read(a, packet.data(), packet.size());
            if (got > 0) {
                held.push_back({Clock::now() + delay, {packet.begin(), packet.begin() + got}});
            }
        }
        if ((watched[1].revents & POLLIN) != 0) {
            const ssize_t got = ::read(b, packet.data(), packet.size());
            if (got > 0) {
                static_cast<void>(::write(a, packet.data(), static_cast<std::size_t>(got)));
            }
        }
    }
}
