// The monitor writes "internet connection test failed on " and a 24-character ctime text per line.
#include "log_records.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace core {
namespace {

constexpr std::string_view prefix = "internet connection test failed on ";
constexpr std::size_t timeTextLength = 24; // "Sun Feb 18 00:29:21 2024"
// A record plus a CR. A line may hold two: a record torn short (the disk was full) and the next
// cycle's whole record run on after it. Of anything longer only the end is kept, for a record
// run on after a long fragment (a crash can leave a block of NUL bytes).
constexpr std::size_t longestRecord = prefix.size() + timeTextLength + 1;
constexpr std::size_t longestLine = 2 * longestRecord;
constexpr char ctrlZ = '\x1a'; // the end-of-file mark some Windows editors append

constexpr std::array<std::string_view, 12> months{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Two digits, or for the day of month a blank then a digit (glibc pads with a blank).
int twoDigits(std::string_view text, bool blankAllowed, bool& ok) {
    const bool blank = blankAllowed && text[0] == ' ';
    if (!(blank || isDigit(text[0])) || !isDigit(text[1])) {
        ok = false;
        return 0;
    }
    return (blank ? 0 : (text[0] - '0') * 10) + (text[1] - '0');
}

// Names compared as three packed bytes: this runs for every line of logs of millions.
constexpr unsigned packed(std::string_view name) {
    return static_cast<unsigned char>(name[0]) << 16U | static_cast<unsigned char>(name[1]) << 8U |
           static_cast<unsigned char>(name[2]);
}

template <std::size_t N>
int indexOf(const std::array<std::string_view, N>& names, std::string_view name) {
    const unsigned key = packed(name);
    for (std::size_t i = 0; i < N; ++i) {
        if (packed(names[i]) == key) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// "Www Mmm dd hh:mm:ss yyyy"; the weekday must be one but need not match the date.
std::optional<LocalTime> parseTimeText(std::string_view text) {
    if (text.size() != timeTextLength || text[3] != ' ' || text[7] != ' ' || text[10] != ' ' ||
        text[13] != ':' || text[16] != ':' || text[19] != ' ' ||
        indexOf(weekdayNames, text.substr(0, 3)) < 0) {
        return std::nullopt;
    }
    const int month = indexOf(months, text.substr(4, 3));
    bool ok = month >= 0;
    const int day = ok ? twoDigits(text.substr(8, 2), true, ok) : 0;
    const int hours = twoDigits(text.substr(11, 2), false, ok);
    const int minutes = twoDigits(text.substr(14, 2), false, ok);
    const int seconds = twoDigits(text.substr(17, 2), false, ok);
    const int century = twoDigits(text.substr(20, 2), false, ok);
    const int year = twoDigits(text.substr(22, 2), false, ok) + century * 100;
    if (!ok || hours > 23 || minutes > 59 || seconds > 60) { // 60: a leap second
        return std::nullopt;
    }
    using namespace std::chrono;
    const year_month_day date{std::chrono::year{year},
                              std::chrono::month{static_cast<unsigned>(month + 1)},
                              std::chrono::day{static_cast<unsigned>(day)}};
    if (!date.ok()) {
        return std::nullopt;
    }
    return local_days{date} + hours * 1h + minutes * 1min + seconds * 1s;
}

} // namespace

std::optional<LocalTime> timeOfText(std::string_view text) {
    return parseTimeText(text);
}

LineVerdict readRecord(std::string_view line) {
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    if (line.size() < prefix.size() || line.substr(0, prefix.size()) != prefix) {
        return {LineVerdict::Kind::notARecord};
    }
    const std::string_view rest = line.substr(prefix.size());
    if (rest == timeUnavailable) {
        return {LineVerdict::Kind::untimed, {}, rest};
    }
    const auto time = parseTimeText(rest);
    return time ? LineVerdict{LineVerdict::Kind::timed, *time, rest}
                : LineVerdict{LineVerdict::Kind::notARecord};
}

namespace {

// The record a torn line ends with, if any: the next cycle's record run on after the fragment.
std::optional<LineVerdict> recordRunOn(std::string_view line) {
    const std::size_t runOn = line.rfind(prefix);
    if (runOn == 0 || runOn == std::string_view::npos) {
        return std::nullopt;
    }
    const LineVerdict tail = readRecord(line.substr(runOn));
    return tail.kind != LineVerdict::Kind::notARecord ? std::optional(tail) : std::nullopt;
}

// One line as it may come: a record, or a torn fragment of any length with a whole record run
// on after it, which counts as a skipped line and a failed check. Of a line too long to keep,
// only its end is here (tornFront): enough to hold a record.
void readLineOf(std::string_view line, bool tornFront, long lineNumber, const RecordSink& sink) {
    if (tornFront || line.size() > longestLine) {
        sink(LineVerdict{LineVerdict::Kind::notARecord}, lineNumber);
        if (const auto tail =
                recordRunOn(line.substr(line.size() - std::min(line.size(), longestRecord)))) {
            sink(*tail, lineNumber);
        }
        return;
    }
    const LineVerdict whole = readRecord(line);
    if (whole.kind != LineVerdict::Kind::notARecord) {
        sink(whole, lineNumber); // the common case: no search for a record run on
        return;
    }
    if (const auto tail = recordRunOn(line)) {
        sink(readRecord(line.substr(0, line.rfind(prefix))), lineNumber);
        sink(*tail, lineNumber);
        return;
    }
    sink(whole, lineNumber);
}

} // namespace

void readLine(std::string_view line, long lineNumber, const RecordSink& sink) {
    readLineOf(line, false, lineNumber, sink);
}

namespace {

enum class Encoding { bytes, utf16LittleEndian, utf16BigEndian };

// Reads the log as single bytes: UTF-8 and ANSI as they are, a UTF-8 byte-order mark skipped,
// UTF-16 (Notepad's "Unicode", marked by its byte-order mark) narrowed to ASCII, every other
// character becoming a byte that no record holds.
class NarrowReader {
  public:
    explicit NarrowReader(std::FILE* file) : file_(file) {}

    // Up to out.size() bytes; fewer only at the end of the file or on an error.
    std::size_t read(std::span<char> out) {
        if (first_) {
            first_ = false;
            return readFirst(out);
        }
        return encoding_ == Encoding::bytes ? std::fread(out.data(), 1, out.size(), file_)
                                            : readUtf16(out);
    }

  private:
    std::size_t readFirst(std::span<char> out) {
        const std::size_t got = std::fread(out.data(), 1, out.size(), file_);
        const std::string_view start(out.data(), got);
        std::size_t mark = 0;
        if (start.starts_with("\xef\xbb\xbf")) {
            mark = 3;
        } else if (start.starts_with("\xff\xfe") || start.starts_with("\xfe\xff")) {
            encoding_ = start[0] == '\xff' ? Encoding::utf16LittleEndian : Encoding::utf16BigEndian;
            pending_.assign(out.begin() + 2, out.begin() + static_cast<std::ptrdiff_t>(got));
            return readUtf16(out);
        }
        std::memmove(out.data(), out.data() + mark, got - mark);
        // Filled up again, so a short read still means the end of the file.
        return got - mark + std::fread(out.data() + got - mark, 1, mark, file_);
    }

    std::size_t readUtf16(std::span<char> out) {
        std::size_t made = 0;
        while (made < out.size()) {
            if (pending_.size() < 2) {
                const std::size_t had = pending_.size();
                pending_.resize(had + 2 * (out.size() - made));
                const std::size_t got =
                    std::fread(pending_.data() + had, 1, pending_.size() - had, file_);
                pending_.resize(had + got);
                if (got == 0) {
                    break; // an odd last byte is no character
                }
            }
            std::size_t at = 0;
            for (; at + 1 < pending_.size() && made < out.size(); at += 2) {
                const auto a = static_cast<unsigned char>(pending_[at]);
                const auto b = static_cast<unsigned char>(pending_[at + 1]);
                const unsigned unit =
                    encoding_ == Encoding::utf16LittleEndian ? (b << 8U) | a : (a << 8U) | b;
                out[made++] = unit < 0x80 ? static_cast<char>(unit) : '\x80';
            }
            pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(at));
        }
        return made;
    }

    std::FILE* file_;
    bool first_ = true;
    Encoding encoding_ = Encoding::bytes;
    std::vector<char> pending_; // UTF-16 bytes read but not yet narrowed
};

} // namespace

std::string readLines(std::FILE* file, std::size_t longestKept, std::size_t endKept,
                      const LineSink& sink) {
    NarrowReader reader(file);
    constexpr std::size_t bufferSize = 1 << 20;
    const auto buffer = std::make_unique_for_overwrite<char[]>(bufferSize);
    // The start of a line split across two reads, never over longestKept; of a longer line, only
    // its last endKept bytes.
    std::string carried;
    bool overLong = false;
    const auto finishLine = [&](std::string_view line, bool ended) {
        sink(line, overLong, ended);
        overLong = false;
        carried.clear();
    };
    for (;;) {
        const std::size_t got = reader.read(std::span(buffer.get(), bufferSize));
        const char* at = buffer.get();
        const char* const end = at + got;
        while (at < end) {
            const auto* newline = static_cast<const char*>(std::memchr(at, '\n', end - at));
            const char* const lineEnd = newline != nullptr ? newline : end;
            const auto piece = static_cast<std::size_t>(lineEnd - at);
            if (!overLong && carried.empty() && newline != nullptr) {
                finishLine(std::string_view(at, piece), true); // the common case: no copy
            } else {
                if (!overLong && carried.size() + piece <= longestKept) {
                    carried.append(at, piece);
                } else {
                    overLong = true;
                    const std::size_t kept = std::min(piece, endKept);
                    carried.append(at + piece - kept, kept);
                    carried.erase(0, carried.size() - std::min(carried.size(), endKept));
                }
                if (newline != nullptr) {
                    finishLine(carried, true);
                }
            }
            at = newline != nullptr ? newline + 1 : end;
        }
        if (got < bufferSize) {
            break;
        }
    }
    if (std::ferror(file) != 0) {
        return std::strerror(errno);
    }
    if (!carried.empty() && carried.back() == ctrlZ) {
        carried.pop_back(); // the end-of-file mark, not part of any line
    }
    if (overLong || !carried.empty()) {
        finishLine(carried, false); // a last line without its line end
    }
    return {};
}

std::string readLog(std::FILE* file, const RecordSink& sink) {
    long lineNumber = 0;
    // A line longer than any record is kept by its end: a record may have run on after junk.
    return readLines(file, longestLine, longestRecord,
                     [&](std::string_view line, bool tornFront, bool /*ended*/) {
                         readLineOf(line, tornFront, ++lineNumber, sink);
                     });
}

} // namespace core
