// One watch over one log folder: the watcher's logic wired to the system, serviced by the
// program's own loop (a poll on Linux, a message loop on Windows).
#pragma once

#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "desktop.h"
#include "log_follower.h"
#include "sampler.h"
#include "watch_os.h"
#include "watcher.h"

namespace watch {

struct Options {
    std::filesystem::path folder; // the log's, where the watcher runs
    bool quiet = false;           // no messages on the desktop
    std::string onChange;         // the person's command for each change; empty: none
    std::chrono::seconds gap{90}; // the report's: no failed check for longer, and it is back
    std::chrono::milliseconds sample{10'000}; // how often quality is sampled; 0: never
    std::chrono::seconds window{300};         // the quality windows' length
    Thresholds thresholds;                    // when a window is degraded
};

// The person's command may take this long before it is ended.
inline constexpr std::chrono::seconds commandTimeLimit{60};

class Session final : public World {
  public:
    // wake is called from other threads when a diagnosis is done: the loop services at once.
    Session(Options options, Desktop& desktop, std::function<void()> wake);
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session() override;

    // Opens the record and starts the monitor. A record that cannot be opened is tried again
    // every few seconds, its lines kept until then; the state shows why meanwhile.
    void begin(std::string_view version);
    // Why the record cannot be written now; empty where it can.
    const std::string& recordProblem() const { return recordProblem_; }
    // Whether it never will be without the person's help: a folder with no right to write.
    bool recordNeverWritable() const { return recordForGood_ && !recordProblem_.empty(); }
    // Why the monitor could not be started the first time; empty once it was.
    const std::string& monitorProblem() const { return monitorProblem_; }
    // Everything due now; the loop calls it on every wake and at least every service period.
    void service();
    void end(const std::string& reason);

    void append(const std::string& line) override;
    std::optional<long> startMonitor(std::string& why) override;
    void diagnose() override;
    void announce(const Change& change) override;
    std::chrono::seconds offsetAt(std::chrono::sys_seconds moment) override;

  private:
    // A diagnosis's result, shared with its thread, which may outlive a session that stops.
    struct Pending {
        std::mutex mutex;
        std::optional<Diagnosis> result;
        Milliseconds started{};
    };
    // What became of each message, as the desktop tells it from its own thread.
    struct Told {
        std::mutex mutex;
        std::vector<std::tuple<Change, std::string, std::string>> messages; // change, text, outcome
    };
    struct Running {
        std::string change;
        std::unique_ptr<os::Command> command;
        std::chrono::steady_clock::time_point started;
    };

    void keepRecord(const Readings& now);
    void writeWaiting();

    Options options_;
    std::filesystem::path recordPath_;
    std::unique_ptr<os::Record> record_; // none while it cannot be opened
    std::string recordProblem_;
    bool recordForGood_ = false;
    std::string monitorProblem_;
    bool monitorStarted_ = false;
    Desktop& desktop_;
    std::function<void()> wake_;
    Watcher watcher_;
    LogFollower follower_;
    std::unique_ptr<os::Child> monitor_;
    std::deque<std::string> unwritten_; // lines the record could not take yet, in order
    std::shared_ptr<Pending> pending_;
    std::shared_ptr<Told> told_ = std::make_shared<Told>();
    std::chrono::steady_clock::time_point nextLogCheck_{};
    std::vector<Running> commands_;
    std::string shownState_;
    std::unique_ptr<Sampler> sampler_; // none where sampling is off
    // The site's addresses as last resolved, by a diagnosis or the sampler, and when.
    std::vector<std::string> siteAddresses_;
    Milliseconds siteResolved_{};
};

} // namespace watch
