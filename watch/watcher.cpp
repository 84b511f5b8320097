// What the watcher records and does, event by event, on readings of its three clocks.
#include "watcher.h"

#include <algorithm>

namespace watch {

namespace event = core::record::event;
using namespace std::chrono;

namespace {

std::string signedSeconds(milliseconds amount) {
    const long long whole = duration_cast<seconds>(amount).count();
    std::string text = std::to_string(whole) + "s";
    if (whole >= 0) {
        text.insert(text.begin(), '+');
    }
    return text;
}

// "10s", "0.05s"
std::string secondsText(milliseconds amount) {
    std::string text = std::to_string(amount.count() / 1000);
    if (amount.count() % 1000 != 0) {
        std::string fraction = std::to_string(1000 + amount.count() % 1000).substr(1);
        fraction.erase(fraction.find_last_not_of('0') + 1);
        text.append(".").append(fraction);
    }
    return text + "s";
}

std::string tenths(milliseconds amount) {
    const long long count = (amount.count() + 50) / 100;
    return std::to_string(count / 10) + "." + std::to_string(count % 10) + "s";
}

} // namespace

Watcher::Watcher(World& world, const Settings& settings) : world_(world), settings_(settings) {
    if (settings_.window) {
        quality_.emplace(*settings_.window, settings_.thresholds);
    }
}

void Watcher::write(const Readings& now, std::string_view event,
                    const std::vector<core::record::Field>& fields) {
    world_.append(core::record::formatLine(now.stamp(), event, fields));
    lastWritten_ = now.awake;
}

Stamp Watcher::stampAt(sys_time<milliseconds> moment) {
    const auto second = floor<seconds>(moment);
    return {second, world_.offsetAt(second)};
}

void Watcher::start(const Readings& now, const Identity& identity,
                    const std::vector<core::record::Line>& recent) {
    previous_ = now;
    identity_ = identity;
    std::string why;
    monitor_ = world_.startMonitor(why);
    writeStarted(now, monitor_ ? core::record::Field{"monitor", std::to_string(*monitor_)}
                               : core::record::Field{"monitor-failed", why});
    if (!monitor_) {
        restartAt_ = now.awake + settings_.restartDelay;
    }
    carryOn(now, recent);
    if (quality_) {
        quality_->remember(recent);
    }
}

// The last change told of, read back: a down with no up after it, its checks seen within the gap,
// is an outage still going on. Its checks are the first and each diagnosed since.
void Watcher::carryOn(const Readings& now, const std::vector<core::record::Line>& recent) {
    core::record::ToldOutages told;
    for (const core::record::Line& line : recent) {
        told.take(line);
    }
    const auto wall = floor<seconds>(now.wall);
    const auto down = told.goingOnAt(wall);
    if (!down || wall - down->lastWord.utc > settings_.gap) {
        return; // none, or it ended, or was no longer seen, while nothing watched
    }
    const auto ago = [&](sys_seconds moment) {
        return duration_cast<milliseconds>(std::max(wall - moment, seconds{0}));
    };
    Change change{Change::Kind::down,
                  down->since,
                  down->firstCheck,
                  0s,
                  down->checks,
                  core::verdictNamed(down->cause),
                  "",
                  std::nullopt};
    outage_ = Outage{std::move(change), now.awake - ago(down->since.utc),
                     now.awake - ago(down->lastWord.utc), true};
    lastFailure_ = down->lastWord;
}

void Watcher::restate(const Readings& now) {
    observeClocks(now);
    writeStarted(now,
                 monitor_ ? core::record::Field{"monitor", std::to_string(*monitor_)}
                          : core::record::Field{"monitor-failed", "not running"},
                 "begun anew: the one before was moved or deleted");
}

void Watcher::writeStarted(const Readings& now, const core::record::Field& monitor,
                           std::string_view recordNote) {
    const std::string process = std::to_string(identity_.process);
    std::vector<core::record::Field> fields{
        {"version", identity_.version}, {"os", identity_.os}, {"watcher", process}};
    if (!identity_.machine.empty()) {
        fields.emplace_back("machine", identity_.machine);
    }
    fields.push_back(monitor);
    if (!recordNote.empty()) {
        fields.emplace_back("record", recordNote);
    }
    write(now, event::started, fields);
}

// Sleep shows as boot time running on while awake time stood still; a clock set shows as wall
// time moving unlike boot time.
void Watcher::observeClocks(const Readings& now) {
    if (!previous_) {
        previous_ = now;
        return;
    }
    const milliseconds awake = now.awake - previous_->awake;
    const milliseconds sinceBoot = now.sinceBoot - previous_->sinceBoot;
    const milliseconds slept = sinceBoot - awake;
    const milliseconds jump = duration_cast<milliseconds>(now.wall - previous_->wall) - sinceBoot;
    const auto wallBefore = previous_->wall;
    previous_ = now;
    // A window holds only what was sampled in it: sleep and a clock set end it there.
    if (quality_ && (slept > settings_.clockTolerance || abs(jump) > settings_.clockTolerance)) {
        windowClosed(now, quality_->cut(time_point_cast<milliseconds>(wallBefore + awake),
                                        time_point_cast<milliseconds>(now.wall)));
    }
    if (slept > settings_.clockTolerance) {
        const std::string from = core::record::stampText(stampAt(now.wall - slept));
        write(now, event::asleep, {{"from", from}, {"for", signedSeconds(slept).substr(1)}});
    }
    if (abs(jump) > settings_.clockTolerance) {
        const std::string from = core::record::stampText(stampAt(wallBefore + sinceBoot));
        write(now, event::clockChanged, {{"by", signedSeconds(jump)}, {"from", from}});
    }
}

void Watcher::tick(const Readings& now) {
    observeClocks(now);
    if (stopped_) {
        return;
    }
    if (restartAt_ && now.awake >= *restartAt_) {
        startMonitor(now);
    }
    if (outage_ && !outage_->announced && now.awake - outage_->firstSeen >= settings_.causeWait) {
        announceDown(std::nullopt); // no diagnosis came in time: said without its cause
    }
    if (outage_ && now.awake - outage_->lastFailure > settings_.gap) {
        Change back = outage_->down;
        back.kind = Change::Kind::up;
        back.span = duration_cast<seconds>(outage_->lastFailure - outage_->firstSeen);
        outage_.reset();
        world_.announce(back);
    }
    if (quality_) {
        windowClosed(now, quality_->due(time_point_cast<milliseconds>(now.wall)));
    }
    if (now.awake - lastWritten_ >= settings_.heartbeat) {
        write(now, event::watching);
    }
}

void Watcher::sampled(const Readings& now, const std::vector<Sample>& samples,
                      const std::vector<NameLookup>& lookups,
                      const std::optional<std::array<std::string, 2>>& ways) {
    observeClocks(now);
    if (!quality_ || stopped_) {
        return;
    }
    if (ways) {
        write(now, event::sampling,
              {{"every", secondsText(settings_.sampleEvery)},
               {"window", std::to_string(settings_.window->count()) + "s"},
               {"ipv4", (*ways)[0]},
               {"ipv6", (*ways)[1]}});
    }
    // Quality while the connection is up: probes lost in an outage are the outage's.
    for (const Sample& sample : samples) {
        if (!outage_) {
            quality_->add(sample);
        }
    }
    for (const NameLookup& lookup : lookups) {
        quality_->add(lookup);
    }
}

void Watcher::windowClosed(const Readings& now, std::optional<QualityWatch::Closed> closed) {
    if (!closed) {
        return;
    }
    const auto fields = core::quality::fieldsOf(closed->window);
    std::vector<core::record::Field> views(fields.begin(), fields.end());
    const Stamp end = stampAt(closed->end);
    world_.append(core::record::formatLine(end, event::quality, views));
    lastWritten_ = now.awake;
    if (closed->told) {
        const auto& [degraded, figures] = *closed->told;
        world_.announce({degraded ? Change::Kind::degraded : Change::Kind::recovered,
                         stampAt(figures.since), "", figures.span, 0,
                         figures.local ? Verdict::local : Verdict::provider, "", figures});
    }
}

void Watcher::startMonitor(const Readings& now) {
    restartAt_.reset();
    std::string why;
    monitor_ = world_.startMonitor(why);
    if (monitor_) {
        write(now, event::monitorStarted, {{"monitor", std::to_string(*monitor_)}});
    } else {
        write(now, event::monitorStarted, {{"failed", why}});
        restartAt_ = now.awake + settings_.restartDelay;
    }
}

void Watcher::monitorEnded(const Readings& now, const std::string& how) {
    observeClocks(now);
    if (stopped_) {
        return;
    }
    write(now, event::monitorEnded, {{"how", how}});
    monitor_.reset();
    restartAt_ = now.awake + settings_.restartDelay;
}

void Watcher::failedCheck(const Readings& now, FailedCheck check) {
    observeClocks(now);
    lastFailure_ = now.stamp();
    if (!outage_) {
        outage_ = Outage{{Change::Kind::down, now.stamp(), check.timeText, 0s, 0, std::nullopt, "",
                          std::nullopt},
                         now.awake,
                         now.awake,
                         false};
    }
    ++outage_->down.checks;
    outage_->lastFailure = now.awake;
    waiting_.push_back(std::move(check));
    diagnoseWaiting();
}

// One diagnosis at a time: checks that fail while one runs share the next.
void Watcher::diagnoseWaiting() {
    if (busy_ || waiting_.empty() || stopped_) {
        return;
    }
    diagnosing_ = std::exchange(waiting_, {});
    busy_ = true;
    world_.diagnose();
}

void Watcher::diagnosed(const Readings& now, const Diagnosis& diagnosis) {
    observeClocks(now);
    busy_ = false;
    const Observations& seen = diagnosis.seen;
    const Verdict verdict = verdictOf(seen);
    const std::string took = tenths(diagnosis.took);
    const std::string local =
        seen.gatewaysKnown ? summary(seen.gateways) : "routes: " + seen.routesProblem;
    const std::string names = nameSummary(seen);
    const std::string beyond = summary(seen.beyond);
    const std::string site = summary(seen.site);
    const std::string paths = summary(seen.paths);
    const std::string stop = stoppedAfter(verdict, seen);
    const std::string loss = lossSeen(seen);
    bool firstOfOutage = false;
    for (const FailedCheck& check : diagnosing_) {
        // The path always last: a line cut short anywhere lacks it, or holds it unclosed.
        std::vector<core::record::Field> fields{{"check", check.timeText},
                                                {"verdict", core::wordOf(verdict)}};
        if (!stop.empty()) {
            fields.emplace_back("stopped-after", stop);
        }
        if (!loss.empty()) {
            fields.emplace_back("loss", loss);
        }
        fields.insert(fields.end(), {{"took", took},
                                     {"local", local},
                                     {"dns", names},
                                     {"beyond", beyond},
                                     {"site", site},
                                     {"path", paths}});
        write(now, event::diagnosis, fields);
        firstOfOutage = firstOfOutage || (outage_ && check.timeText == outage_->down.firstCheck);
    }
    diagnosing_.clear();
    if (firstOfOutage && !outage_->announced) {
        outage_->down.evidence = evidence(verdict, seen);
        announceDown(verdict);
    }
    diagnoseWaiting();
}

void Watcher::announceDown(std::optional<Verdict> cause) {
    outage_->down.cause = cause;
    outage_->announced = true;
    world_.announce(outage_->down);
}

void Watcher::logProblem(const Readings& now, const std::string& problem) {
    observeClocks(now);
    if (problem.empty() == logProblem_.empty()) {
        logProblem_ = problem; // the same spell, whatever its reason now
        return;
    }
    if (problem.empty()) {
        write(now, event::logWritable);
    } else {
        write(now, event::logUnwritable, {{"reason", problem}});
    }
    logProblem_ = problem;
}

void Watcher::stop(const Readings& now, const std::string& reason) {
    observeClocks(now);
    if (!stopped_ && quality_) {
        const auto at = time_point_cast<milliseconds>(now.wall);
        windowClosed(now, quality_->cut(at, at));
    }
    if (!stopped_) {
        write(now, event::stopped, {{"reason", reason}});
        stopped_ = true;
    }
}

void Watcher::note(const Readings& now, std::string_view event,
                   const std::vector<core::record::Field>& fields) {
    observeClocks(now);
    write(now, event, fields);
}

void Watcher::told(const Readings& now, const Change& change, const std::string& text,
                   const std::string& outcome) {
    const std::string since = core::record::stampText(change.since);
    std::vector<core::record::Field> fields{{"change", Change::wordOf(change.kind)},
                                            {"since", since}};
    if (change.kind == Change::Kind::down || change.kind == Change::Kind::up) {
        fields.emplace_back("first-check", change.firstCheck);
    }
    if (change.cause) {
        fields.emplace_back("cause", core::wordOf(*change.cause));
    }
    fields.insert(fields.end(), {{"text", text}, {"shown", outcome}});
    note(now, event::message, fields);
}

void Watcher::recordProblem(const std::string& problem) {
    recordProblem_ = problem;
}

std::optional<RecentQuality> Watcher::recentQuality(const Readings& now) const {
    const auto loss =
        quality_ ? quality_->lastLoss(time_point_cast<milliseconds>(now.wall)) : std::nullopt;
    return loss ? std::optional(RecentQuality{loss->first, loss->second}) : std::nullopt;
}

State Watcher::state() const {
    const auto last = quality_ ? quality_->last() : std::nullopt;
    const auto degraded = quality_ ? quality_->degraded() : std::nullopt;
    // What keeps the evidence from being kept comes first: an outage then goes unrecorded.
    if (!logProblem_.empty() || !recordProblem_.empty()) {
        return {State::Kind::logUnwritable,
                lastFailure_,
                std::nullopt,
                logProblem_.empty() ? "the record " + std::string(core::record::fileName) +
                                          " cannot be written: " + recordProblem_
                                    : "the log cannot be written: " + logProblem_,
                last,
                degraded};
    }
    if (outage_) {
        return {State::Kind::offline, lastFailure_, outage_->down, "", last, degraded};
    }
    return {State::Kind::online, lastFailure_, std::nullopt, "", last, degraded};
}

} // namespace watch
