// The watcher's own logic, apart from the system: what it records and does as time passes, as the
// monitor ends, as the log gains a failed check or cannot be written, and as a diagnosis returns.
#pragma once

#include <array>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "diagnosis.h"
#include "log_records.h"
#include "quality_watch.h"
#include "watch_record.h"

namespace watch {

using core::record::Stamp;

// The three clocks, read together.
struct Readings {
    std::chrono::sys_time<std::chrono::milliseconds> wall{};
    std::chrono::seconds offset{0};         // of local time from UTC, at wall
    std::chrono::milliseconds awake{0};     // stands still while the machine sleeps
    std::chrono::milliseconds sinceBoot{0}; // runs on through sleep
    Stamp stamp() const { return {std::chrono::floor<std::chrono::seconds>(wall), offset}; }
};

// A failed check as the log has it.
struct FailedCheck {
    std::string timeText; // exactly as written, to be joined with the log again
    std::optional<core::LocalTime> time;
};

struct Diagnosis {
    Observations seen;
    std::chrono::milliseconds took{0};
};

// A change the person is told of: the connection is down, or back; degraded, or back to normal.
struct Change {
    enum class Kind { down, up, degraded, recovered } kind;
    static std::string_view wordOf(Kind kind) {
        constexpr std::array<std::string_view, 4> words{"down", "up", "degraded", "recovered"};
        return words[static_cast<std::size_t>(kind)];
    }
    Stamp since;            // when the watcher saw the outage's first failed check
    std::string firstCheck; // its time text in the log
    // From the first failed check the watcher saw to the last, on its own clock that stands still
    // while the machine sleeps: never what a wrong date in the log would make it.
    std::chrono::seconds span{0};
    long checks = 0;
    std::optional<Verdict> cause; // the first check's verdict; none where it came too late
    // What the cause rests on, in words, where the stop of its path is too: "the router 10.0.0.1
    // answers, nothing beyond it does; the path stops after 100.64.0.1 (hop 2)"; may be empty.
    std::string evidence;
    std::optional<Degradation> quality; // degraded, recovered: where, and the figure
};

// What the person should see at a glance.
struct State {
    enum class Kind { online, offline, logUnwritable } kind = Kind::online;
    std::optional<Stamp> lastFailure; // online: the latest failed check seen, if any
    std::optional<Change> outage;     // offline: the outage going on
    std::string problem; // logUnwritable: "the log cannot be written: the disk is full"
    std::optional<core::quality::Figures> quality; // the last window's, past the edge
    std::optional<Degradation> degraded;           // a stretch told of and going on
};

// What the watcher asks of the system; the program does it, the tests note it.
class World {
  public:
    virtual ~World() = default;
    virtual void append(const std::string& line) = 0; // one whole line, to the record
    // The monitor's process id, or nothing and why not.
    virtual std::optional<long> startMonitor(std::string& why) = 0;
    // Starts a diagnosis; its result comes back through Watcher::diagnosed. One at a time.
    virtual void diagnose() = 0;
    virtual void announce(const Change& change) = 0;
    virtual std::chrono::seconds offsetAt(std::chrono::sys_seconds moment) = 0;
};

struct Settings {
    std::chrono::seconds heartbeat = core::record::heartbeat;
    // Quality windows of this length, where sampling is on; how often it probes, for the record.
    std::optional<std::chrono::seconds> window;
    std::chrono::milliseconds sampleEvery{10'000};
    Thresholds thresholds;
    std::chrono::seconds restartDelay{10};
    std::chrono::seconds gap{90};       // the report's: no failed check for longer ends an outage
    std::chrono::seconds causeWait{12}; // a down message waits this long for its cause
    // Differences between the clocks below this are the clocks' own drift, not an event.
    std::chrono::milliseconds clockTolerance{2000};
};

// What a watch says it is, in the line it begins with.
struct Identity {
    std::string version;
    std::string os;      // "linux", "windows"
    long process = 0;    // the watcher's own
    std::string machine; // the computer's name; may be empty
};

class Watcher {
  public:
    explicit Watcher(World& world, const Settings& settings = {});

    // recent: the record's last whole lines, in its order, as the last watcher left them: an
    // outage it told of and saw going on within the gap is the same outage, told of already.
    void start(const Readings& now, const Identity& identity,
               const std::vector<core::record::Line>& recent = {});
    // Called often (four times a second): notices sleep and clock changes, keeps the
    // still-watching lines coming, restarts the monitor, and says when the connection is back.
    void tick(const Readings& now);
    void monitorEnded(const Readings& now, const std::string& how);
    void failedCheck(const Readings& now, FailedCheck check);
    void diagnosed(const Readings& now, const Diagnosis& diagnosis);
    void logProblem(const Readings& now, const std::string& problem); // empty: writable again
    // The record cannot be written (it cannot be said there): shown, as the log's spells are.
    void recordProblem(const std::string& problem); // empty: writable again
    // The record was moved or deleted, and a new one begun: it starts as a record does.
    void restate(const Readings& now);
    void stop(const Readings& now, const std::string& reason);
    // A line of the program's own: a command run.
    void note(const Readings& now, std::string_view event,
              const std::vector<core::record::Field>& fields);
    // What the sampler found: probes and the name's lookups, and how it asks where that changed.
    void sampled(const Readings& now, const std::vector<Sample>& samples,
                 const std::vector<NameLookup>& lookups,
                 const std::optional<std::array<std::string, 2>>& ways);
    // What became of a message about a change: the record's line for it, which a watcher started
    // later reads to carry an outage on.
    void told(const Readings& now, const Change& change, const std::string& text,
              const std::string& outcome);

    State state() const;
    // The sampler's last window, for a diagnosis to weigh loss by; nothing where there is none.
    std::optional<RecentQuality> recentQuality(const Readings& now) const;

  private:
    void write(const Readings& now, std::string_view event,
               const std::vector<core::record::Field>& fields = {});
    // The line a watch begins with; recordNote says why where the record was begun anew.
    void writeStarted(const Readings& now, const core::record::Field& monitor,
                      std::string_view recordNote = {});
    void observeClocks(const Readings& now);
    void startMonitor(const Readings& now);
    void diagnoseWaiting();
    void announceDown(std::optional<Verdict> cause);
    Stamp stampAt(std::chrono::sys_time<std::chrono::milliseconds> moment);
    void carryOn(const Readings& now, const std::vector<core::record::Line>& recent);
    void windowClosed(const Readings& now, std::optional<QualityWatch::Closed> closed);

    struct Outage {
        Change down;
        std::chrono::milliseconds firstSeen;   // awake time of its first failed check
        std::chrono::milliseconds lastFailure; // and of its latest
        bool announced = false;
    };

    World& world_;
    Settings settings_;
    Identity identity_;
    std::optional<long> monitor_;
    std::optional<Readings> previous_;
    std::chrono::milliseconds lastWritten_{0};
    std::optional<std::chrono::milliseconds> restartAt_;
    bool stopped_ = false;
    std::vector<FailedCheck> waiting_;
    std::vector<FailedCheck> diagnosing_;
    bool busy_ = false;
    std::string logProblem_;
    std::string recordProblem_;
    std::optional<Outage> outage_;
    std::optional<Stamp> lastFailure_;
    std::optional<QualityWatch> quality_;
};

} // namespace watch
