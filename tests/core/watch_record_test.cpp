// The record's line: stamps with any offset from UTC read back as written, values that hold
// blanks and quotes, and a whole line run on after a crash's torn fragment.
#include <gtest/gtest.h>

#include "watch_record.h"

using namespace std::chrono;
namespace record = core::record;

TEST(RecordLine, StampsReadBackAsWrittenAtEveryOffset) {
    const sys_seconds noonUtc = sys_days{2024y / 2 / 12} + 12h;
    const struct {
        seconds offset;
        const char* text;
    } stamps[] = {
        {0s, "2024-02-12T12:00:00+00:00"},
        {1h, "2024-02-12T13:00:00+01:00"},
        {-(3h + 30min), "2024-02-12T08:30:00-03:30"}, // Newfoundland
        {5h + 45min, "2024-02-12T17:45:00+05:45"},    // Nepal
        {-10h, "2024-02-12T02:00:00-10:00"},
        {14h, "2024-02-13T02:00:00+14:00"}, // across midnight
    };
    for (const auto& [offset, text] : stamps) {
        const record::Stamp stamp{noonUtc, offset};
        EXPECT_EQ(record::stampText(stamp), text);
        EXPECT_EQ(record::parseStamp(text), stamp) << text;
    }
    for (const char* malformed :
         {"2024-02-12T12:00:00+24:00", "2024-02-30T12:00:00+01:00", "2024-02-12T12:00:00 01:00",
          "2024-02-12 12:00:00+01:00", "2024-02-12T12:00:00+01:0"}) {
        EXPECT_FALSE(record::parseStamp(malformed)) << malformed;
    }
}

TEST(RecordLine, FieldsAndARunOnLineReadBack) {
    const record::Stamp at{sys_days{2024y / 2 / 12} + 6h, 1h};
    const std::string line = record::formatLine(
        at, record::event::message,
        {{"text", "No connection: \"quoted\"\nand = signs"}, {"shown", ""}, {"change", "down"}});
    const std::string_view text(line.data(), line.size() - 1);
    bool runOn = true;
    const auto parsed = record::parseLineAfterFragment(text, runOn);
    ASSERT_TRUE(parsed);
    EXPECT_FALSE(runOn);
    EXPECT_EQ(parsed->at, at);
    EXPECT_EQ(parsed->field("text"), "No connection: 'quoted' and = signs");
    EXPECT_EQ(parsed->field("shown"), "");
    EXPECT_EQ(parsed->field("change"), "down");
    EXPECT_FALSE(record::parseLine("2024-02-12T07:30:00+01:00 os=linux")) << "fields, no event";
    // A value that holds a stamp is no line of its own.
    EXPECT_FALSE(
        record::parseLineAfterFragment(
            "2024-02-12T07:30:00+01:00 asleep from=2024-02-12T07:00:05+01:00 for=1795s", runOn) &&
        runOn);
    // A fragment torn anywhere, then the next whole line.
    for (const std::string fragment : {"2024-02-12T07:0", "2024-02-12T07:00:00+01:00 watch",
                                       "2024-02-12T07:00:00+01:00 watching ", "\xff\xfe"}) {
        const std::string text = fragment + "2024-02-12T07:05:00+01:00 started os=linux";
        const auto found = record::parseLineAfterFragment(text, runOn);
        ASSERT_TRUE(found) << fragment;
        EXPECT_TRUE(runOn) << fragment;
        EXPECT_EQ(found->event, "started") << fragment;
        EXPECT_EQ(found->field("os"), "linux") << fragment;
    }
}
