// The verdict from what the stages saw, and the stages run at once until it is settled.
#include "diagnosis.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "network.h"
#include "watch_os.h"

namespace watch {
namespace {

std::string_view familyOf(const Reply& reply) {
    return reply.who == "ipv4" || reply.who == "ipv6" ? std::string_view(reply.who)
           : reply.who.find(':') != std::string::npos ? "ipv6"
                                                      : "ipv4";
}

// The gateway is heard from, by whatever way: its own answer, its DNS, or its expiring probe. A
// route on a link of its own (a tunnel) has no gateway to ask: what answers through it stands in.
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
        if (gateway.address.empty()) {
            for (const auto* replies : {&seen.beyond, &seen.site}) {
                for (const Reply& reply : *replies) {
                    if (familyOf(reply) == gateway.family && reply.answered()) {
                        return Fact::yes;
                    }
                    open = open || (familyOf(reply) == gateway.family && !reply.done);
                }
            }
        }
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

// A name that took longer than this is said to be slow.
constexpr std::chrono::milliseconds slowName{1000};
// Tries lost beside others answered: at least this many to say the line loses (one is a chance
// a clean line meets now and then).
constexpr int lossShown = 2;
// A share lost in the sampler's last window that says so on its own.
constexpr double lossLearnt = 0.10;

bool isAddress(const Reply& reply) {
    return reply.who != "ipv4" && reply.who != "ipv6";
}

} // namespace

Facts factsOf(const Observations& seen) {
    Facts facts;
    facts.routesKnown = seen.gatewaysKnown;
    facts.anyRoute = std::any_of(seen.gateways.begin(), seen.gateways.end(),
                                 [](const Gateway& gateway) { return gateway.route; });
    facts.gatewayAnswers = gatewayFact(seen);
    facts.beyondAnswers = Fact::no;
    int lost = 0;
    bool awaited = false;
    for (const auto* replies : {&seen.beyond, &seen.site}) {
        for (const Reply& reply : *replies) {
            facts.beyondAnswers = either(facts.beyondAnswers, farAnswer(seen, reply));
            lost += reply.lost;
            awaited = awaited || !reply.done;
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
    // Loss: tries unanswered where others were, in this diagnosis or the sampler's last window.
    const auto recent = [&](double RecentQuality::*loss) {
        return seen.recent && (*seen.recent).*loss >= lossLearnt;
    };
    facts.beyondLossy = lost >= lossShown || recent(&RecentQuality::internetLoss) ? Fact::yes
                        : awaited                                                 ? Fact::open
                                                                                  : Fact::no;
    facts.gatewayLossy = Fact::no;
    for (const Gateway& gateway : seen.gateways) {
        facts.gatewayLossy = either(facts.gatewayLossy, gateway.lost >= lossShown ? Fact::yes
                                                        : gateway.done            ? Fact::no
                                                                                  : Fact::open);
    }
    if (recent(&RecentQuality::gatewayLoss)) {
        facts.gatewayLossy = Fact::yes;
    }
    facts.siteTried = std::any_of(seen.site.begin(), seen.site.end(), isAddress) ? Fact::yes
                      : seen.nameDone                                            ? Fact::no
                                                                                 : Fact::open;
    return facts;
}

Verdict verdictOf(const Facts& facts) {
    const auto yes = [](Fact fact) { return fact == Fact::yes; };
    if (yes(facts.siteConnects)) { // the site is there: the monitor needs its name too
        return yes(facts.nameResolves) && !yes(facts.nameOnlyLocal) ? Verdict::cleared
                                                                    : Verdict::dns;
    }
    if (!yes(facts.beyondAnswers)) { // nothing past the provider's edge: the way out decides
        if (!facts.routesKnown) {
            return Verdict::unknown;
        }
        return facts.anyRoute && yes(facts.gatewayAnswers) ? Verdict::provider : Verdict::local;
    }
    if (yes(facts.nameResolves) && yes(facts.nameOnlyLocal)) {
        return Verdict::dns; // a captive portal's, or a resolver that answers for everyone
    }
    if (yes(facts.beyondLossy) || yes(facts.gatewayLossy)) { // the site's silence is the line's
        return yes(facts.gatewayLossy) ? Verdict::local : Verdict::provider;
    }
    return yes(facts.siteTried) ? Verdict::site : Verdict::dns;
}

std::optional<Verdict> settledVerdict(const Facts& facts) {
    // Every way the open facts may yet turn out: settled where all give one verdict.
    std::array<Fact Facts::*, 8> open{};
    std::size_t count = 0;
    for (Fact Facts::*fact :
         {&Facts::gatewayAnswers, &Facts::beyondAnswers, &Facts::siteConnects, &Facts::nameResolves,
          &Facts::nameOnlyLocal, &Facts::beyondLossy, &Facts::gatewayLossy, &Facts::siteTried}) {
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
    reply.tries = attempt.tries;
    const bool heard = attempt.connected || (attempt.refused && !attempt.refusedNearer);
    reply.lost = heard ? attempt.silent : 0; // silent to every try: silent, not lossy
    if (attempt.connected) {
        reply.heard = Reply::Heard::answer;
        reply.said = "answers";
    } else if (attempt.refused && !attempt.refusedNearer) {
        reply.heard = Reply::Heard::refusal;
        reply.said = "refuses (it is there)";
    } else if (attempt.ended || attempt.refused) {
        reply.said = attempt.refused ? "refused from within two hops, not by the address itself"
                                     : attempt.failure;
    }
    if (reply.lost > 0) {
        reply.said += " (" + std::to_string(reply.lost) + " of " + std::to_string(reply.tries) +
                      " tries unanswered)";
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

void Tracing::seen(int hop, const std::string& from) {
    const auto known = std::find_if(lowest_.begin(), lowest_.end(),
                                    [&](const auto& entry) { return entry.first == from; });
    if (known == lowest_.end()) {
        lowest_.emplace_back(from, hop);
    } else {
        known->second = std::min(known->second, hop);
    }
}

void Tracing::expired(int hop, const std::string& from) {
    if (hop >= 1 && hop <= mostHops && path_.hops[hop - 1].empty()) {
        path_.hops[hop - 1] = from;
        seen(hop, from);
    }
}

void Tracing::reached(int hop, const std::string& from) {
    if (hop >= 1 && hop <= mostHops) {
        path_.reached = true;
        path_.hops[hop - 1] = from;
        end_ = std::min(end_, hop);
        seen(hop, from);
    }
}

void Tracing::unreachable(int hop, const std::string& from) {
    if (hop < 1 || hop > mostHops) {
        return;
    }
    seen(hop, from);
    if (path_.unreachableFrom.empty() || hop < path_.unreachableAt) {
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
    for (const auto& [from, hop] : lowest_) { // an unreachable said by a hop found lower down
        if (from == path_.unreachableFrom && hop < path_.unreachableAt) {
            path_.unreachableAt = hop;
        }
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

std::string lossSeen(const Observations& seen) {
    int tries = 0;
    int lost = 0;
    for (const auto* replies : {&seen.beyond, &seen.site}) {
        for (const Reply& reply : *replies) {
            if (reply.lost > 0 || reply.answered()) { // the silent to every try say nothing of it
                tries += reply.tries;
                lost += reply.lost;
            }
        }
    }
    int echoes = 0;
    int echoesLost = 0;
    for (const Gateway& gateway : seen.gateways) {
        echoes += gateway.echoes;
        echoesLost += gateway.lost;
    }
    std::string text;
    if (lost > 0) {
        text = std::to_string(lost) + " of " + std::to_string(tries) +
               " tries unanswered beyond the edge";
    }
    if (echoesLost > 0) {
        text += (text.empty() ? "" : "; ") + std::to_string(echoesLost) + " of " +
                std::to_string(echoes) + " echoes to the gateway unanswered";
    }
    if (seen.recent &&
        (seen.recent->internetLoss >= lossLearnt || seen.recent->gatewayLoss >= lossLearnt)) {
        const auto percent = [](double share) {
            return std::to_string(std::lround(100 * share)) + "%";
        };
        text += (text.empty() ? "" : "; ") + std::string("the last quality window lost ") +
                percent(seen.recent->internetLoss) + " beyond the edge, " +
                percent(seen.recent->gatewayLoss) + " at the gateway";
    }
    return text;
}

std::string evidence(Verdict verdict, const Observations& seen) {
    const std::string host(core::monitor::probedHost);
    const auto facts = factsOf(seen);
    const auto yes = [](Fact fact) { return fact == Fact::yes; };
    const auto list = [](const std::vector<std::string>& addresses) {
        std::string text;
        for (const std::string& address : addresses) {
            text += (text.empty() ? "" : ", ") + address;
        }
        return text;
    };
    const auto gatewayNamed = [&]() -> std::string {
        for (const Gateway& gateway : seen.gateways) {
            if (gateway.route && !gateway.address.empty()) {
                return "the router " + gateway.address;
            }
        }
        return "the router";
    };
    const bool ownLinkOnly =
        facts.anyRoute &&
        std::all_of(seen.gateways.begin(), seen.gateways.end(), [](const Gateway& gateway) {
            return !gateway.route || gateway.address.empty();
        });
    switch (verdict) {
    case Verdict::local:
        if (yes(facts.gatewayLossy)) {
            return lossSeen(seen) + ": a lossy link to " + gatewayNamed();
        }
        if (!facts.anyRoute) {
            return "there is no default route";
        }
        return ownLinkOnly ? "nothing answers through the default route, a link of its own (a "
                             "VPN tunnel, say)"
                           : gatewayNamed() + " does not answer";
    case Verdict::provider: {
        if (yes(facts.beyondLossy)) {
            return lossSeen(seen) + ": the line loses packets beyond your router";
        }
        const std::string stop = stoppedAfter(verdict, seen);
        return (ownLinkOnly ? std::string("something answers through the default route")
                            : gatewayNamed() + " answers") +
               ", nothing beyond it does" + (stop.empty() ? "" : "; the path stops after " + stop);
    }
    case Verdict::dns:
        if (yes(facts.siteConnects)) {
            return "the site answers, but its name " + host + " does not resolve here (" +
                   (seen.nameDone ? seen.nameHere : std::string("no answer in time")) + ")";
        }
        if (yes(facts.nameOnlyLocal)) {
            return host + " resolves here only to " + list(seen.siteAddresses) +
                   ", of your own network, while the Internet answers";
        }
        return host + " does not resolve here (" +
               (seen.nameDone ? seen.nameHere : std::string("no answer in time")) +
               "), while the Internet answers";
    case Verdict::site: {
        std::vector<std::string> tried;
        for (const Reply& reply : seen.site) {
            if (isAddress(reply)) {
                tried.push_back(reply.who);
            }
        }
        const std::string stop = stoppedAfter(verdict, seen);
        return "the Internet answers, " + host + " (" + list(tried) + ") does not" +
               (stop.empty() ? "" : "; the path to it stops after " + stop);
    }
    case Verdict::cleared:
        return "it answered again by the time it was diagnosed";
    case Verdict::unknown:
        break;
    }
    return "the routes cannot be read (" + seen.routesProblem + ")";
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
    } else if (seen.nameTook && *seen.nameTook >= slowName) { // slow, though it answered
        text += " after " + std::to_string(seen.nameTook->count() / 1000) + "." +
                std::to_string(seen.nameTook->count() % 1000 / 100) + " s";
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
// too, per family with a route, toward its first address that stayed silent.
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
        const auto silent = std::find_if(seen.site.begin(), seen.site.end(), [&](const Reply& r) {
            return isAddress(r) && familyOf(r) == family && r.heard == Reply::Heard::nothing;
        });
        if (silent != seen.site.end() && hasRoute(seen, family)) {
            seen.paths.push_back({family, silent->who, {}, {}, 0, false, {}, false});
            tracePath(shared, seen.paths.size() - 1, silent->who, deadline);
        }
    }
}

// Tries an address at a port from a moment on, as a list's reply: an answer is told as soon as
// it comes, the tries' tally once they are over.
void tryAddress(const std::shared_ptr<Gathering>& shared, std::vector<Reply> Observations::*list,
                std::size_t index, std::string address, std::uint16_t port, Clock::time_point from,
                Clock::time_point deadline) {
    os::runDetached([shared, list, index, address = std::move(address), port, from, deadline] {
        std::this_thread::sleep_until(from);
        const auto store = [&](Reply reply, bool done) {
            {
                const std::scoped_lock lock(shared->mutex);
                reply.done = done;
                (shared->seen.*list)[index] = std::move(reply);
            }
            shared->changed.notify_all();
        };
        store(network::reach(address, port, deadline,
                             [&](const Reply& heard) { store(heard, false); }),
              true);
    });
}

void trySite(const std::shared_ptr<Gathering>& shared, std::size_t index, std::string address,
             Clock::time_point from, Clock::time_point deadline) {
    tryAddress(shared, &Observations::site, index, std::move(address), core::monitor::probedPort,
               from, deadline);
}

} // namespace

Observations observe(Clock::time_point verdictDue, const Known& known, std::chrono::seconds bound) {
    const auto started = Clock::now();
    // The stages end a little before the verdict is due, so that what they heard is in it; the
    // name may take as long as the monitor itself lets it.
    const auto deadline = verdictDue - std::chrono::milliseconds{150};
    const auto nameDeadline = started + bound - std::chrono::milliseconds{150};
    const auto shared = std::make_shared<Gathering>();
    Observations& seen = shared->seen;
    seen.knownAddresses = known.siteAddresses;
    seen.recent = known.recent;
    const std::string_view host = core::monitor::probedHost;
    std::string why;
    const auto routes = network::defaultRoutes(why);
    seen.gatewaysKnown = routes.has_value();
    seen.routesProblem = why;
    for (const network::Route& route : routes.value_or(std::vector<network::Route>{})) {
        const bool ownLink = route.exists && route.gateway.empty();
        Gateway gateway{route.family,
                        route.exists,
                        route.gateway,
                        false,
                        !route.exists ? "no default route"
                        : ownLink     ? "default route on a link of its own, with no gateway to ask"
                                      : "",
                        !route.exists || ownLink,
                        0,
                        0};
        seen.gateways.push_back(gateway);
    }
    for (const std::string& server : network::nameservers()) {
        seen.nameservers.push_back({server, Reply::Heard::nothing, "", false, 0, 0});
    }
    for (const std::string_view address : beyondAddresses) {
        seen.beyond.push_back({std::string(address), Reply::Heard::nothing, "", false, 0, 0});
    }
    for (const std::string& address : known.siteAddresses) {
        seen.site.push_back({address, Reply::Heard::nothing, "", false, 0, 0});
    }
    for (const std::string_view address : tracedAddresses) {
        const std::string family = address.find(':') != std::string_view::npos ? "ipv6" : "ipv4";
        if (hasRoute(seen, family)) {
            seen.paths.push_back({family, std::string(address), {}, {}, 0, false, {}, false});
        }
    }

    std::unique_lock lock(shared->mutex); // the stages store nothing until all have begun
    // The expiring probes first, the connections past the gateway this much later: a router
    // gives only a few error messages at once (Linux: 6, then one a second), and the path needs
    // them most, while a connection's silence says what its error message would.
    const auto pathsFirst = Clock::now() + std::chrono::milliseconds{100};
    for (std::size_t i = 0; i < seen.paths.size(); ++i) {
        tracePath(shared, i, seen.paths[i].toward, deadline);
    }
    for (std::size_t i = 0; routes && i < routes->size(); ++i) {
        if (!seen.gateways[i].done) {
            os::runDetached([shared, i, route = (*routes)[i], deadline] {
                const auto store = [&](Gateway gateway, bool done) {
                    {
                        const std::scoped_lock stored(shared->mutex);
                        gateway.done = done;
                        shared->seen.gateways[i] = std::move(gateway);
                    }
                    shared->changed.notify_all();
                };
                store(network::askGateway(route, deadline,
                                          [&](const Gateway& heard) { store(heard, false); }),
                      true);
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
        tryAddress(shared, &Observations::beyond, i, seen.beyond[i].who, 443, pathsFirst, deadline);
    }
    // The site at each address known from before, at once: a site that is down is found so
    // whatever the name service does.
    for (std::size_t i = 0; i < seen.site.size(); ++i) {
        trySite(shared, i, seen.site[i].who, pathsFirst, deadline);
    }
    // Its name resolved as the monitor resolves it, per family, for as long as the monitor would
    // wait; each new address it gives tried too.
    for (const std::string_view family : {"ipv4", "ipv6"}) {
        os::runDetached([shared, family = std::string(family), host, started, pathsFirst, deadline,
                         nameDeadline] {
            const network::Resolved found = network::resolve(host, family, nameDeadline);
            {
                const std::scoped_lock stored(shared->mutex);
                Observations& seen = shared->seen;
                if (!found.addresses.empty() && !seen.nameTook) {
                    seen.nameTook = std::chrono::duration_cast<std::chrono::milliseconds>(
                        Clock::now() - started);
                }
                seen.siteAddresses.insert(seen.siteAddresses.end(), found.addresses.begin(),
                                          found.addresses.end());
                seen.nameHere += (seen.nameHere.empty() ? "" : "; ") + family + ": " + found.said;
                seen.nameDone = ++shared->familiesResolved == 2;
                const auto late = std::max(Clock::now() + (deadline - started), deadline);
                bool any = false;
                for (const std::string& address : found.addresses) {
                    const bool tried =
                        std::any_of(seen.site.begin(), seen.site.end(),
                                    [&](const Reply& reply) { return reply.who == address; });
                    any = true;
                    if (!tried) {
                        seen.site.push_back({address, Reply::Heard::nothing, "", false, 0, 0});
                        trySite(shared, seen.site.size() - 1, address, pathsFirst,
                                std::min(late, nameDeadline));
                    }
                }
                const bool known =
                    std::any_of(seen.site.begin(), seen.site.end(), [&](const Reply& reply) {
                        return isAddress(reply) && familyOf(reply) == family;
                    });
                if (!any && !known) {
                    seen.site.push_back(
                        {family, Reply::Heard::nothing, "name: " + found.said, true, 0, 0});
                }
            }
            shared->changed.notify_all();
        });
    }
    // Until no answer still awaited can change the verdict, and where a path explains it
    // (provider, site), the paths are traced; past the budget only while the name, still
    // awaited, decides.
    auto until = verdictDue;
    for (;;) {
        traceSiteWhereItAloneFails(shared, deadline);
        const auto verdict = settledVerdict(factsOf(seen));
        const bool traced = std::all_of(seen.paths.begin(), seen.paths.end(),
                                        [](const Path& path) { return path.done; });
        if (verdict && (traced || (*verdict != Verdict::provider && *verdict != Verdict::site))) {
            return seen;
        }
        if (shared->changed.wait_until(lock, until) == std::cv_status::timeout) {
            const bool nameAwaited =
                !seen.nameDone || std::any_of(seen.site.begin(), seen.site.end(),
                                              [](const Reply& reply) { return !reply.done; });
            if (until == verdictDue && !verdict && nameAwaited && started + bound > until) {
                until = started + bound;
                continue;
            }
            return seen;
        }
    }
}

} // namespace watch
