// The probe against loopback peers and resolvers: verdicts, the race, the deadline, its resources.
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>

#include <sys/resource.h>
#include <sys/time.h>

#include <gtest/gtest.h>

#include "dns_responder.h"
#include "loopback_peers.h"
#include "monitor.h"
#include "posix/probe.h"
#include "windows_services.h"

using loopback::Family;
using loopback::Peer;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

std::vector<Family> familiesHere() {
    return loopback::ipv6Available() ? std::vector{Family::ipv4, Family::ipv6}
                                     : std::vector{Family::ipv4};
}

bool probe(const std::wstring& url) {
    return InternetCheckConnectionW(url.c_str(), FLAG_ICC_FORCE_CONNECTION, 0) != FALSE;
}

template <typename F> Clock::duration timed(F&& work) {
    const auto start = Clock::now();
    work();
    return Clock::now() - start;
}

// A name looked up by the given nameservers alone, then raced to, all within the budget.
bool lookUpAndRace(const std::string& nameservers, std::uint16_t port,
                   std::chrono::milliseconds budget) {
    const auto deadline = Clock::now() + budget;
    standin::LookupOptions options;
    options.nameservers = nameservers;
    standin::NameLookup lookup("probe.test", port, options);
    return standin::raceToConnect(&lookup, {}, deadline);
}

// The race alone over the peers' addresses, in the given order.
bool race(const std::vector<const Peer*>& peers, std::chrono::milliseconds budget) {
    return standin::raceToConnect(nullptr, loopback::endpointsOf(peers), Clock::now() + budget);
}

std::chrono::microseconds threadCpuTime() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return std::chrono::seconds(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           std::chrono::microseconds(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

// Interrupts this thread every few milliseconds, without SA_RESTART, while it lives.
class SignalStorm {
  public:
    SignalStorm() {
        struct sigaction action {};
        action.sa_handler = [](int) {};
        sigaction(SIGALRM, &action, &previous_);
        const itimerval every5ms{{0, 5000}, {0, 5000}};
        setitimer(ITIMER_REAL, &every5ms, nullptr);
    }
    ~SignalStorm() {
        const itimerval off{};
        setitimer(ITIMER_REAL, &off, nullptr);
        sigaction(SIGALRM, &previous_, nullptr);
    }
    SignalStorm(const SignalStorm&) = delete;
    SignalStorm& operator=(const SignalStorm&) = delete;

  private:
    struct sigaction previous_ {};
};

} // namespace

TEST(Probe, ReachesALoopbackListenerOfEitherFamily) {
    for (const Family family : familiesHere()) {
        const Peer listener = Peer::listening(family);
        EXPECT_TRUE(probe(listener.url())) << "family " << static_cast<int>(family);
    }
}

TEST(Probe, RefusedPortIsUnreachableAtOnce) {
    for (const Family family : familiesHere()) {
        const Peer refusing = Peer::refusing(family);
        bool reached = true;
        EXPECT_LT(timed([&] { reached = probe(refusing.url()); }), 1s);
        EXPECT_FALSE(reached);
    }
}

TEST(Probe, MalformedUrlsAndArgumentsAreUnreachable) {
    EXPECT_EQ(InternetCheckConnectionW(nullptr, FLAG_ICC_FORCE_CONNECTION, 0), FALSE);
    const Peer listener = Peer::listening(Family::ipv4);
    EXPECT_EQ(InternetCheckConnectionW(listener.url().c_str(), FLAG_ICC_FORCE_CONNECTION, 1),
              FALSE);
    EXPECT_FALSE(probe(L"gopher://127.0.0.1:" + std::to_wstring(listener.port())));
    EXPECT_FALSE(probe(L"http://127.0.0.1:" + std::to_wstring(listener.port()) + L"0000"));
    EXPECT_FALSE(probe(std::wstring(100'000, L'x')));
}

TEST(Probe, SilentPeerCostsTheWholeBudgetNoMoreEvenUnderSignals) {
    for (const bool interrupted : {false, true}) {
        for (const Family family : familiesHere()) {
            std::optional<SignalStorm> storm;
            if (interrupted) {
                storm.emplace();
            }
            const Peer dropping = Peer::dropping(family);
            bool reached = true;
            const auto cpuBefore = threadCpuTime();
            const auto took = timed([&] { reached = standin::canConnect(dropping.url(), 300ms); });
            EXPECT_FALSE(reached);
            EXPECT_GE(took, 300ms) << "interrupted " << interrupted;
            EXPECT_LT(took, 1s) << "interrupted " << interrupted;
            // The wait sleeps in poll; a loop that spun would burn the whole 300 ms.
            EXPECT_LT(threadCpuTime() - cpuBefore, 60ms) << "interrupted " << interrupted;
        }
    }
}

TEST(Probe, RealDeadlineEndsAProbeOfASilentPeer) {
    const Peer dropping = Peer::dropping(Family::ipv4);
    bool reached = true;
    const auto took = timed([&] { reached = probe(dropping.url()); });
    EXPECT_FALSE(reached);
    // The bound the report's availability rests on is the check's own.
    EXPECT_GE(took, core::monitor::linuxCheckBound);
    EXPECT_LT(took, core::monitor::linuxCheckBound + 3s);
}

TEST(Probe, OneBrokenFamilyCostsAtMostOneAttemptDelay) {
    if (!loopback::ipv6Available()) {
        GTEST_SKIP() << "no IPv6 on loopback here";
    }
    for (const Family broken : {Family::ipv6, Family::ipv4}) {
        const bool ipv6Broken = broken == Family::ipv6;
        const loopback::PeerPair peers = ipv6Broken
                                             ? loopback::onOnePort(Peer::dropping, Peer::listening)
                                             : loopback::onOnePort(Peer::listening, Peer::dropping);
        const Peer& dropping = ipv6Broken ? peers.ipv6 : peers.ipv4;
        const Peer& listener = ipv6Broken ? peers.ipv4 : peers.ipv6;
        bool reached = false;
        const auto took = timed([&] { reached = race({&dropping, &listener}, 10s); });
        EXPECT_TRUE(reached) << "broken family " << static_cast<int>(broken);
        EXPECT_GE(took, standin::attemptDelay);
        EXPECT_LT(took, 1s);
    }
}

TEST(Probe, AlternatesFamiliesSoASecondAddressOfTheBrokenOneWaitsItsTurn) {
    if (!loopback::ipv6Available()) {
        GTEST_SKIP() << "no IPv6 on loopback here";
    }
    const Peer dropping1 = Peer::dropping(Family::ipv6);
    const Peer dropping2 = Peer::dropping(Family::ipv6);
    const Peer listener = Peer::listening(Family::ipv4);
    bool reached = false;
    const auto took = timed([&] { reached = race({&dropping1, &dropping2, &listener}, 10s); });
    EXPECT_TRUE(reached);
    EXPECT_LT(took, standin::attemptDelay + 200ms); // not two delays: IPv4 goes second
}

TEST(Probe, FailedAttemptHandsOverAtOnce) {
    const Peer refusing1 = Peer::refusing(Family::ipv4);
    const Peer refusing2 = Peer::refusing(Family::ipv4);
    const Peer dropping = Peer::dropping(Family::ipv4);
    const Peer listener = Peer::listening(Family::ipv4);
    const struct {
        std::vector<const Peer*> chain;
        Clock::duration within;
    } cases[] = {
        {{&refusing1, &refusing2, &listener}, standin::attemptDelay},
        // The refusal comes while the silent attempt is still pending: no second delay.
        {{&dropping, &refusing1, &listener}, standin::attemptDelay + 120ms},
    };
    for (const auto& row : cases) {
        bool reached = false;
        const auto took = timed([&] { reached = race(row.chain, 10s); });
        EXPECT_TRUE(reached);
        EXPECT_LT(took, row.within)
            << row.chain.size() << " addresses, first port " << row.chain[0]->port();
    }
}

TEST(Probe, NameResolutionRacesWithinTheOneDeadline) {
    using loopback::DnsReply;
    using Servers = std::vector<std::pair<DnsReply, DnsReply>>; // A, AAAA replies per server
    const auto silent = std::pair{DnsReply::silent, DnsReply::silent};
    const struct {
        const char* name;
        Servers servers;
        Family listenOn;
        std::chrono::milliseconds budget;
        bool reachable;
        Clock::duration atLeast, within;
        int queriesToFirstServer = -1; // -1: not counted
    } cases[] = {
        {"both answered", {{DnsReply::answer, DnsReply::answer}}, Family::ipv4, 10s, true, 0s, 1s},
        {"AAAA never answered",
         {{DnsReply::answer, DnsReply::silent}},
         Family::ipv4,
         10s,
         true,
         standin::resolutionDelay,
         1s},
        // A settled AAAA question ends the resolution delay at once.
        {"AAAA failing",
         {{DnsReply::answer, DnsReply::servfail}},
         Family::ipv4,
         10s,
         true,
         0s,
         standin::resolutionDelay},
        {"A never answered",
         {{DnsReply::silent, DnsReply::answer}},
         Family::ipv6,
         10s,
         true,
         0s,
         1s},
        {"first server silent",
         {silent, {DnsReply::answer, DnsReply::answer}},
         Family::ipv4,
         10s,
         true,
         0s,
         2500ms},
        {"SERVFAIL", {{DnsReply::servfail, DnsReply::servfail}}, Family::ipv4, 10s, false, 0s, 1s},
        {"three servers silent", {silent, silent, silent}, Family::ipv4, 2s, false, 2s, 2500ms},
        // Tries at 0 s, 1 s and 3 s for each family: a lost answer costs a second, not five.
        {"one server silent", {silent}, Family::ipv4, 3500ms, false, 3500ms, 4s, 6},
    };
    for (const auto& row : cases) {
        if (row.listenOn == Family::ipv6 && !loopback::ipv6Available()) {
            continue;
        }
        std::vector<std::unique_ptr<loopback::DnsResponder>> responders;
        std::string nameservers;
        for (const auto& [ipv4, ipv6] : row.servers) {
            responders.push_back(std::make_unique<loopback::DnsResponder>(ipv4, ipv6));
            nameservers.append(nameservers.empty() ? "" : ",")
                .append(responders.back()->nameserver());
        }
        const Peer listener = Peer::listening(row.listenOn);
        bool reached = !row.reachable;
        const auto took =
            timed([&] { reached = lookUpAndRace(nameservers, listener.port(), row.budget); });
        EXPECT_EQ(reached, row.reachable) << row.name;
        EXPECT_GE(took, row.atLeast) << row.name;
        EXPECT_LT(took, row.within) << row.name;
        if (row.queriesToFirstServer >= 0) {
            EXPECT_EQ(responders.front()->queries(), row.queriesToFirstServer) << row.name;
        }
    }
}

TEST(Probe, EveryAddressFailingIsUnreachable) {
    const Peer refusing = Peer::refusing(Family::ipv4);
    const Peer dropping = Peer::dropping(Family::ipv4);
    EXPECT_FALSE(race({&refusing}, 10s));
    EXPECT_FALSE(race({&refusing, &dropping}, 300ms));
    EXPECT_FALSE(race({}, 10s));
}

TEST(Probe, LeavesNoDescriptorBehind) {
    const Peer listener = Peer::listening(Family::ipv4);
    const Peer refusing = Peer::refusing(Family::ipv4);
    const Peer dropping = Peer::dropping(Family::ipv4);
    const loopback::DnsResponder silentResolver(loopback::DnsReply::silent,
                                                loopback::DnsReply::silent);
    const int before = loopback::openDescriptorCount();
    for (int i = 0; i < 100; ++i) {
        EXPECT_TRUE(probe(listener.url()));
        EXPECT_FALSE(lookUpAndRace(silentResolver.nameserver(), 80, 10ms));
        EXPECT_FALSE(probe(refusing.url()));
        EXPECT_FALSE(probe(L"http://[::1"));
        EXPECT_FALSE(standin::canConnect(dropping.url(), 1ms));
    }
    for (int i = 0; i < 4; ++i) { // the winner closes the attempts still pending
        EXPECT_TRUE(race({&dropping, &refusing, &listener}, 10s));
    }
    EXPECT_EQ(loopback::openDescriptorCount(), before);
}

TEST(Pause, SleepsTheWholeTimeThroughSignals) {
    const SignalStorm storm;
    EXPECT_GE(timed([] { Sleep(200); }), 200ms);
}

TEST(Clock, Time64AndCtime64AreTheCLibrarysTimeAndCtime) {
    __time64_t stored = 0;
    const __time64_t now = _time64(&stored);
    EXPECT_EQ(stored, now);
    EXPECT_LE(std::abs(now - static_cast<__time64_t>(std::time(nullptr))), 1);
    const std::time_t asTimeT = now;
    EXPECT_STREQ(_ctime64(&now), std::ctime(&asTimeT));
    EXPECT_EQ(std::strlen(_ctime64(&now)), 25U);
    EXPECT_EQ(_ctime64(nullptr), nullptr);
}
