// The record's end read back: the lines a restarted watch carries on from, and the folder's status.
#include "status.h"

#include <algorithm>
#include <cstdio>

#include "desktop.h"
#include "monitor.h"
#include "system.h"
#include "time_text.h"
#include "verdict.h"

namespace watch {

namespace record = core::record;
namespace event = record::event;
using namespace std::chrono;

namespace {

// The record's end is read: a day of windows and the last outage fit in it.
constexpr long recentRead = 512L * 1024;

std::string when(const record::Stamp& stamp) {
    return core::dateTime(stamp.local()) + " " + core::offsetText(stamp.offset);
}

std::string causeWords(std::string_view cause) {
    const auto verdict = core::verdictNamed(cause);
    return verdict && *verdict != core::Verdict::unknown ? causeText(*verdict, "") : "not known";
}

} // namespace

std::vector<record::Line> recentLines(const std::filesystem::path& path, std::string& text) {
    std::vector<record::Line> lines;
    std::FILE* file = core::system::openForReading(path);
    if (file == nullptr) {
        return lines;
    }
    if (::fseeko(file, 0, SEEK_END) == 0) {
        const off_t size = ::ftello(file);
        const off_t from = std::max<off_t>(0, size - recentRead);
        if (size > 0 && ::fseeko(file, from, SEEK_SET) == 0) {
            text.resize(static_cast<std::size_t>(size - from));
            text.resize(std::fread(text.data(), 1, text.size(), file));
            // Read from the middle of a line: that line is not whole here.
            std::size_t start = from == 0 ? 0 : std::min(text.find('\n'), text.size() - 1) + 1;
            for (std::size_t end; (end = text.find('\n', start)) != std::string::npos;
                 start = end + 1) {
                const auto line =
                    record::parseLine(std::string_view(text).substr(start, end - start));
                if (line && record::isWhole(*line)) {
                    lines.push_back(*line);
                }
            }
        }
    }
    std::fclose(file);
    return lines;
}

Status statusOf(const std::filesystem::path& folder, sys_seconds now) {
    Status status;
    status.folder = folder;
    status.watcher = core::system::folderWatcher(folder);
    std::string text;
    record::ToldOutages told;
    for (const record::Line& line : recentLines(folder / record::fileName, text)) {
        status.lastLine = line.at;
        told.take(line);
        const std::string_view change = line.field("change");
        if (line.event == event::started) {
            status.watchingSince = line.at;
        } else if (line.event == event::message && change == "degraded") {
            status.degraded = line.field("text");
        } else if (line.event == event::message && change == "recovered") {
            status.degraded.clear();
        }
    }
    const auto down = told.goingOnAt(now);
    const auto ended = told.lastEndedAt(now);
    if (ended) {
        status.lastOutageFrom = ended->since;
        status.lastOutageBack = ended->back;
        status.lastOutageCause = ended->cause;
    }
    if (status.watcher && status.watchingSince) {
        status.connection = down ? Status::Connection::down : Status::Connection::up;
        if (down) {
            status.connectionSince = down->since;
            status.cause = down->cause;
            status.checks = down->checks;
        } else {
            // Back since the last outage's end, or no failed check since the watch began.
            status.connectionSince = ended && ended->back->utc > status.watchingSince->utc
                                         ? *ended->back
                                         : *status.watchingSince;
        }
    }
    return status;
}

std::vector<std::string> statusLines(const Status& status) {
    std::vector<std::string> lines;
    const std::string folder = core::system::displayName(status.folder);
    if (status.watcher) {
        std::string line = "Watching " + folder + ": connectivity-watch";
        if (*status.watcher != 0) {
            line.append(" (process ").append(std::to_string(*status.watcher)).append(")");
        }
        if (status.watchingSince) {
            line.append(" since ").append(when(*status.watchingSince));
        }
        lines.push_back(line + ".");
    } else {
        lines.push_back("Not watched: no connectivity-watch runs in " + folder +
                        (status.lastLine ? " (its record ends at " + when(*status.lastLine) + ")"
                                         : std::string()) +
                        ".");
    }
    switch (status.connection) {
    case Status::Connection::unknown:
        lines.emplace_back(status.watcher ? "Connection: not known yet."
                                          : "Connection: not known while nothing watches it.");
        break;
    case Status::Connection::down:
        lines.push_back("Connection: down since " + when(*status.connectionSince) + " (" +
                        core::count(status.checks, "failed check", "failed checks") +
                        "; cause: " + causeWords(status.cause) + ").");
        break;
    case Status::Connection::up:
        lines.push_back((status.lastOutageBack == status.connectionSince
                             ? "Connection: up, back since "
                             : "Connection: up, no failed check since ") +
                        when(*status.connectionSince) +
                        (status.degraded.empty() ? "." : "; degraded: " + status.degraded));
        break;
    }
    if (status.lastOutageFrom && status.lastOutageBack) {
        lines.push_back("Last outage: " + when(*status.lastOutageFrom) + " to " +
                        when(*status.lastOutageBack) +
                        ", cause: " + causeWords(status.lastOutageCause) + ".");
    } else {
        lines.emplace_back("Last outage: none in the record's recent lines.");
    }
    for (const auto& [label, name] :
         {std::pair{"Record: ", record::fileName}, std::pair{"Log: ", core::monitor::logName}}) {
        const auto path = status.folder / name;
        std::error_code error;
        lines.push_back(label + core::system::displayName(path) +
                        (std::filesystem::exists(path, error) ? "" : " (not there yet)"));
    }
    return lines;
}

} // namespace watch
