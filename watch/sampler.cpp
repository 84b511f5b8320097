// The sampler's thread: probes sent on time, their answers or silence turned into samples by the
// time each was sent, the routes read again while nothing is in flight, and the name looked up.
#include "sampler.h"

#include <map>

#include "diagnosis.h"
#include "network.h"
#include "watch_os.h"

namespace watch {
namespace {

using namespace std::chrono;

// The sampler looks at least this often whether it is to stop.
constexpr milliseconds slice{250};
// A new default route is sampled this long after it appears, at the latest.
constexpr seconds routesReadEvery{10};

Milliseconds wallNow() {
    return time_point_cast<milliseconds>(system_clock::now());
}

std::string_view familyOf(std::string_view family) {
    return family == "ipv6" ? core::quality::families[1] : core::quality::families[0];
}

} // namespace

Sampler::Sampler(milliseconds every, seconds window)
    : every_(every), window_(window), thread_([this] { run(); }) {}

Sampler::~Sampler() {
    stopping_ = true;
    thread_.join(); // within a slice, or a probe's sending
}

Sampler::Taken Sampler::take() {
    const std::scoped_lock lock(shared_->mutex);
    return std::exchange(shared_->taken, {});
}

std::pair<std::vector<std::string>, Milliseconds> Sampler::siteAddresses() {
    const std::scoped_lock lock(shared_->mutex);
    return {shared_->addresses, shared_->resolved};
}

// Both families at once, as the monitor asks: the time until the first address came.
void Sampler::lookUp() {
    struct Lookup {
        Milliseconds started = wallNow();
        Clock::time_point began = Clock::now();
        std::mutex mutex;
        int done = 0;
        std::optional<milliseconds> took;
        std::vector<std::string> addresses;
    };
    const auto lookup = std::make_shared<Lookup>();
    for (const std::string_view family : core::quality::families) {
        os::runDetached([lookup, family, shared = shared_] {
            const auto found = network::resolve(core::monitor::probedHost, family,
                                                lookup->began + core::monitor::linuxCheckBound);
            const std::scoped_lock lock(lookup->mutex);
            if (!found.addresses.empty() && !lookup->took) {
                lookup->took = duration_cast<milliseconds>(Clock::now() - lookup->began);
            }
            lookup->addresses.insert(lookup->addresses.end(), found.addresses.begin(),
                                     found.addresses.end());
            if (++lookup->done == 2) {
                const std::scoped_lock taken(shared->mutex);
                shared->taken.lookups.push_back({lookup->started, lookup->took});
                if (!lookup->addresses.empty()) {
                    shared->addresses = lookup->addresses;
                    shared->resolved = lookup->started;
                }
            }
        });
    }
}

void Sampler::run() {
    const auto prober = network::Prober::make();
    struct Pending {
        std::string_view family;
        Segment segment;
        Milliseconds sent;
        Clock::time_point began;
    };
    std::map<long, Pending> pending;
    std::vector<network::Route> routes;
    std::array<std::string, 2> ways;
    long id = 0;
    unsigned turn = 0;
    auto next = Clock::now();
    auto routesDue = next;
    Milliseconds nextLookup = wallNow();
    const auto push = [&](const Pending& probe, std::optional<double> roundTrip) {
        const std::scoped_lock lock(shared_->mutex);
        shared_->taken.samples.push_back({probe.family, probe.segment, probe.sent, roundTrip});
    };
    while (!stopping_) {
        const auto now = Clock::now();
        if (now >= next) {
            // The routes read again only while nothing is in flight (see network.h's Prober),
            // and at most every routesReadEvery: reading them costs more than a round of probes.
            std::string why;
            if (routes.empty() || (prober->idle() && now >= routesDue)) {
                routes = network::defaultRoutes(why).value_or(std::vector<network::Route>{});
                routesDue = now + routesReadEvery;
            }
            std::array<std::string, 2> now_ways{"no default route", "no default route"};
            for (const network::Route& route : routes) {
                const std::size_t index = route.family == "ipv6" ? 1 : 0;
                if (!route.exists) {
                    continue;
                }
                const std::string_view family = familyOf(route.family);
                const std::string way = prober->way(family);
                now_ways[index] =
                    route.gateway.empty()
                        ? way + " past the edge; no gateway to ask (a link of its own)"
                        : way + " to " + route.gateway + " and past the edge";
                const Milliseconds sent = wallNow();
                if (!route.gateway.empty() &&
                    prober->send(++id, route.gateway, route.linkIndex, true)) {
                    pending[id] = {family, Segment::gateway, sent, Clock::now()};
                }
                const std::string beyond(beyondAddresses[2 * index + turn % 2]);
                if (prober->send(++id, beyond, 0, false)) {
                    pending[id] = {family, Segment::internet, sent, Clock::now()};
                }
            }
            if (now_ways != ways) {
                ways = now_ways;
                const std::scoped_lock lock(shared_->mutex);
                shared_->taken.ways = ways;
            }
            ++turn;
            next += every_;
            if (next < now) {
                next = now + every_;
            }
        }
        if (wallNow() >= nextLookup) {
            lookUp();
            const auto length = duration_cast<milliseconds>(window_);
            nextLookup = Milliseconds{(wallNow().time_since_epoch() / length + 1) * length};
        }
        for (const auto& [probe, roundTrip] :
             prober->answers(std::min(next, Clock::now() + slice))) {
            if (const auto found = pending.find(probe); found != pending.end()) {
                push(found->second, roundTrip);
                pending.erase(found);
            }
        }
        const auto given = Clock::now() - network::Prober::limit;
        for (auto probe = pending.begin(); probe != pending.end();) {
            if (probe->second.began <= given) {
                push(probe->second, std::nullopt);
                probe = pending.erase(probe);
            } else {
                ++probe;
            }
        }
    }
}

} // namespace watch
