// What the record's last lines say: the state a restarted watch carries on from, and the answer to
// "is it watching, and is the connection up now?" for --status and the icon's menu.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "watch_record.h"

namespace watch {

// The whole lines at the record's end, in its order; text holds what they are read from.
std::vector<core::record::Line> recentLines(const std::filesystem::path& record, std::string& text);

struct Status {
    std::filesystem::path folder;
    std::optional<long> watcher; // the process holding the folder; 0 where its number is unknown
    std::optional<core::record::Stamp> watchingSince; // its start, as the record says
    std::optional<core::record::Stamp> lastLine;      // the record's latest
    enum class Connection { unknown, up, down } connection = Connection::unknown;
    std::optional<core::record::Stamp> connectionSince;
    std::string cause;    // of the outage going on: a verdict's word; may be empty
    long checks = 0;      // its failed checks so far
    std::string degraded; // the quality as last told, where it is worse than usual
    // The last outage that ended, as the watcher told it.
    std::optional<core::record::Stamp> lastOutageFrom;
    std::optional<core::record::Stamp> lastOutageBack;
    std::string lastOutageCause;
};

// Reads the folder's claim and its record's end. now: the wall clock, for an outage that has gone
// unseen for longer than the watcher waits before it says the connection is back.
Status statusOf(const std::filesystem::path& folder, std::chrono::sys_seconds now);
// Lines for a person: whether it watches, the connection, the last outage, the files.
std::vector<std::string> statusLines(const Status& status);

} // namespace watch
