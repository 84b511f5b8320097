// The probes of the connection's quality, on a thread of their own: every period, in each family
// with a default route, one probe to the gateway and one past the provider's edge (the anycast
// addresses in turn), and once a window the site's name looked up the monitor's way, timed.
// Nothing it does waits on the watching, a diagnosis or the desktop, nor they on it.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "quality_watch.h"

namespace watch {

class Sampler {
  public:
    Sampler(std::chrono::milliseconds every, std::chrono::seconds window);
    ~Sampler();
    Sampler(const Sampler&) = delete;
    Sampler& operator=(const Sampler&) = delete;

    struct Taken {
        std::vector<Sample> samples;
        std::vector<NameLookup> lookups;
        // How each family (ipv4, ipv6) is asked, where that changed: "ICMP echo to 10.0.0.1 and
        // past the edge", "no default route".
        std::optional<std::array<std::string, 2>> ways;
    };
    // What came since the last call.
    Taken take();
    // The site's addresses as the last lookup gave them, with when; empty before the first.
    std::pair<std::vector<std::string>, Milliseconds> siteAddresses();

  private:
    struct Shared {
        std::mutex mutex;
        Taken taken;
        std::vector<std::string> addresses;
        Milliseconds resolved{};
    };
    void run();
    void lookUp();

    std::chrono::milliseconds every_;
    std::chrono::seconds window_;
    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
    std::atomic<bool> stopping_ = false;
    std::thread thread_;
};

} // namespace watch
