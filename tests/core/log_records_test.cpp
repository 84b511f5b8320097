// Reading the log: the record's exact form, both day paddings and line ends, and what is skipped.
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "log_records.h"

using core::LineVerdict;
using core::LocalTime;
using Kind = LineVerdict::Kind;
using namespace std::chrono;

namespace {

const std::string prefix = "internet connection test failed on ";

LocalTime at(int y, unsigned m, unsigned d, int hh, int mm, int ss) {
    return local_days{year{y} / month{m} / day{d}} + hours{hh} + minutes{mm} + seconds{ss};
}

// Every line's kind, and the time of each timed one, as readLog hands them over.
std::vector<std::pair<Kind, long>> kindsOf(const std::string& content) {
    std::FILE* file = std::tmpfile();
    std::fwrite(content.data(), 1, content.size(), file);
    std::rewind(file);
    std::vector<std::pair<Kind, long>> kinds;
    EXPECT_EQ(core::readLog(
                  file, [&](const LineVerdict& v, long line) { kinds.emplace_back(v.kind, line); }),
              "");
    std::fclose(file);
    return kinds;
}

// Text as Windows' Notepad saves it as "Unicode": a byte-order mark, then UTF-16 code units.
std::string utf16(const std::string& ascii, bool bigEndian) {
    std::string bytes = bigEndian ? "\xfe\xff" : "\xff\xfe";
    for (const char c : ascii) {
        bytes += bigEndian ? std::string{'\0', c} : std::string{c, '\0'};
    }
    return bytes;
}

} // namespace

TEST(LogRecords, ReadsTheMonitorsLineInBothPaddingsAndLineEnds) {
    const struct {
        std::string line;
        Kind kind;
        LocalTime time;
    } cases[] = {
        {prefix + "Sun Feb 18 00:29:21 2024", Kind::timed, at(2024, 2, 18, 0, 29, 21)},
        {prefix + "Tue Dec  8 09:05:00 2026", Kind::timed, at(2026, 12, 8, 9, 5, 0)},   // glibc
        {prefix + "Tue Dec 08 09:05:00 2026\r", Kind::timed, at(2026, 12, 8, 9, 5, 0)}, // Windows
        {prefix + "Mon Feb 29 23:59:60 2024", Kind::timed, at(2024, 3, 1, 0, 0, 0)}, // leap second
        {prefix + "Fri Feb 18 00:29:21 2024", Kind::timed,
         at(2024, 2, 18, 0, 29, 21)}, // weekday off
        {prefix + "(time unavailable)", Kind::untimed, {}},
        {prefix + "(time unavailable)\r", Kind::untimed, {}},
        {"", Kind::notARecord, {}},
        {"garbage typed into the file", Kind::notARecord, {}},
        {prefix + "Sun Feb 18 00:29", Kind::notARecord, {}}, // torn
        {prefix + "Sun Feb 18 00:29:21 2024 ", Kind::notARecord, {}},
        {prefix + "Sun Feb 18 00:29:21 2024\r\r", Kind::notARecord, {}},
        {prefix + "Sun Feb 30 00:29:21 2023", Kind::notARecord, {}}, // no such date
        {prefix + "Sun Feb 18 24:00:00 2024", Kind::notARecord, {}},
        {prefix + "Xyz Feb 18 00:29:21 2024", Kind::notARecord, {}},
        {prefix + "Sun Feb 1  00:29:21 2024", Kind::notARecord, {}},
        {prefix + "Sun Feb 18 00:29:21 2O24", Kind::notARecord, {}},
        {prefix + "Sun Feb 18 00:29:21 2024" + prefix + "Sun Feb 18 00:29:21 2024",
         Kind::notARecord,
         {}}, // two writers' lines run together
        {prefix + "Sun Feb 18 \xc3\xa9\xc3\xa9:21 2024", Kind::notARecord, {}},
        {"Internet connection test failed on Sun Feb 18 00:29:21 2024", Kind::notARecord, {}},
    };
    for (const auto& [line, kind, time] : cases) {
        const LineVerdict verdict = core::readRecord(line);
        EXPECT_EQ(verdict.kind, kind) << line;
        if (kind == Kind::timed) {
            EXPECT_EQ(verdict.time, time) << line;
        }
    }
}

TEST(LogRecords, StreamsLinesOfAnyLengthAndAnyBytes) {
    const std::string record = prefix + "Sun Feb 18 00:29:21 2024";
    const std::string huge(3 << 20, 'x'); // longer than the reader's buffer
    const struct {
        std::string content;
        std::vector<std::pair<Kind, long>> expected;
    } cases[] = {
        {"", {}},
        {record + "\n" + record + "\r\n", {{Kind::timed, 1}, {Kind::timed, 2}}},
        {record, {{Kind::timed, 1}}}, // the last line without its line end
        {"\n\n" + record + "\n", {{Kind::notARecord, 1}, {Kind::notARecord, 2}, {Kind::timed, 3}}},
        {huge + "\n" + record + "\n", {{Kind::notARecord, 1}, {Kind::timed, 2}}},
        {record + "\n" + huge, {{Kind::timed, 1}, {Kind::notARecord, 2}}},
        // A torn fragment of any length, a crash's block of NUL bytes say, then a whole record.
        {huge + record + "\n", {{Kind::notARecord, 1}, {Kind::timed, 1}}},
        {std::string(4096, '\0') + record + "\n" + record,
         {{Kind::notARecord, 1}, {Kind::timed, 1}, {Kind::timed, 2}}},
        {huge + "x" + prefix + "\n", {{Kind::notARecord, 1}}},
        {std::string("\0\xff\x1a\n", 4) + record + "\n", {{Kind::notARecord, 1}, {Kind::timed, 2}}},
        // Every log a person has: a UTF-8 mark, an editor's Ctrl+Z at the end, Notepad's UTF-16.
        {"\xef\xbb\xbf" + record + "\r\n", {{Kind::timed, 1}}},
        {record + "\r\n\x1a", {{Kind::timed, 1}}},
        {record + "\x1a", {{Kind::timed, 1}}},
        {utf16(record + "\r\n" + record, false), {{Kind::timed, 1}, {Kind::timed, 2}}},
        {utf16(record + "\n", true) + std::string("\x30\xbd\n", 3), // a last line of CJK
         {{Kind::timed, 1}, {Kind::notARecord, 2}}},
        // The disk filled mid-line: the next cycle's record ran on after the torn one.
        {prefix + "Sun Feb 1" + record + "\n", {{Kind::notARecord, 1}, {Kind::timed, 1}}},
        {record + record + "\n", {{Kind::timed, 1}, {Kind::timed, 1}}},
    };
    for (const auto& [content, expected] : cases) {
        EXPECT_EQ(kindsOf(content), expected) << content.substr(0, 80);
    }
}

TEST(LogRecords, ARecordSplitAcrossReadsIsReadWholeAndNothingAfterTheFirstReadIsLost) {
    for (const std::string mark : {"", "\xef\xbb\xbf"}) {
        for (const std::string lineEnd : {"\n", "\r\n"}) {
            // Pad so the second record straddles the reader's 1 MiB buffer boundary.
            std::string record = prefix;
            record.append("Sun Feb 18 00:29:21 2024").append(lineEnd);
            std::string content = mark;
            long records = 0;
            for (; content.size() + record.size() < (1 << 20) - 20; ++records) {
                content += record;
            }
            content += std::string((1 << 20) - 20 - content.size(), '\n');
            for (int i = 0; i < 100; ++i, ++records) {
                content += record;
            }
            long timed = 0;
            Kind last = Kind::notARecord;
            for (const auto& [kind, line] : kindsOf(content)) {
                timed += kind == Kind::timed ? 1 : 0;
                last = kind;
            }
            EXPECT_EQ(last, Kind::timed) << lineEnd.size() << " " << mark.size();
            EXPECT_EQ(timed, records) << lineEnd.size() << " " << mark.size();
        }
    }
}
