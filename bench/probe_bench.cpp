// The probe on loopback beside its floor for each case, then a table of times and ratios.
#include <algorithm>
#include <cstdio>
#include <map>
#include <string>

#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include "dns_responder.h"
#include "loopback_peers.h"
#include "posix/probe.h"
#include "windows_services.h"

using loopback::Family;
using loopback::Peer;

namespace {

// A plain blocking connect and close: what no probe can beat.
bool bareConnect(const Peer& peer) {
    const sockaddr_storage address = peer.address();
    const int fd = ::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const socklen_t length =
        address.ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    const bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0;
    ::close(fd);
    return connected;
}

bool probeUrl(const Peer& peer) {
    return InternetCheckConnectionW(peer.url().c_str(), FLAG_ICC_FORCE_CONNECTION, 0) != FALSE;
}

// One peer, one check per iteration: the probe or its floor against a listener or refusing port.
void againstPeer(benchmark::State& state, Peer (*makePeer)(Family, std::uint16_t),
                 bool (*check)(const Peer&)) {
    const Peer peer = makePeer(Family::ipv4, 0);
    for (auto _ : state) {
        benchmark::DoNotOptimize(check(peer));
    }
}

// The race over ::1 then 127.0.0.1 on one port; the IPv6 side always drops silently.
void raceWithBrokenIpv6(benchmark::State& state, Peer (*makeIpv4Peer)(Family, std::uint16_t)) {
    const loopback::PeerPair peers = loopback::onOnePort(Peer::dropping, makeIpv4Peer);
    const auto addresses = loopback::endpointsOf({&peers.ipv6, &peers.ipv4});
    for (auto _ : state) {
        benchmark::DoNotOptimize(standin::raceToConnect(
            nullptr, addresses, standin::Clock::now() + standin::connectionBudget));
    }
}

// A name answered by a loopback resolver for both families, and listeners on ::1 and 127.0.0.1.
struct NamedHost {
    loopback::DnsResponder resolver{loopback::DnsReply::answer, loopback::DnsReply::answer};
    loopback::PeerPair listeners = loopback::onOnePort(Peer::listening, Peer::listening);
};

// The floor: the same c-ares lookup driven to its end alone, then one bare connect.
bool lookUpThenConnect(const NamedHost& host) {
    standin::LookupOptions options;
    options.nameservers = host.resolver.nameserver();
    standin::NameLookup lookup("probe.test", host.listeners.ipv6.port(), options);
    std::size_t found = 0;
    for (;;) {
        found += lookup.takeReady().size();
        if (lookup.finished()) {
            break;
        }
        std::vector<pollfd> watched;
        const auto wakeAt = lookup.watch(watched);
        const auto wait =
            std::chrono::ceil<std::chrono::milliseconds>(wakeAt - standin::Clock::now());
        ::poll(watched.data(), watched.size(), static_cast<int>(std::max<long>(wait.count(), 0)));
        lookup.process(watched);
    }
    return found > 0 && bareConnect(host.listeners.ipv6);
}

// The probe's own path after the URL: the lookup racing its answers to a connection.
bool lookUpAndRace(const NamedHost& host) {
    const auto deadline = standin::Clock::now() + standin::connectionBudget;
    standin::LookupOptions options;
    options.nameservers = host.resolver.nameserver();
    standin::NameLookup lookup("probe.test", host.listeners.ipv6.port(), options);
    return standin::raceToConnect(&lookup, {}, deadline);
}

void namedHost(benchmark::State& state, bool floor) {
    const NamedHost host;
    for (auto _ : state) {
        benchmark::DoNotOptimize(floor ? lookUpThenConnect(host) : lookUpAndRace(host));
    }
}

// Keeps each run's mean real time, in seconds, for the closing table.
class RecordingReporter : public benchmark::ConsoleReporter {
  public:
    std::map<std::string, double> seconds;
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            seconds[run.benchmark_name()] =
                run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
        }
    }
};

void printComparison(const RecordingReporter& reporter) {
    const auto at = [&](const char* name) {
        const auto found = reporter.seconds.find(name);
        return found == reporter.seconds.end() ? 0.0 : found->second;
    };
    const auto row = [](const char* name, double probe, double floor, const char* goal) {
        const bool slow = floor >= 0.01;
        const double scale = slow ? 1e3 : 1e6;
        const char* unit = slow ? "ms" : "us";
        std::printf("%-34s %10.1f %s %10.1f %s %7.2fx  %s\n", name, probe * scale, unit,
                    floor * scale, unit, floor > 0 ? probe / floor : 0.0, goal);
    };
    const double stagger = std::chrono::duration<double>(standin::attemptDelay).count();
    const double deadline = std::chrono::duration<double>(standin::connectionBudget).count();
    const double broken = at("brokenIpv6Probe/iterations:8/real_time");

    std::printf("\n%-34s %13s %13s %8s  %s\n", "case", "probe", "floor", "ratio", "goal");
    row("reachable listener", at("reachableProbe/real_time"), at("reachableFloor/real_time"),
        "at most 1.5x the bare connect");
    row("refused port", at("refusedProbe/real_time"), at("refusedFloor/real_time"),
        "close to the bare refused connect");
    row("named host, loopback resolver", at("namedProbe/real_time"), at("namedFloor/real_time"),
        "at most 1.5x the lookup plus a connect");
    row("::1 dropping, 127.0.0.1 listening", broken, stagger, "");
    std::printf("%-34s %+10.1f ms over the attempt delay (goal: within 50 ms)\n", "",
                (broken - stagger) * 1e3);
    row("both families dropping", at("bothDroppingProbe/iterations:1/real_time"), deadline,
        "ends at the deadline");
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    using benchmark::kMicrosecond;
    using benchmark::kMillisecond;
    struct PeerCase {
        const char* name;
        Peer (*makePeer)(Family, std::uint16_t);
        bool (*check)(const Peer&);
    };
    for (const PeerCase& c : {PeerCase{"reachableFloor", Peer::listening, bareConnect},
                              PeerCase{"reachableProbe", Peer::listening, probeUrl},
                              PeerCase{"refusedFloor", Peer::refusing, bareConnect},
                              PeerCase{"refusedProbe", Peer::refusing, probeUrl}}) {
        benchmark::RegisterBenchmark(c.name, againstPeer, c.makePeer, c.check)
            ->UseRealTime()
            ->Unit(kMicrosecond);
    }
    if (loopback::ipv6Available()) {
        benchmark::RegisterBenchmark("namedFloor", namedHost, true)
            ->UseRealTime()
            ->Unit(kMicrosecond);
        benchmark::RegisterBenchmark("namedProbe", namedHost, false)
            ->UseRealTime()
            ->Unit(kMicrosecond);
    }
    // 127.0.0.1 listening: the floor is one attempt delay. Dropping too: the deadline itself.
    benchmark::RegisterBenchmark("brokenIpv6Probe", raceWithBrokenIpv6, Peer::listening)
        ->Iterations(8)
        ->UseRealTime()
        ->Unit(kMillisecond);
    benchmark::RegisterBenchmark("bothDroppingProbe", raceWithBrokenIpv6, Peer::dropping)
        ->Iterations(1)
        ->UseRealTime()
        ->Unit(kMillisecond);
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    printComparison(reporter);
    benchmark::Shutdown();
    return 0;
}
