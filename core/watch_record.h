// The watcher's record (connectivityWatch.txt): the form of its lines, written by
// connectivity-watch and read by the report. One line per event:
//   2026-12-08T14:02:11+01:00 started version=1.1.0 os=linux watcher=4321 monitor=4322
// a stamp in local time with its offset from UTC, an event word, then key=value fields, a value
// with blanks in double quotes.
#pragma once

#include <array>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "log_records.h"

namespace core::record {

inline constexpr std::string_view fileName = "connectivityWatch.txt";
// A still-watching line comes at least this often; one that comes later than this plus the
// margin vouches for nothing before it (the watcher was stopped short, or the machine froze).
inline constexpr std::chrono::seconds heartbeat{300};
inline constexpr std::chrono::seconds heartbeatMargin{60};

// The event words.
namespace event {
inline constexpr std::string_view started = "started";   // version, os, watcher, monitor
inline constexpr std::string_view watching = "watching"; // still watching
inline constexpr std::string_view asleep = "asleep";     // from: the machine slept until now
inline constexpr std::string_view clockChanged = "clock-changed";     // by, from: the old reading
inline constexpr std::string_view monitorEnded = "monitor-ended";     // how
inline constexpr std::string_view monitorStarted = "monitor-started"; // monitor, or reason
inline constexpr std::string_view logUnwritable = "log-unwritable";   // reason
inline constexpr std::string_view logWritable = "log-writable";
inline constexpr std::string_view diagnosis = "diagnosis"; // check, verdict, took, stages
inline constexpr std::string_view message = "message";     // change, text, shown
inline constexpr std::string_view command = "command";     // change, result
inline constexpr std::string_view stopped = "stopped";     // reason
inline constexpr std::string_view sampling = "sampling"; // every, window, how each family is asked
inline constexpr std::string_view quality = "quality";   // a window's round trips and loss
inline constexpr std::array all{
    started,     watching,  asleep,  clockChanged, monitorEnded, monitorStarted, logUnwritable,
    logWritable, diagnosis, message, command,      stopped,      sampling,       quality};
} // namespace event

// What the watcher writes after a line it could write only part of (a full disk), or one a crash
// cut short, before its own line end: such a line reads as cut, wherever the cut fell.
inline constexpr char cutMark = '\x18'; // ASCII CAN, "cancel"

// A moment as the record writes it: UTC, and the local clock's offset from it at that moment, so
// a repeated daylight-saving hour is never ambiguous.
struct Stamp {
    std::chrono::sys_seconds utc{};
    std::chrono::seconds offset{0};
    LocalTime local() const { return LocalTime{(utc + offset).time_since_epoch()}; }
    bool operator==(const Stamp&) const = default;
};

std::string stampText(const Stamp& stamp); // 2026-12-08T14:02:11+01:00
std::optional<Stamp> parseStamp(std::string_view text);

using Field = std::pair<std::string_view, std::string_view>;

// One whole line, its line end included. Values lose control characters and double quotes, which
// the form has no room for.
std::string formatLine(const Stamp& at, std::string_view event,
                       const std::vector<Field>& fields = {});

// A line read back: views into the text it was read from.
struct Line {
    Stamp at;
    std::string_view event;
    std::string_view fields; // what follows the event word
    // The value of a field, unquoted; nothing where the line has none.
    std::optional<std::string_view> find(std::string_view key) const;
    // Each field in the line's order, its value unquoted, until take says no more: one pass for
    // a reader of many fields. Inline: every read of a record line goes through it.
    template <typename Take> void forEach(Take take) const {
        for (auto at = fieldAt(0); at && take(at->name, at->value); at = fieldAt(at->next)) {
        }
    }
    // The same, empty where the line has none.
    std::string_view field(std::string_view key) const { return find(key).value_or(""); }

  private:
    struct FieldAt {
        std::string_view name;
        std::string_view value;
        std::size_t next; // where the field after it begins
    };
    // The field that begins at an offset of the fields; nothing past the last.
    std::optional<FieldAt> fieldAt(std::size_t at) const;
};

// Nothing for a line not in this form (key=value fields, a value with blanks in closed quotes) or
// marked as cut: a torn line, or one a person typed.
std::optional<Line> parseLine(std::string_view text);

// Whether a line in the form holds what its event always holds, each field the readers rely on in
// its shape: a line cut short at a field's end, or in such a value, is not whole. Events this
// version does not know are not whole either.
bool isWhole(const Line& line);

// A line as a crash may leave it: the next whole line run on after a torn fragment, found by its
// stamp and event word (runOn set), or else the line itself, as parseLine reads it.
std::optional<Line> parseLineAfterFragment(std::string_view text, bool& runOn);

// An outage as the watcher told of it: from its "message change=down" (with since) to its
// "change=up".
struct ToldOutage {
    Stamp since;            // the watcher's own first sight of it
    std::string firstCheck; // the log's time of its first failed check, as the log has it
    std::string cause;      // the verdict's word; may be empty
    long checks = 1;        // its failed checks diagnosed so far, the first included
    Stamp lastWord;         // when its latest check was diagnosed, or since
    std::optional<Stamp> back;
};

// While an outage goes on each failed check is diagnosed in turn: one with no word of it for
// longer than this has ended, whether or not a watcher was there to say so.
inline constexpr std::chrono::seconds outageUnseenAfter{300};

// The outages told of, taken from the record's whole lines in order.
class ToldOutages {
  public:
    void take(const Line& line);
    // The outage still going on at a moment: told of, not said to be back, and heard of within
    // outageUnseenAfter before it.
    std::optional<ToldOutage> goingOnAt(std::chrono::sys_seconds moment) const;
    // The last one that ended, its end the word that it was back, or its last word where it
    // ended unseen before the moment.
    std::optional<ToldOutage> lastEndedAt(std::chrono::sys_seconds moment) const;

  private:
    std::optional<ToldOutage> open_;
    std::optional<ToldOutage> ended_;
};

} // namespace core::record
