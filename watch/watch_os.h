// What only the watcher asks of the operating system, one interface with a POSIX and a Windows
// build: its clocks, the folder's claim, its record, the monitor as its child, the log's state,
// the desktop, and a command of the person's own.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "desktop.h"
#include "system.h"
#include "watcher.h"

namespace watch {
class Session;
}

namespace watch::os {

namespace fs = std::filesystem;

// --- Clocks ---

Readings readClocks();

// --- The program ---

// The folder this program was started from, where connectivity-monitor is too.
fs::path programFolder();
// The most the monitor's own check takes here: its name's answer is waited for that long.
std::chrono::seconds monitorCheckBound();
long processId();
std::string_view osName(); // "linux", "windows"

// --- The folder's claim ---

// At most one watcher per folder: a claim held on the folder's identity, which moving, renaming
// or deleting the files in it cannot take away. It goes with the process, however that ends.
class Claim {
  public:
    // Nothing where another watcher holds the folder (holder: its process id, 0 where that
    // cannot be told) or the folder cannot be claimed (why says why).
    static std::unique_ptr<Claim> make(const fs::path& folder, std::optional<long>& holder,
                                       std::string& why);
    virtual ~Claim() = default;
};

// Asks the folder's watcher to stop, and waits until its process has ended.
struct StopOutcome {
    bool wasWatching = false;
    std::string problem; // empty once it has ended
};
StopOutcome stopWatcher(const fs::path& folder, std::chrono::seconds wait);

// --- The record ---

// The record file, open for appending.
class Record {
  public:
    // Nothing where it cannot be opened; why says why, and forGood whether it never will be
    // without the person's help (no right to write there, a read-only disk), unlike a full disk.
    static std::unique_ptr<Record> open(const fs::path& path, std::string& why, bool& forGood);
    ~Record();
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;
    // One whole line in one write: a reader never sees half of it, and a line after one the disk
    // took only part of, or after a last line a crash cut short, starts on a line of its own.
    // False where the line could not be written whole (a full disk, say).
    bool append(const std::string& line);
    // Whether the record's name still leads to the file open here: false once it was moved,
    // deleted or replaced.
    bool stillThere() const;

  private:
    Record(core::system::NativeFile file, fs::path path, bool endsMidLine)
        : file_(file), path_(std::move(path)), torn_(endsMidLine) {}
    // The system's line end: Windows' own where the monitor's log has them too.
    static const std::string_view lineEnd;
    // What one write at the end put down, or -1 where it was refused outright.
    long writeAtEnd(std::string_view text);
    core::system::NativeFile file_;
    fs::path path_;
    bool torn_;
};

// --- The monitor ---

// The monitor as the watcher's child: started in the folder, its input at the end at once and its
// output discarded, never outliving the watcher.
class Child {
  public:
    static std::unique_ptr<Child> make();
    virtual ~Child() = default;
    virtual std::optional<long> start(const fs::path& program, const fs::path& folder,
                                      std::string& why) = 0;
    // How the child ended, once, after it has; nothing while it runs.
    virtual std::optional<std::string> ended() = 0;
    virtual void stop() = 0;
};

// Why the log cannot be written in the folder now: a read-only folder, a log that is a folder,
// a full disk. Empty where it can.
std::string logProblem(const fs::path& folder, const fs::path& log);

// --- Threads ---

// Runs work on a thread of its own that nobody waits for: the system's own, not a pool's whose
// records a thread ending may still touch as the next one starts.
void runDetached(std::function<void()> work);

// --- Saying things ---

// A line for the person who started the program: on its standard output or error, or where a
// Windows program started from a console has none, on that console.
void tell(const std::string& text, bool problem);

// --- The loop ---

// The program's own loop: a poll on Linux, where signals stop it; a message loop on Windows, with
// the icon in the notification area and a named event that --stop sets.
// Between its services at most this long: a failed check in the log is seen within it.
inline constexpr std::chrono::milliseconds servicePeriod{250};
class Loop {
  public:
    static std::unique_ptr<Loop> make(const fs::path& folder, std::string_view version);
    virtual ~Loop() = default;
    virtual Desktop& desktop() = 0;
    // Called from any thread: the loop services the session at once.
    virtual std::function<void()> waker() = 0;
    // Services the session on every wake and at least every service period, until asked to stop;
    // returns why (a signal, --stop, signing out...).
    virtual std::string run(Session& session) = 0;
};

// --- The person's own command ---

// A command run on its own, never through a shell string made from data: the person's command
// line as it was given, the event in its environment. Bounded in time.
class Command {
  public:
    static std::unique_ptr<Command> start(const std::string& commandLine,
                                          const std::map<std::string, std::string>& environment,
                                          std::string& why);
    // Ends it by force, with whatever it started.
    virtual ~Command() = default;
    // How it ended, once it has; ended by force once its time is up. Whatever it started in the
    // background ends with it either way.
    virtual std::optional<std::string> ended(std::chrono::milliseconds timeLimit) = 0;
};

} // namespace watch::os
