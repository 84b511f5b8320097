// What the watcher asks of the operating system, one interface with a POSIX and a Windows build:
// its clocks, its record locked to one watcher per folder, the monitor as its child, the log's
// state, the desktop, and a command of the person's own.
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
#include "watcher.h"

namespace watch {
class Session;
}

namespace watch::os {

namespace fs = std::filesystem;

// --- Clocks ---

Readings readClocks();
// The local clock's offset from UTC at a moment, as the C library's zone rules give it.
std::chrono::seconds offsetAt(std::chrono::sys_seconds moment);

// --- The program ---

// The folder this program was started from, where connectivity-monitor is too.
fs::path programFolder();
long processId();
std::string_view osName(); // "linux", "windows"

// --- The record ---

// The record file, open for appending and locked for as long as it is held: at most one watcher
// per folder. The lock goes with the process, however it ends.
class Record {
  public:
    // Nothing where it cannot be opened (why says so) or another watcher holds it (held says so).
    static std::unique_ptr<Record> open(const fs::path& path, std::string& why, bool& held);
    virtual ~Record() = default;
    // One whole line in one write: a reader never sees half of it. False where it could not be
    // written (a full disk, say); nothing of it is written then.
    virtual bool append(const std::string& line) = 0;
};

// Asks the watcher holding the record to stop, and waits for it to end.
struct StopOutcome {
    bool wasWatching = false;
    std::string problem; // empty once it has ended
};
StopOutcome stopWatcher(const fs::path& record, std::chrono::seconds wait);

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
class Loop {
  public:
    static std::unique_ptr<Loop> make(const fs::path& folder, const fs::path& record);
    virtual ~Loop() = default;
    virtual Desktop& desktop() = 0;
    // Called from any thread: the loop services the session at once.
    virtual std::function<void()> waker() = 0;
    // Services the session on every wake and at least twice a second, until asked to stop;
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
    virtual ~Command() = default;
    // How it ended, once it has; ended by force once its time is up.
    virtual std::optional<std::string> ended(std::chrono::milliseconds timeLimit) = 0;
};

} // namespace watch::os
