// Where the person sees the watcher: a message when the connection drops and returns, and on
// Windows the icon in the notification area. One interface; each system shows it its own way.
#pragma once

#include <functional>
#include <string>

#include "watcher.h"

namespace watch {

// Each call returns at once: a desktop that is slow, busy with an open menu or gone never holds
// up the watching.
class Desktop {
  public:
    virtual ~Desktop() = default;
    // What became of a message, for the record: "shown", or why not. Called once, from any thread.
    using Told = std::function<void(std::string outcome)>;
    // Shows a message; what became of it comes back through told.
    virtual void show(const Change& change, const std::string& title, const std::string& text,
                      Told told) = 0;
    // The state changed: the icon's picture and tooltip follow.
    virtual void stateChanged(const State& state, const std::string& tooltip) = 0;
};

// What a message about a change says, the same everywhere.
std::string changeTitle(const Change& change);
std::string changeText(const Change& change);
// The tooltip for a state, naming the program: "Connectivity monitor: online, last failed check
// 2 h ago", "Connectivity monitor: offline since 14:02 (your provider)".
std::string stateText(const State& state, const Stamp& now);
// The verdict in words a person can act on, and what it rests on (may be empty).
std::string causeText(core::Verdict cause, const std::string& evidence);

} // namespace watch
