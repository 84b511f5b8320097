// The watcher's logic wired to the record, the monitor, the log, the diagnosis and the desktop.
#include "session.h"

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
    return settings;
}
} // namespace

Session::Session(Options options, Desktop& desktop, std::function<void()> wake)
    : options_(std::move(options)), recordPath_(options_.folder / core::record::fileName),
      desktop_(desktop), wake_(std::move(wake)), watcher_(*this, settingsOf(options_)),
      follower_(options_.folder / core::monitor::logName), monitor_(os::Child::make()) {}

Session::~Session() {
    monitor_->stop();
}

void Session::begin(std::string_view version) {
    record_ = os::Record::open(recordPath_, recordProblem_);
    watcher_.recordProblem(recordProblem_);
    watcher_.start(os::readClocks(), version, os::osName(), os::processId());
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
            pending_.reset();
            watcher_.diagnosed(now, *result);
        }
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
        desktop_.stateChanged(state);
    }
}

void Session::end(const std::string& reason) {
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
    record_ = os::Record::open(recordPath_, recordProblem_);
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
    return monitor_->start(os::programFolder() / core::monitor::programName, options_.folder, why);
}

void Session::diagnose() {
    pending_ = std::make_shared<Pending>();
    // Detached: a session stopped mid-diagnosis does not wait for it; the thread keeps only what
    // it shares with the session, and its stages end by their deadline.
    os::runDetached([pending = pending_, wake = wake_] {
        const auto started = steady_clock::now();
        Observations seen = observe(started + diagnosisBudget);
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
    const std::string kind = change.kind == Change::Kind::down ? "down" : "up";
    const std::string title = changeTitle(change);
    const std::string text = changeText(change);
    if (!options_.quiet) {
        const std::string shown = desktop_.show(change, title, text);
        watcher_.note(now, event::message, {{"change", kind}, {"text", text}, {"shown", shown}});
    }
    if (options_.onChange.empty()) {
        return;
    }
    if (commands_.size() >= mostCommandsAtOnce) {
        watcher_.note(now, event::command,
                      {{"change", kind}, {"result", "not started: four commands still run"}});
        return;
    }
    const std::map<std::string, std::string> environment{
        {"CONNECTIVITY_EVENT", kind},
        {"CONNECTIVITY_SINCE", core::record::stampText(change.since)},
        {"CONNECTIVITY_FIRST_CHECK", change.firstCheck},
        {"CONNECTIVITY_SPAN_SECONDS", std::to_string(change.span.count())},
        {"CONNECTIVITY_CHECKS", std::to_string(change.checks)},
        {"CONNECTIVITY_CAUSE", change.cause ? std::string(core::wordOf(*change.cause)) : ""},
        {"CONNECTIVITY_TEXT", text}};
    std::string why;
    if (auto command = os::Command::start(options_.onChange, environment, why)) {
        commands_.push_back({kind, std::move(command), steady_clock::now()});
    } else {
        watcher_.note(now, event::command, {{"change", kind}, {"result", "not started: " + why}});
    }
}

seconds Session::offsetAt(sys_seconds moment) {
    return os::offsetAt(moment);
}

} // namespace watch
