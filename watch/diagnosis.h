// Why a check failed: what each stage saw of the way out, and the one-word verdict drawn from it.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "monitor.h"
#include "verdict.h"

namespace watch {

using Clock = std::chrono::steady_clock;
using core::Verdict;

// What the stages saw. Each list holds one entry per family, server or address asked.
struct Observations {
    struct Gateway {
        std::string family; // "ipv4", "ipv6"
        bool route = false; // a default route in this family
        bool answered = false;
        std::string said; // "10.0.0.1 answers (ICMP echo)", "no default route"
    };
    struct Reply {
        std::string who; // a nameserver, an address, a family
        bool answered = false;
        std::string said; // "answers", "NXDOMAIN", "silent", "refused"...
    };
    std::vector<Gateway> gateways; // the local link
    bool gatewaysKnown = true;     // false where the routes could not be read
    std::vector<Reply> nameservers;
    std::vector<Reply> beyond; // the anycast addresses past the provider's edge
    std::vector<Reply> site;   // the probed site, once per family
};

// The verdict the observations support: cleared where the site answers; past the provider's
// edge, dns or site; short of it, local or provider.
Verdict verdictOf(const Observations& seen);

// Each stage's entries in one line: "10.0.0.1: silent; 10.0.0.2: answers".
std::string summary(const std::vector<Observations::Reply>& replies);
std::string summary(const std::vector<Observations::Gateway>& gateways);

// The addresses past any provider's edge that the diagnosis connects to: two independent
// anycast networks in each family, port 443, by literal.
inline constexpr std::string_view beyondAddresses[] = {"1.1.1.1", "9.9.9.9", "2606:4700:4700::1111",
                                                       "2620:fe::fe"};
// The whole diagnosis, all stages in parallel; detecting the failed check and recording the
// verdict fit in what is left of ten seconds.
inline constexpr std::chrono::milliseconds diagnosisBudget{9'000};

// Runs every stage at once, each bounded by the deadline.
Observations observe(Clock::time_point deadline);

} // namespace watch
