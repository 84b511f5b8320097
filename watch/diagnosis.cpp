// The verdict from what the stages saw, and the stages run at once under one deadline.
#include "diagnosis.h"

#include <algorithm>
#include <thread>

#include "network.h"

namespace watch {
namespace {

template <typename Entries> bool anyAnswered(const Entries& entries) {
    return std::any_of(entries.begin(), entries.end(),
                       [](const auto& entry) { return entry.answered; });
}

} // namespace

Verdict verdictOf(const Observations& seen) {
    if (anyAnswered(seen.site)) {
        return Verdict::cleared;
    }
    if (anyAnswered(seen.beyond)) {
        return anyAnswered(seen.nameservers) ? Verdict::site : Verdict::dns;
    }
    if (!seen.gatewaysKnown) {
        return Verdict::unknown;
    }
    // Nothing past the provider's edge answers: the provider's fault only if the way to it works.
    return anyAnswered(seen.gateways) ? Verdict::provider : Verdict::local;
}

std::string summary(const std::vector<Observations::Reply>& replies) {
    std::string text;
    for (const auto& reply : replies) {
        text.append(text.empty() ? "" : "; ").append(reply.who).append(": ").append(reply.said);
    }
    return text.empty() ? "none to ask" : text;
}

std::string summary(const std::vector<Observations::Gateway>& gateways) {
    std::string text;
    for (const auto& gateway : gateways) {
        text.append(text.empty() ? "" : "; ")
            .append(gateway.family)
            .append(": ")
            .append(gateway.said);
    }
    return text;
}

Observations observe(Clock::time_point deadline) {
    Observations seen;
    seen.beyond.resize(std::size(beyondAddresses));
    {
        std::vector<std::jthread> stages; // joined at the end of this block
        stages.emplace_back(
            [&] { seen.gatewaysKnown = network::localLink(deadline, seen.gateways); });
        stages.emplace_back(
            [&] { seen.nameservers = network::nameservers(core::monitor::probedHost, deadline); });
        stages.emplace_back([&] {
            seen.site =
                network::site(core::monitor::probedHost, core::monitor::probedPort, deadline);
        });
        for (std::size_t i = 0; i < std::size(beyondAddresses); ++i) {
            stages.emplace_back(
                [&, i] { seen.beyond[i] = network::connectTo(beyondAddresses[i], deadline); });
        }
    }
    return seen;
}

} // namespace watch
