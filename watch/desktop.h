// Where the person sees the watcher: a message when the connection drops and returns, and on
// Windows the icon in the notification area. One interface; each system shows it its own way.
#pragma once

#include <string>

#include "watcher.h"

namespace watch {

class Desktop {
  public:
    virtual ~Desktop() = default;
    // Shows a message; returns what became of it, for the record: "shown", or why not.
    virtual std::string show(const Change& change, const std::string& title,
                             const std::string& text) = 0;
    // The state changed: the icon's picture and tooltip follow.
    virtual void stateChanged(const State& state) = 0;
};

// What a message about a change says, the same everywhere.
std::string changeTitle(const Change& change);
std::string changeText(const Change& change);
// The tooltip for a state, naming the program: "Connectivity monitor: online, last failed check
// 2 h ago", "Connectivity monitor: offline since 14:02 (your provider)".
std::string stateText(const State& state, const Stamp& now);

} // namespace watch
