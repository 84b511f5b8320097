// The verdict from what the stages saw, and the stages run at once until it is settled.
#include "diagnosis.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "network.h"
#include "watch_os.h"

namespace watch {
namespace {

// The gateway is heard from, by whatever way: its own answer, its DNS, or its expiring probe.
Fact gatewayFact(const Observations& seen) {
    bool open = false;
    for (const Gateway& gateway : seen.gateways) {
        if (!gateway.route) {
            continue;
        }
        if (gateway.answered) {
            return Fact::yes;
        }
        open = open || !gateway.done;
        for (const Reply& server : seen.nameservers) {
            if (!gateway.address.empty() && server.who == gateway.address) {
                if (server.answered()) {
                    return Fact::yes;
                }
                open = open || !server.done;
            }
        }
        for (const Path& path : seen.paths) { // its first hop is the gateway
            if (path.family == gateway.family && !path.hops.empty() && !path.hops[0].empty()) {
                return Fact::yes;
            }
            open = open || (path.family == gateway.family && !path.done);
        }
    }
    return open ? Fact::open : Fact::no;
}

// Whether a hop within two of the computer (the router, the provider's edge) says the far end
// cannot be reached: then a refusal "from" the far end may be that hop's, made on its behalf.
Fact nearHopRefuses(const Observations& seen, std::string_view family) {
    bool open = false;
    for (const Path& path : seen.paths) {
        if (path.family != family) {
            continue;
        }
        if (!path.unreachableFrom.empty() && path.unreachableFrom != path.toward) {
            const auto seenAt = std::find(path.hops.begin(), path.hops.end(), path.unreachableFrom);
            const auto position = seenAt != path.hops.end()
                                      ? static_cast<int>(seenAt - path.hops.begin()) + 1
                                      : path.unreachableAt;
            if (position <= nearHops) {
                return Fact::yes;
            }
        }
        open = open || !path.done;
    }
    return open ? Fact::open : Fact::no;
}

std::string_view familyOf(const Reply& reply) {
    return reply.who == "ipv4" || reply.who == "ipv6" ? std::string_view(reply.who)
           : reply.who.find(':') != std::string::npos ? "ipv6"
                                                      : "ipv4";
}

// Something past the provider's edge answers: a connection, or a refusal that is its own.
Fact farAnswer(const Observations& seen, const Reply& reply) {
    if (!reply.done) {
        return Fact::open;
    }
    switch (reply.heard) {
    case Reply::Heard::answer:
        return Fact::yes;
    case Reply::Heard::refusal:
        switch (nearHopRefuses(seen, familyOf(reply))) {
        case Fact::yes:
            return Fact::no;
        case Fact::open:
            return Fact::open;
        case Fact::no:
            break;
        }
        return Fact::yes;
    case Reply::Heard::nothing:
        break;
    }
    return Fact::no;
}

template <typename Heard> Fact anyReply(const std::vector<Reply>& replies, Heard heard) {
    bool open = false;
    for (const Reply& reply : replies) {
        if (heard(reply)) {
            return Fact::yes;
        }
        open = open || !reply.done;
    }
    return open ? Fact::open : Fact::no;
}

Fact either(Fact a, Fact b) {
    return a == Fact::yes || b == Fact::yes     ? Fact::yes
           : a == Fact::open || b == Fact::open ? Fact::open
                                                : Fact::no;
}

} // namespace

Facts factsOf(const Observations& seen) {
    Facts facts;
    facts.routesKnown = seen.gatewaysKnown;
    facts.anyRoute = std::any_of(seen.gateways.begin(), seen.gateways.end(),
                                 [](const Gateway& gateway) { return gateway.route; });
    facts.gatewayAnswers = gatewayFact(seen);
    facts.beyondAnswers = Fact::no;
    for (const auto* replies : {&seen.beyond, &seen.site}) {
        for (const Reply& reply : *replies) {
            facts.beyondAnswers = either(facts.beyondAnswers, farAnswer(seen, reply));
        }
    }
    facts.siteConnects =
        anyReply(seen.site, [](const Reply& reply) { return reply.heard == Reply::Heard::answer; });
    const bool resolved = !seen.siteAddresses.empty();
    const bool onlyLocal = std::all_of(seen.siteAddresses.begin(), seen.siteAddresses.end(),
                                       [](const std::string& a) { return isLocalAddress(a); });
    facts.nameResolves = resolved ? Fact::yes : seen.nameDone ? Fact::no : Fact::open;
    facts.nameOnlyLocal = !onlyLocal       ? Fact::no
                          : !seen.nameDone ? Fact::open
                          : resolved       ? Fact::yes
                                           : Fact::no;
    return facts;
}

Verdict verdictOf(const Facts& facts) {
    const auto yes = [](Fact fact) { return fact == Fact::yes; };
    if (yes(facts.nameResolves) && yes(facts.nameOnlyLocal)) {
        return Verdict::dns; // a captive portal's, or a resolver that answers for everyone
    }
    if (yes(facts.siteConnects)) {
        return Verdict::cleared;
    }
    if (yes(facts.beyondAnswers)) {
        return yes(facts.nameResolves) ? Verdict::site : Verdict::dns;
    }
    if (!facts.routesKnown) {
        return Verdict::unknown;
    }
    // Nothing past the provider's edge answers: the provider's fault only if the way to it works.
    return facts.anyRoute && yes(facts.gatewayAnswers) ? Verdict::provider : Verdict::local;
}

std::optional<Verdict> settledVerdict(const Facts& facts) {
    // Every way the open facts may yet turn out: settled where all give one verdict.
    std::array<Fact Facts::*, 5> open{};
    std::size_t count = 0;
    for (Fact Facts::*fact : {&Facts::gatewayAnswers, &Facts::beyondAnswers, &Facts::siteConnects,
                              &Facts::nameResolves, &Facts::nameOnlyLocal}) {
        if (facts.*fact == Fact::open) {
            open[count++] = fact;
        }
    }
    std::optional<Verdict> verdict;
    for (unsigned way = 0; way < (1U << count); ++way) {
        Facts outcome = facts;
        for (std::size_t i = 0; i < count; ++i) {
            outcome.*open[i] = (way >> i & 1U) != 0 ? Fact::yes : Fact::no;
        }
        const Verdict then = verdictOf(outcome);
        if (verdict && *verdict != then) {
            return std::nullopt;
        }
        verdict = then;
    }
    return verdict;
}

Verdict verdictOf(const Observations& seen) {
    return verdictOf(factsOf(seen));
}

std::optional<std::pair<std::string, int>> Path::stop() const {
    if (reached || !failed.empty()) {
        return std::nullopt;
    }
    const auto last = std::find_if(hops.rbegin(), hops.rend(),
                                   [](const std::string& hop) { return !hop.empty(); });
    const int lastHop = last == hops.rend() ? 0 : static_cast<int>(hops.rend() - last);
    if (!unreachableFrom.empty() && (lastHop == 0 || unreachableFrom != hops[lastHop - 1])) {
        return std::pair{unreachableFrom, unreachableAt}; // a hop of its own said so
    }
    if (lastHop == 0) {
        return std::nullopt;
    }
    return std::pair{hops[lastHop - 1], lastHop};
}

std::string Path::text() const {
    std::string text = family + " to " + toward + ": ";
    if (!failed.empty()) {
        return text + "no probe sent (" + failed + ")";
    }
    const auto last = std::find_if(hops.rbegin(), hops.rend(),
                                   [](const std::string& hop) { return !hop.empty(); });
    const int shown = std::max(unreachableAt, static_cast<int>(hops.rend() - last));
    for (int hop = 1; hop <= shown; ++hop) {
        text += hop > 1 ? ", " : "";
        if (hop == unreachableAt) {
            text += "unreachable, says " + unreachableFrom;
        } else {
            text += hops[hop - 1].empty() ? "*" : hops[hop - 1];
        }
    }
    if (reached) {
        return text + " (reached)";
    }
    if (shown == 0) {
        text += "silent";
    }
    if (unreachableAt == 0 && shown < static_cast<int>(hops.size())) {
        text += (shown > 0 ? ", then silent" : "") + std::string(" (hops ") +
                std::to_string(shown + 1) + " to " + std::to_string(hops.size()) + ")";
    }
    return done ? text : text + ", still asked at the verdict";
}

Reply replyOf(std::string who, const Attempt& attempt) {
    Reply reply{std::move(who), Reply::Heard::nothing, "silent"};
    if (!attempt.ended) {
        return reply;
    }
    if (attempt.connected) {
        reply.heard = Reply::Heard::answer;
        reply.said = "answers";
    } else if (attempt.refused && !attempt.refusedNearer) {
        reply.heard = Reply::Heard::refusal;
        reply.said = "refuses (it is there)";
    } else {
        reply.said = attempt.refused ? "refused from within two hops, not by the address itself"
                                     : attempt.failure;
    }
    return reply;
}

namespace {
constexpr std::array<std::chrono::milliseconds, 4> roundsAt{
    std::chrono::milliseconds{0}, std::chrono::milliseconds{500}, std::chrono::milliseconds{1100},
    std::chrono::milliseconds{1700}};
constexpr std::chrono::milliseconds lastRoundWait{600};
constexpr int againAtMost = 4; // hops asked again in a later round
} // namespace

Tracing::Tracing(std::string_view toward, Clock::time_point started) : started_(started) {
    path_.family = toward.find(':') != std::string_view::npos ? "ipv6" : "ipv4";
    path_.toward = toward;
    path_.hops.resize(mostHops);
}

std::vector<int> Tracing::due(Clock::time_point now) {
    std::vector<int> hops;
    if (round_ < roundsAt.size() && now >= started_ + roundsAt[round_]) {
        for (int hop = 1; hop <= end_ && (round_ == 0 || hops.size() < againAtMost); ++hop) {
            if (path_.hops[hop - 1].empty()) {
                hops.push_back(hop);
            }
        }
        ++round_;
    }
    return hops;
}

Clock::time_point Tracing::nextLook() const {
    return round_ < roundsAt.size() ? started_ + roundsAt[round_]
                                    : started_ + roundsAt.back() + lastRoundWait;
}

bool Tracing::over(Clock::time_point now) const {
    return !path_.failed.empty() || (round_ == roundsAt.size() && now >= nextLook()) ||
           (end_ < mostHops && complete());
}

bool Tracing::complete() const {
    // The hop the path stops at has answered: the ones before it are awaited.
    return std::all_of(path_.hops.begin(), path_.hops.begin() + end_ - 1,
                       [](const std::string& hop) { return !hop.empty(); });
}

void Tracing::expired(int hop, const std::string& from) {
    if (hop >= 1 && hop <= mostHops) {
        path_.hops[hop - 1] = from;
    }
}

void Tracing::reached(int hop, const std::string& from) {
    if (hop >= 1 && hop <= mostHops) {
        path_.reached = true;
        path_.hops[hop - 1] = from;
        end_ = std::min(end_, hop);
    }
}

void Tracing::unreachable(int hop, const std::string& from) {
    if (hop >= 1 && hop <= mostHops &&
        (path_.unreachableFrom.empty() || hop < path_.unreachableAt)) {
        path_.unreachableFrom = from;
        path_.unreachableAt = hop;
        end_ = std::min(end_, hop);
    }
}

void Tracing::failed(const std::string& why) {
    path_.failed = why;
    path_.hops.clear();
}

Path Tracing::finish() {
    if (path_.reached) {
        path_.hops.resize(static_cast<std::size_t>(end_));
    }
    return std::move(path_);
}

std::string stoppedAfter(Verdict verdict, const Observations& seen) {
    if (verdict != Verdict::provider && verdict != Verdict::site) {
        return {};
    }
    // The provider's: the paths past its edge; the site's: the paths to it, ipv4 first.
    for (const Path& path : seen.paths) {
        const bool beyond = std::find(std::begin(tracedAddresses), std::end(tracedAddresses),
                                      path.toward) != std::end(tracedAddresses);
        if (beyond == (verdict == Verdict::provider)) {
            if (const auto stop = path.stop()) {
                return stop->first + " (hop " + std::to_string(stop->second) + ")";
            }
        }
    }
    return {};
}

std::string summary(const std::vector<Reply>& replies) {
    std::string text;
    for (const auto& reply : replies) {
        text.append(text.empty() ? "" : "; ")
            .append(reply.who)
            .append(": ")
            .append(reply.done ? reply.said : "no answer by the verdict");
    }
    return text.empty() ? "none to ask" : text;
}

std::string summary(const std::vector<Gateway>& gateways) {
    std::string text;
    for (const auto& gateway : gateways) {
        text.append(text.empty() ? "" : "; ")
            .append(gateway.family)
            .append(": ")
            .append(gateway.done ? gateway.said : gateway.address + " no answer by the verdict");
    }
    return text;
}

std::string summary(const std::vector<Path>& paths) {
    std::string text;
    for (const Path& path : paths) {
        text.append(text.empty() ? "" : "; ").append(path.text());
    }
    return text.empty() ? "none traced: no default route" : text;
}

std::string nameSummary(const Observations& seen) {
    std::string text = "here: ";
    for (const std::string& address : seen.siteAddresses) {
        text.append(text.size() > 6 ? ", " : "").append(address);
    }
    if (seen.siteAddresses.empty()) {
        text += seen.nameDone ? seen.nameHere : "no answer by the verdict";
    }
    return text + "; " + summary(seen.nameservers);
}

bool isLocalAddress(std::string_view address) {
    if (address.find(':') != std::string_view::npos) {
        const auto startsWith = [&](std::string_view prefix) {
            return address.substr(0, prefix.size()) == prefix;
        };
        if (startsWith("::ffff:") && address.find('.') != std::string_view::npos) {
            return isLocalAddress(address.substr(7)); // an IPv4 address in IPv6's form
        }
        return address == "::1" || address == "::" || startsWith("fe8") || startsWith("fe9") ||
               startsWith("fea") || startsWith("feb") || startsWith("fc") || startsWith("fd");
    }
    std::array<unsigned, 4> part{};
    std::size_t at = 0;
    for (unsigned& value : part) {
        const std::size_t end = std::min(address.find('.', at), address.size());
        for (const char c : address.substr(at, end - at)) {
            value = value * 10 + static_cast<unsigned>(c - '0');
        }
        at = end + 1;
    }
    return part[0] == 10 || part[0] == 127 || part[0] == 0 ||
           (part[0] == 172 && part[1] >= 16 && part[1] < 32) ||
           (part[0] == 192 && part[1] == 168) || (part[0] == 169 && part[1] == 254) ||
           (part[0] == 100 && part[1] >= 64 && part[1] < 128); // shared by providers (RFC 6598)
}

namespace {

// What the stages share with observe: their threads may outlive it, and keep only this.
struct Gathering {
    std::mutex mutex;
    std::condition_variable changed;
    Observations seen;
    int familiesResolved = 0;
    bool siteTraced = false;
};

// Runs a stage on a thread of its own; its result is stored under the lock, and told.
template <typename Work, typename Store>
void stage(const std::shared_ptr<Gathering>& shared, Work work, Store store) {
    os::runDetached([shared, work = std::move(work), store = std::move(store)]() mutable {
        auto result = work();
        {
            const std::scoped_lock lock(shared->mutex);
            store(shared->seen, std::move(result));
        }
        shared->changed.notify_all();
    });
}

// A stage's reply stored as one of a list's, done.
auto storedAs(std::vector<Reply> Observations::*list, std::size_t index) {
    return [list, index](Observations& seen, Reply reply) {
        reply.done = true;
        (seen.*list)[index] = std::move(reply);
    };
}

void tracePath(const std::shared_ptr<Gathering>& shared, std::size_t index, std::string toward,
               Clock::time_point deadline) {
    stage(
        shared, [toward = std::move(toward), deadline] { return network::trace(toward, deadline); },
        [index](Observations& seen, Path path) {
            path.done = true;
            seen.paths[index] = std::move(path);
        });
}

bool hasRoute(const Observations& seen, std::string_view family) {
    return std::any_of(seen.gateways.begin(), seen.gateways.end(), [&](const Gateway& gateway) {
        return gateway.route && gateway.family == family;
    });
}

// Where the site alone fails (the Internet answers, the site has taken no connection), its path
// too, per family with a route and an address for it.
void traceSiteWhereItAloneFails(const std::shared_ptr<Gathering>& shared,
                                Clock::time_point deadline) {
    Observations& seen = shared->seen;
    const auto answers = [](const Reply& reply) { return reply.heard == Reply::Heard::answer; };
    if (shared->siteTraced || !std::any_of(seen.beyond.begin(), seen.beyond.end(), answers) ||
        std::any_of(seen.site.begin(), seen.site.end(), answers)) {
        return;
    }
    shared->siteTraced = true;
    for (const std::string family : {"ipv4", "ipv6"}) {
        const auto address = std::find_if(
            seen.siteAddresses.begin(), seen.siteAddresses.end(), [&](const std::string& a) {
                return (a.find(':') != std::string::npos) == (family == "ipv6");
            });
        if (address != seen.siteAddresses.end() && hasRoute(seen, family)) {
            seen.paths.push_back({family, *address, {}, {}, 0, false, {}, false});
            tracePath(shared, seen.paths.size() - 1, *address, deadline);
        }
    }
}

} // namespace

Observations observe(Clock::time_point verdictDue) {
    // The stages end a little before the verdict is due, so that what they heard is in it.
    const auto deadline = verdictDue - std::chrono::milliseconds{150};
    const auto shared = std::make_shared<Gathering>();
    Observations& seen = shared->seen;
    const std::string_view host = core::monitor::probedHost;
    std::string why;
    const auto routes = network::defaultRoutes(why);
    seen.gatewaysKnown = routes.has_value();
    seen.routesProblem = why;
    for (const network::Route& route : routes.value_or(std::vector<network::Route>{})) {
        const bool ownLink = route.exists && route.gateway.empty();
        seen.gateways.push_back({route.family, route.exists, route.gateway, ownLink,
                                 !route.exists ? "no default route"
                                 : ownLink     ? "default route on its link, with no gateway to ask"
                                               : "",
                                 !route.exists || ownLink});
    }
    for (const std::string& server : network::nameservers()) {
        seen.nameservers.push_back({server, Reply::Heard::nothing, "", false});
    }
    for (const std::string_view address : beyondAddresses) {
        seen.beyond.push_back({std::string(address), Reply::Heard::nothing, "", false});
    }
    seen.site = {{"ipv4", Reply::Heard::nothing, "", false},
                 {"ipv6", Reply::Heard::nothing, "", false}};
    for (const std::string_view address : tracedAddresses) {
        const std::string family = address.find(':') != std::string_view::npos ? "ipv6" : "ipv4";
        if (hasRoute(seen, family)) {
            seen.paths.push_back({family, std::string(address), {}, {}, 0, false, {}, false});
        }
    }

    std::unique_lock lock(shared->mutex); // the stages store nothing until all have begun
    // The expiring probes first, the connections past the gateway this much later: a router
    // gives only a few error messages at once (Linux: 5, then one a second), and the path needs
    // them most, while a connection's silence says what its error message would.
    const auto pathsFirst = Clock::now() + std::chrono::milliseconds{100};
    for (std::size_t i = 0; i < seen.paths.size(); ++i) {
        tracePath(shared, i, seen.paths[i].toward, deadline);
    }
    for (std::size_t i = 0; routes && i < routes->size(); ++i) {
        if (!seen.gateways[i].done) {
            stage(
                shared,
                [route = (*routes)[i], deadline] { return network::askGateway(route, deadline); },
                [i](Observations& seen, Gateway gateway) {
                    gateway.done = true;
                    seen.gateways[i] = std::move(gateway);
                });
        }
    }
    for (std::size_t i = 0; i < seen.nameservers.size(); ++i) {
        stage(
            shared,
            [server = seen.nameservers[i].who, host, deadline] {
                return network::askNameserver(server, host, deadline);
            },
            storedAs(&Observations::nameservers, i));
    }
    for (std::size_t i = 0; i < seen.beyond.size(); ++i) {
        stage(
            shared,
            [address = seen.beyond[i].who, pathsFirst, deadline] {
                std::this_thread::sleep_until(pathsFirst);
                return network::reach(address, 443, deadline);
            },
            storedAs(&Observations::beyond, i));
    }
    // The site, per family: its name resolved as the monitor resolves it, then its first address.
    for (std::size_t i = 0; i < seen.site.size(); ++i) {
        os::runDetached([shared, i, host, pathsFirst, deadline] {
            const std::string family = i == 0 ? "ipv4" : "ipv6";
            const network::Resolved found = network::resolve(host, family, deadline);
            {
                const std::scoped_lock lock(shared->mutex);
                Observations& seen = shared->seen;
                seen.siteAddresses.insert(seen.siteAddresses.end(), found.addresses.begin(),
                                          found.addresses.end());
                seen.nameHere += (seen.nameHere.empty() ? "" : "; ") + family + ": " + found.said;
                seen.nameDone = ++shared->familiesResolved == 2;
                if (found.addresses.empty()) {
                    seen.site[i] = {family, Reply::Heard::nothing, "name: " + found.said, true};
                }
            }
            shared->changed.notify_all();
            if (!found.addresses.empty()) {
                std::this_thread::sleep_until(pathsFirst);
                Reply reply =
                    network::reach(found.addresses.front(), core::monitor::probedPort, deadline);
                reply.who = family;
                reply.said = found.addresses.front() + " " + reply.said;
                reply.done = true;
                {
                    const std::scoped_lock lock(shared->mutex);
                    shared->seen.site[i] = std::move(reply);
                }
                shared->changed.notify_all();
            }
        });
    }
    // Until no answer still awaited can change the verdict, and where a path explains it
    // (provider, site), the paths are traced.
    for (;;) {
        traceSiteWhereItAloneFails(shared, deadline);
        const auto verdict = settledVerdict(factsOf(seen));
        const bool traced = std::all_of(seen.paths.begin(), seen.paths.end(),
                                        [](const Path& path) { return path.done; });
        if ((verdict && (traced || (*verdict != Verdict::provider && *verdict != Verdict::site))) ||
            shared->changed.wait_until(lock, verdictDue) == std::cv_status::timeout) {
            return seen;
        }
    }
}

} // namespace watch
