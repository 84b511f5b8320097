// The watcher's logic wired to the record, the monitor, the log, the diagnosis and the desktop.
#include "session.h"

#include <cmath>

#include "status.h"

namespace watch {

namespace event = core::record::event;
using namespace std::chrono;

namespace {
// The log's state is asked this often: a spell it cannot be written shows within this time.
constexpr seconds logCheckEvery{5};
// Lines kept for a record that cannot take them (a full disk): hours of still-watching lines.
constexpr std::size_t mostUnwritten = 10'000;
constexpr std::size_t mostCommandsAtOnce = 4;

Settings settingsOf(const Options& options) {
    Settings settings;
    settings.gap = options.gap;
    if (options.sample > std::chrono::milliseconds{0}) {
        settings.window = options.window;
        settings.sampleEvery = options.sample;
        settings.thresholds = options.thresholds;
    }
    return settings;
}

} // namespace

Session::Session(Options options, Desktop& desktop, std::function<void()> wake)
    : options_(std::move(options)), recordPath_(options_.folder / core::record::fileName),
      desktop_(desktop), wake_(std::move(wake)), watcher_(*this, settingsOf(options_)),
      follower_(options_.folder / core::monitor::logName), monitor_(os::Child::make()) {}

Session::~Session() {
    sampler_.reset();
    monitor_->stop();
}

void Session::begin(std::string_view version) {
    std::string text;
    const std::vector<core::record::Line> recent = recentLines(recordPath_, text);
    record_ = os::Record::open(recordPath_, recordProblem_, recordForGood_);
    watcher_.recordProblem(recordProblem_);
    watcher_.start(os::readClocks(),
                   {std::string(version), std::string(os::osName()), os::processId(),
                    core::system::machineName()},
                   recent);
    if (options_.sample > milliseconds{0}) {
        sampler_ = std::make_unique<Sampler>(options_.sample, options_.window);
    }
    nextLogCheck_ = steady_clock::now();
    service();
}

void Session::service() {
    const Readings now = os::readClocks();
    writeWaiting();
    watcher_.tick(now);
    if (const auto how = monitor_->ended()) {
        watcher_.monitorEnded(now, *how);
    }
    for (FailedCheck& check : follower_.newChecks()) {
        watcher_.failedCheck(now, std::move(check));
    }
    if (sampler_) {
        auto taken = sampler_->take();
        watcher_.sampled(now, taken.samples, taken.lookups, taken.ways);
    }
    if (steady_clock::now() >= nextLogCheck_) {
        nextLogCheck_ = steady_clock::now() + logCheckEvery;
        watcher_.logProblem(
            now, os::logProblem(options_.folder, options_.folder / core::monitor::logName));
        keepRecord(now);
    }
    if (pending_) {
        std::optional<Diagnosis> result;
        {
            const std::scoped_lock lock(pending_->mutex);
            result = std::move(pending_->result);
        }
        if (result) {
            if (!result->seen.siteAddresses.empty()) {
                siteAddresses_ = result->seen.siteAddresses;
                siteResolved_ = pending_->started;
            }
            pending_.reset();
            watcher_.diagnosed(now, *result);
        }
    }
    std::vector<std::tuple<Change, std::string, std::string>> told;
    {
        const std::scoped_lock lock(told_->mutex);
        told.swap(told_->messages);
    }
    for (const auto& [change, text, outcome] : told) {
        watcher_.told(now, change, text, outcome);
    }
    std::erase_if(commands_, [&](Running& running) {
        const auto how = running.command->ended(commandTimeLimit);
        if (how) {
            const auto took = duration_cast<milliseconds>(steady_clock::now() - running.started);
            watcher_.note(now, event::command,
                          {{"change", running.change},
                           {"result", *how},
                           {"took", std::to_string(took.count()) + "ms"}});
        }
        return how.has_value();
    });
    const State state = watcher_.state();
    if (const std::string text = stateText(state, now.stamp()); text != shownState_) {
        shownState_ = text;
        desktop_.stateChanged(state, text);
    }
}

void Session::end(const std::string& reason) {
    if (sampler_) { // what it found up to now, in the last window
        const auto taken = sampler_->take();
        sampler_.reset();
        watcher_.sampled(os::readClocks(), taken.samples, taken.lookups, taken.ways);
    }
    monitor_->stop();
    watcher_.stop(os::readClocks(), reason);
    writeWaiting();
}

// A record that could not be opened is tried again; one that was moved or deleted is begun anew
// where it was, as the record of a watch goes on.
void Session::keepRecord(const Readings& now) {
    const bool moved = record_ && !record_->stillThere();
    if (record_ && !moved) {
        return;
    }
    recordProblem_.clear(); // the last try's reason, gone once the record opens
    record_ = os::Record::open(recordPath_, recordProblem_, recordForGood_);
    watcher_.recordProblem(recordProblem_);
    if (record_ && moved) {
        watcher_.restate(now);
    }
}

void Session::writeWaiting() {
    while (record_ && !unwritten_.empty() && record_->append(unwritten_.front())) {
        unwritten_.pop_front();
    }
}

void Session::append(const std::string& line) {
    if (record_ && unwritten_.empty() && record_->append(line)) {
        return;
    }
    unwritten_.push_back(line);
    if (unwritten_.size() > mostUnwritten) {
        unwritten_.pop_front();
    }
}

std::optional<long> Session::startMonitor(std::string& why) {
    const auto started =
        monitor_->start(os::programFolder() / core::monitor::programName, options_.folder, why);
    if (!started && !monitorStarted_) {
        monitorProblem_ = why;
    }
    monitorStarted_ = monitorStarted_ || started.has_value();
    return started;
}

void Session::diagnose() {
    pending_ = std::make_shared<Pending>();
    const Readings now = os::readClocks();
    pending_->started = time_point_cast<milliseconds>(now.wall);
    if (sampler_) {
        const auto [addresses, when] = sampler_->siteAddresses();
        if (!addresses.empty() && when > siteResolved_) {
            siteAddresses_ = addresses;
            siteResolved_ = when;
        }
    }
    // The site's addresses of the last hour at most: a site may move.
    Known known{pending_->started - siteResolved_ <= hours{1} ? siteAddresses_
                                                              : std::vector<std::string>{},
                watcher_.recentQuality(now)};
    // Detached: a session stopped mid-diagnosis does not wait for it; the thread keeps only what
    // it shares with the session, and its stages end by their deadline.
    os::runDetached([pending = pending_, wake = wake_, known = std::move(known)] {
        const auto started = steady_clock::now();
        Observations seen = observe(started + diagnosisBudget, known, os::monitorCheckBound());
        Diagnosis diagnosis{std::move(seen),
                            duration_cast<milliseconds>(steady_clock::now() - started)};
        {
            const std::scoped_lock lock(pending->mutex);
            pending->result = std::move(diagnosis);
        }
        wake();
    });
}

void Session::announce(const Change& change) {
    const Readings now = os::readClocks();
    const std::string kind(Change::wordOf(change.kind));
    const std::string title = changeTitle(change);
    const std::string text = changeText(change);
    if (options_.quiet) {
        watcher_.told(now, change, text, "not shown: --quiet");
    } else {
        desktop_.show(change, title, text,
                      [told = told_, change, text, wake = wake_](std::string outcome) {
                          {
                              const std::scoped_lock lock(told->mutex);
                              told->messages.emplace_back(change, text, std::move(outcome));
                          }
                          wake();
                      });
    }
    if (options_.onChange.empty()) {
        return;
    }
    if (commands_.size() >= mostCommandsAtOnce) {
        watcher_.note(now, event::command,
                      {{"change", kind}, {"result", "not started: four commands still run"}});
        return;
    }
    std::map<std::string, std::string> environment{
        {"CONNECTIVITY_EVENT", kind},
        {"CONNECTIVITY_SINCE", core::record::stampText(change.since)},
        {"CONNECTIVITY_SPAN_SECONDS", std::to_string(change.span.count())},
        {"CONNECTIVITY_CAUSE", change.cause ? std::string(core::wordOf(*change.cause)) : ""},
        {"CONNECTIVITY_TEXT", text}};
    if (change.quality) { // degraded, recovered: the figures of the segment it lies in
        const auto whole = [](double value) { return std::to_string(std::llround(value)); };
        environment.insert({{"CONNECTIVITY_LOSS_PERCENT", whole(100 * change.quality->loss)},
                            {"CONNECTIVITY_ROUND_TRIP_MS", whole(change.quality->median)},
                            {"CONNECTIVITY_USUAL_ROUND_TRIP_MS", whole(change.quality->usual)}});
    } else {
        environment.insert({{"CONNECTIVITY_FIRST_CHECK", change.firstCheck},
                            {"CONNECTIVITY_CHECKS", std::to_string(change.checks)}});
    }
    std::string why;
    if (auto command = os::Command::start(options_.onChange, environment, why)) {
        commands_.push_back({kind, std::move(command), steady_clock::now()});
    } else {
        watcher_.note(now, event::command, {{"change", kind}, {"result", "not started: " + why}});
    }
}

seconds Session::offsetAt(sys_seconds moment) {
    return core::system::offsetAt(moment);
}

} // namespace watch
