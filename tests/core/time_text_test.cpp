// The figures a person reads: spans, watched hours and shares that round toward what is known.
#include <gtest/gtest.h>

#include "time_text.h"

using namespace std::chrono;

TEST(TimeText, SpansHoursAndSharesAsThePersonReadsThem) {
    const struct {
        seconds span;
        const char* text;
        const char* hours;
    } spans[] = {
        {0s, "0s", "0h 00m"},
        {59s, "59s", "0h 00m"},
        {9min, "9m 00s", "0h 09m"},
        {1h + 10min + 5s, "1h 10m 05s", "1h 10m"},
        {25h + 1min + 1s, "1d 01h 01m 01s", "25h 01m"},
    };
    for (const auto& [span, text, hours] : spans) {
        EXPECT_EQ(core::spanText(span), text);
        EXPECT_EQ(core::hoursText(span), hours);
    }
    // Availability's bounds: the lower rounds down, the higher up, so neither claims more than
    // is known; a share that is exact stays exact through the float's own error.
    const struct {
        double share;
        const char* down;
        const char* up;
    } shares[] = {
        {1 - 140.0 / 900, "84.44%", "84.45%"},
        {0.29, "29.00%", "29.00%"}, // 2899.9999999999995 hundredths
        {0.999999, "99.99%", "100.00%"},
        {1.0, "100.00%", "100.00%"},
    };
    for (const auto& [share, down, up] : shares) {
        EXPECT_EQ(core::percentText(share, 2, false), down) << share;
        EXPECT_EQ(core::percentText(share, 2, true), up) << share;
    }
}
