// Writing and reading the watcher's record lines: stamps with their UTC offset, and fields.
#include "watch_record.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "quality.h"
#include "time_text.h"
#include "verdict.h"

namespace core::record {
namespace {

using namespace std::chrono;

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// A number of exactly text.size() digits.
std::optional<int> digits(std::string_view text) {
    int value = 0;
    for (const char c : text) {
        if (!isDigit(c)) {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    return value;
}

bool needsQuotes(std::string_view value) {
    return value.empty() || value.find_first_of(" \t\"=") != std::string_view::npos;
}

} // namespace

std::string stampText(const Stamp& stamp) {
    const LocalTime local = stamp.local();
    const auto day = floor<days>(local);
    const year_month_day date{day};
    const hh_mm_ss clock{local - day};
    std::array<char, 64> text{};
    std::snprintf(text.data(), text.size(), "%04d-%02u-%02uT%02d:%02d:%02d",
                  static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<int>(clock.hours().count()),
                  static_cast<int>(clock.minutes().count()),
                  static_cast<int>(clock.seconds().count()));
    return text.data() + core::offsetText(stamp.offset);
}

std::optional<Stamp> parseStamp(std::string_view text) {
    // 2026-12-08T14:02:11+01:00
    if (text.size() != 25 || text[4] != '-' || text[7] != '-' || text[10] != 'T' ||
        text[13] != ':' || text[16] != ':' || (text[19] != '+' && text[19] != '-') ||
        text[22] != ':') {
        return std::nullopt;
    }
    const auto y = digits(text.substr(0, 4));
    const auto mo = digits(text.substr(5, 2));
    const auto d = digits(text.substr(8, 2));
    const auto h = digits(text.substr(11, 2));
    const auto mi = digits(text.substr(14, 2));
    const auto s = digits(text.substr(17, 2));
    const auto oh = digits(text.substr(20, 2));
    const auto om = digits(text.substr(23, 2));
    if (!y || !mo || !d || !h || !mi || !s || !oh || !om || *h > 23 || *mi > 59 || *s > 60 ||
        *oh > 23 || *om > 59) {
        return std::nullopt;
    }
    const year_month_day date{year{*y}, month{static_cast<unsigned>(*mo)},
                              day{static_cast<unsigned>(*d)}};
    if (!date.ok()) {
        return std::nullopt;
    }
    const seconds offset = (text[19] == '-' ? -1 : 1) * (hours{*oh} + minutes{*om});
    const seconds local =
        sys_days{date}.time_since_epoch() + hours{*h} + minutes{*mi} + seconds{*s};
    return Stamp{sys_seconds{local - offset}, offset};
}

std::string formatLine(const Stamp& at, std::string_view event, const std::vector<Field>& fields) {
    std::string line = stampText(at);
    line.append(" ").append(event);
    for (const auto& [key, value] : fields) {
        line.append(" ").append(key).append("=");
        const bool quoted = needsQuotes(value);
        if (quoted) {
            line += '"';
        }
        for (const char c : value) {
            const auto byte = static_cast<unsigned char>(c);
            line += c == '"' ? '\'' : byte < 0x20 || byte == 0x7f ? ' ' : c;
        }
        if (quoted) {
            line += '"';
        }
    }
    return line + "\n";
}

namespace {

bool isKeyCharacter(char c) {
    return (c >= 'a' && c <= 'z') || isDigit(c) || c == '-';
}

// key=value pairs one blank apart, a value with blanks in quotes that close: a line cut inside a
// quoted value, or at a blank, is not in the form.
bool wellFormed(std::string_view fields) {
    for (std::size_t at = 0; at < fields.size();) {
        const std::size_t equals = fields.find('=', at);
        if (equals == at || equals == std::string_view::npos ||
            !std::all_of(fields.begin() + static_cast<std::ptrdiff_t>(at),
                         fields.begin() + static_cast<std::ptrdiff_t>(equals), isKeyCharacter)) {
            return false;
        }
        std::size_t end = equals + 1;
        if (end < fields.size() && fields[end] == '"') {
            end = fields.find('"', end + 1);
            if (end == std::string_view::npos) {
                return false;
            }
            ++end;
        } else {
            end = std::min(fields.find(' ', end), fields.size());
            if (fields.substr(equals + 1, end - equals - 1).find('"') != std::string_view::npos) {
                return false;
            }
        }
        if (end == fields.size()) {
            return true;
        }
        if (fields[end] != ' ' || end + 1 == fields.size()) {
            return false;
        }
        at = end + 1;
    }
    return true;
}

bool isSeconds(std::string_view text, bool signedAmount) {
    if (signedAmount) {
        if (text.empty() || (text[0] != '+' && text[0] != '-')) {
            return false;
        }
        text.remove_prefix(1);
    }
    return text.size() >= 2 && text.back() == 's' &&
           std::all_of(text.begin(), text.end() - 1, isDigit);
}

bool isNumber(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), isDigit);
}

} // namespace

std::optional<Line> parseLine(std::string_view text) {
    if (!text.empty() && text.back() == '\r') {
        text.remove_suffix(1);
    }
    if (text.size() < 27 || text[25] != ' ' || text.find(cutMark) != std::string_view::npos) {
        return std::nullopt;
    }
    const auto at = parseStamp(text.substr(0, 25));
    if (!at) {
        return std::nullopt;
    }
    std::string_view rest = text.substr(26);
    const std::size_t end = rest.find(' ');
    Line line{*at, rest.substr(0, end), end == std::string_view::npos ? "" : rest.substr(end + 1)};
    if (line.event.empty() || !std::all_of(line.event.begin(), line.event.end(), isKeyCharacter) ||
        !wellFormed(line.fields)) {
        return std::nullopt;
    }
    return line;
}

bool isWhole(const Line& line) {
    const auto has = [&](std::string_view key) { return line.find(key).has_value(); };
    const auto number = [&](std::string_view key) { return isNumber(line.field(key)); };
    const auto stamp = [&](std::string_view key) {
        return parseStamp(line.field(key)).has_value();
    };
    const std::string_view what = line.event;
    if (what == event::started) {
        const std::string_view os = line.field("os");
        return (os == "linux" || os == "windows") && (number("monitor") || has("monitor-failed"));
    }
    // What these say lies in their word: the fields after it only tell more.
    if (what == event::watching || what == event::logWritable || what == event::monitorEnded ||
        what == event::logUnwritable || what == event::stopped) {
        return true;
    }
    if (what == event::asleep) {
        return stamp("from") && isSeconds(line.field("for"), false);
    }
    if (what == event::clockChanged) {
        return stamp("from") && isSeconds(line.field("by"), true);
    }
    if (what == event::monitorStarted) {
        return number("monitor") || has("failed");
    }
    if (what == event::diagnosis) {
        const std::string_view check = line.field("check");
        return (check == timeUnavailable || timeOfText(check)) &&
               verdictNamed(line.field("verdict")) && has("path");
    }
    if (what == event::message) {
        return has("change") && has("text") && has("shown");
    }
    if (what == event::command) {
        return has("change") && has("result");
    }
    if (what == event::sampling) {
        return has("every") && has("window") && has("ipv4") && has("ipv6");
    }
    if (what == event::quality) {
        return quality::windowOf(line).has_value();
    }
    return false;
}

std::optional<Line> parseLineAfterFragment(std::string_view text, bool& runOn) {
    // Each stamp past the line's start, from the last: a 'T' ten characters into it.
    constexpr std::size_t dateLength = 10;
    for (std::size_t t = text.rfind('T'); t != std::string_view::npos && t > dateLength;
         t = text.rfind('T', t - 1)) {
        const auto line = parseLine(text.substr(t - dateLength));
        if (line &&
            std::find(event::all.begin(), event::all.end(), line->event) != event::all.end()) {
            runOn = true;
            return line;
        }
    }
    runOn = false;
    return parseLine(text);
}

std::optional<Line::FieldAt> Line::fieldAt(std::size_t at) const {
    const std::size_t equals = at < fields.size() ? fields.find('=', at) : std::string_view::npos;
    if (equals == std::string_view::npos) {
        return std::nullopt;
    }
    std::size_t valueStart = equals + 1;
    std::size_t valueEnd;
    std::size_t next;
    if (valueStart < fields.size() && fields[valueStart] == '"') {
        ++valueStart;
        valueEnd = fields.find('"', valueStart);
        valueEnd = valueEnd == std::string_view::npos ? fields.size() : valueEnd;
        next = valueEnd + 2; // past the quote and the blank
    } else {
        valueEnd = fields.find(' ', valueStart);
        valueEnd = valueEnd == std::string_view::npos ? fields.size() : valueEnd;
        next = valueEnd + 1;
    }
    return FieldAt{fields.substr(at, equals - at), fields.substr(valueStart, valueEnd - valueStart),
                   next};
}

std::optional<std::string_view> Line::find(std::string_view key) const {
    std::optional<std::string_view> found;
    forEach([&](std::string_view name, std::string_view value) {
        if (name == key) {
            found = value;
        }
        return !found;
    });
    return found;
}

void ToldOutages::take(const Line& line) {
    const std::string_view change = line.field("change");
    if (line.event == event::message && change == "down") {
        open_.reset(); // one told of by a version that did not say since when cannot be placed
        if (const auto since = parseStamp(line.field("since"))) {
            open_ = ToldOutage{*since,
                               std::string(line.field("first-check")),
                               std::string(line.field("cause")),
                               1,
                               *since,
                               std::nullopt};
        }
    } else if (line.event == event::message && change == "up" && open_) {
        open_->back = line.at;
        ended_ = std::move(open_);
        open_.reset();
    } else if (line.event == event::diagnosis && open_ && line.at.utc >= open_->since.utc &&
               line.field("check") != open_->firstCheck) {
        ++open_->checks;
        open_->lastWord = line.at;
    }
}

std::optional<ToldOutage> ToldOutages::goingOnAt(std::chrono::sys_seconds moment) const {
    return open_ && moment - open_->lastWord.utc <= outageUnseenAfter ? open_ : std::nullopt;
}

std::optional<ToldOutage> ToldOutages::lastEndedAt(std::chrono::sys_seconds moment) const {
    if (open_ && !goingOnAt(moment)) {
        ToldOutage unseen = *open_;
        unseen.back = unseen.lastWord;
        return unseen;
    }
    return ended_;
}

} // namespace core::record
