// Why a check failed: what each stage saw of the way out, weighed by where each answer came from,
// and the one-word verdict drawn from it as soon as no further answer can change it.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "monitor.h"
#include "verdict.h"

namespace watch {

using Clock = std::chrono::steady_clock;
using core::Verdict;

// What one party said, or that it has not said anything yet.
struct Reply {
    enum class Heard {
        nothing, // silent, unreachable, or a refusal that came from nearer than the party
        refusal, // it is there, and says no: a refused connection, a DNS error
        answer,  // a connection, or a name's addresses
    };
    std::string who;
    Heard heard = Heard::nothing;
    std::string said;
    bool done = false; // false while the stage still waits for it
    // Asked more than once: how often, and of those how many went unanswered while another try
    // of the same party was answered (a party silent to every try is silent, not lossy).
    int tries = 0;
    int lost = 0;
    bool answered() const { return heard != Heard::nothing; }
};

// The way out of one family: its default route and whether the gateway answers.
struct Gateway {
    std::string family;  // "ipv4", "ipv6"
    bool route = false;  // a default route in this family
    std::string address; // the gateway's; empty for a route on a link of its own
    bool answered = false;
    std::string said; // "10.0.0.1 answers an ICMP echo in 1 ms", "no default route"
    bool done = false;
    int echoes = 0; // sent, and of them unanswered where another was answered
    int lost = 0;
};

// What the sampler saw in its last window, where the watcher samples: loss is loss, whatever
// one diagnosis's few tries happen to meet.
struct RecentQuality {
    double gatewayLoss = 0;
    double internetLoss = 0;
};

// The path toward an address, every hop asked at once and more than once.
struct Path {
    std::string family; // "ipv4", "ipv6"
    std::string toward;
    std::vector<std::string> hops; // hop n at [n - 1]: the address that answered; empty: silent
    std::string unreachableFrom;   // who said the destination cannot be reached, if anyone
    int unreachableAt = 0;         // the hop whose probe it answered
    bool reached = false;          // the destination itself answered
    std::string failed;            // why no probe could be sent, if none could
    bool done = false;

    // Where the path stops short of its destination: the last hop it went through, 1-based.
    std::optional<std::pair<std::string, int>> stop() const;
    // "ipv4 to 1.1.1.1: 10.0.0.1, 100.64.0.1, then silent (hops 3 to 16)"
    std::string text() const;
};

struct Observations {
    std::vector<Gateway> gateways; // the local link, one per family
    bool gatewaysKnown = true;     // false where the routes could not be read
    std::string routesProblem;     // why not
    // The site's name as this computer resolves it, the monitor's way (hosts file included).
    std::vector<std::string> siteAddresses;
    std::string nameHere; // what that lookup said, where it gave no address
    bool nameDone = false;
    std::vector<Reply> nameservers; // each asked on its own
    std::vector<Reply> beyond;      // the anycast addresses past the provider's edge
    // The probed site, at each address the monitor would try: those its name gave before (known)
    // and now; or, where there is none, one reply per family saying why.
    std::vector<Reply> site;
    std::vector<Path> paths; // toward the anycast addresses, and the site where it alone fails
    std::vector<std::string> knownAddresses;           // the site's, from before this diagnosis
    std::optional<std::chrono::milliseconds> nameTook; // how long the name took to resolve
    std::optional<RecentQuality> recent;               // where the watcher samples
};

// The facts the verdict rests on, each known or still open while answers are awaited.
enum class Fact { no, yes, open };
struct Facts {
    bool routesKnown = true;
    bool anyRoute = false;
    Fact gatewayAnswers = Fact::no; // ICMP, TCP, DNS or an expiring probe, from the gateway
    Fact beyondAnswers = Fact::no;  // an anycast address or the site's host, itself, from afar
    Fact siteConnects = Fact::no;   // at any of its addresses
    Fact nameResolves = Fact::no;   // the site's name, here, the monitor's way
    Fact nameOnlyLocal = Fact::no;  // ... to private, loopback or link-local addresses alone
    Fact beyondLossy = Fact::no;    // a party past the edge answered some tries and not others
    Fact gatewayLossy = Fact::no;   // the gateway answered some echoes and not others
    Fact siteTried = Fact::no;      // the site had an address to try: known, or its name's now
};
Facts factsOf(const Observations& seen);

// The verdict rule, one row each, the first that holds:
//   the site takes a connection                          cleared; dns where its name does not
//                                                        resolve here, or to local addresses alone
//   nothing past the provider's edge answers             the way out: unknown where the routes
//                                                        cannot be read, local where there is no
//                                                        default route or nothing answers on it,
//                                                        provider where the gateway answers
//   the name resolves here to local addresses alone      dns
//   some tries unanswered where others were (loss)       local where the gateway loses, else
//                                                        provider
//   the site had an address to try                       site
//   otherwise (its name does not resolve here)           dns
Verdict verdictOf(const Facts& facts);
// The verdict once no answer still awaited can change it; nothing before then.
std::optional<Verdict> settledVerdict(const Facts& facts);
// The verdict on what was seen, whatever is still awaited counting as silent.
Verdict verdictOf(const Observations& seen);

// The bookkeeping of one path's expiring probes, the same on every system: which hops to ask in
// each round (every one at once, then the lowest few still silent: routers keep their error
// messages to a few at once and about one a second), what each answer says, and when it is
// traced: once the destination or an unreachable answers and every hop before it has, or the
// rounds are over.
class Tracing {
  public:
    static constexpr int mostHops = 16;
    Tracing(std::string_view toward, Clock::time_point started);
    // The hops to ask now, lowest first; none between rounds.
    std::vector<int> due(Clock::time_point now);
    // When to look again: the next round, or the end of the last one's wait.
    Clock::time_point nextLook() const;
    bool over(Clock::time_point now) const;
    // Each by any kind of expiring probe (UDP, ICMP echo, TCP): the first answer for a hop holds.
    void expired(int hop, const std::string& from);     // the hop's own answer
    void reached(int hop, const std::string& from);     // the destination's
    void unreachable(int hop, const std::string& from); // someone's: no way further
    void failed(const std::string& why);                // nothing could be sent
    // The path, each address at the hop where it sits: the lowest that any probe found it at,
    // not the hop of a later probe it answered for (behind a double NAT, say).
    Path finish();

  private:
    bool complete() const;
    void seen(int hop, const std::string& from);
    Path path_;
    Clock::time_point started_;
    std::size_t round_ = 0;
    int end_ = mostHops; // the hop an answer stops the path at: nothing past it needs asking
    std::vector<std::pair<std::string, int>> lowest_; // each address, the lowest hop it answered
};

// The router and the provider's edge: a refusal or an unreachable from within this many hops is
// theirs, not the far end's.
inline constexpr int nearHops = 2;

// How the connection attempts to one address ended, beside the twin that expires two hops out,
// made where an attempt was refused.
struct Attempt {
    bool ended = false; // an attempt, connected or failed, before its deadline
    bool connected = false;
    bool refused = false;
    bool refusedNearer = false; // the twin was refused too: the refusal came from within two hops
    std::string failure;        // in words, where it failed otherwise
    int tries = 0;
    int silent = 0; // tries that heard nothing by the deadline
};
// The reply attempts make for who: an answer, a refusal that is the address's own, or nothing;
// and the tries lost where others were answered.
Reply replyOf(std::string who, const Attempt& attempt);

// Where the path stopped, for a verdict that a path explains (provider, site): "100.64.0.1
// (hop 2)". Empty where none applies.
std::string stoppedAfter(Verdict verdict, const Observations& seen);

// The loss the diagnosis saw, in words, where it saw any: "2 of 16 tries unanswered beyond the
// edge; 0 of 11 echoes to the gateway".
std::string lossSeen(const Observations& seen);

// What a verdict rests on, in words a person can check against the record: "the router
// 192.168.1.1 does not answer", "www.google.com does not resolve here (NXDOMAIN)".
std::string evidence(Verdict verdict, const Observations& seen);

// Each stage's entries in one line: "10.0.0.1: silent; 10.0.0.2: answers".
std::string summary(const std::vector<Reply>& replies);
std::string summary(const std::vector<Gateway>& gateways);
std::string summary(const std::vector<Path>& paths);
// The site's name, here and as each nameserver gives it.
std::string nameSummary(const Observations& seen);

// Whether an address (as the system writes it) is one of the computer's own networks' or of
// none: private, shared, loopback, link-local or unspecified.
bool isLocalAddress(std::string_view address);

// The addresses past any provider's edge that the diagnosis connects to: two independent
// anycast networks in each family, port 443, by literal. The first of each family is traced.
inline constexpr std::string_view beyondAddresses[] = {"1.1.1.1", "9.9.9.9", "2606:4700:4700::1111",
                                                       "2620:fe::fe"};
inline constexpr std::string_view tracedAddresses[] = {"1.1.1.1", "2606:4700:4700::1111"};
// The whole diagnosis, all stages in parallel: with the log looked at four times a second, the
// verdict is in the record within three seconds of the failed check's line; where only the
// name's answer decides it, as long as the monitor itself waits for that answer.
inline constexpr std::chrono::milliseconds diagnosisBudget{2'400};

// What the watcher knows before a diagnosis: the site's addresses as last resolved, and the
// sampler's last window.
struct Known {
    std::vector<std::string> siteAddresses;
    std::optional<RecentQuality> recent;
};

// Runs every stage at once, each bounded by the deadline, and returns once the verdict is
// settled and the paths traced, or at the deadline; where only the name's answer decides it,
// waits for that up to the monitor's own check bound.
Observations observe(Clock::time_point deadline, const Known& known, std::chrono::seconds bound);

} // namespace watch
