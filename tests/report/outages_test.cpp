// Grouping into outages: the gap rule at its edges, time going backwards, and the day figures.
#include <gtest/gtest.h>

#include "report.h"

using core::LineVerdict;
using core::LocalTime;
using Kind = LineVerdict::Kind;
using namespace std::chrono;

namespace {

const LocalTime midnight = local_days{2024y / 2 / 18};

report::Report grouped(const std::vector<LineVerdict>& lines, seconds gap = 90s) {
    report::ReportBuilder builder(gap);
    long number = 0;
    for (const LineVerdict& line : lines) {
        builder.add(line, ++number);
    }
    return builder.finish();
}

LineVerdict check(seconds sinceMidnight) {
    return {Kind::timed, midnight + sinceMidnight};
}

} // namespace

TEST(Outages, GapRuleAtItsEdgesAndTimeGoingBackwards) {
    const struct {
        const char* name;
        std::vector<LineVerdict> lines;
        std::vector<std::pair<long, long>> spansAndChecks;
        long backwards = 0;
    } cases[] = {
        {"exactly the gap apart", {check(100s), check(190s)}, {{90, 2}}},
        {"one second over the gap", {check(100s), check(191s)}, {{0, 1}, {0, 1}}},
        {"the same second twice", {check(100s), check(100s)}, {{0, 2}}},
        {"time going backwards", {check(100s), check(130s), check(120s)}, {{30, 2}, {0, 1}}, 1},
        {"a clock set back an hour",
         {check(3700s), check(3730s), check(130s), check(160s)},
         {{30, 2}, {30, 2}},
         1},
        {"untimed checks stay out", {check(100s), {Kind::untimed}, check(130s)}, {{30, 2}}},
        {"skipped lines do not break an outage",
         {check(100s), {Kind::notARecord}, check(130s)},
         {{30, 2}}},
    };
    for (const auto& [name, lines, expected, backwards] : cases) {
        const report::Report report = grouped(lines);
        std::vector<std::pair<long, long>> actual;
        for (const report::Outage& outage : report.outages) {
            actual.emplace_back(outage.span().count(), outage.checks);
            EXPECT_GE(outage.span(), 0s) << name;
        }
        EXPECT_EQ(actual, expected) << name;
        EXPECT_EQ(report.timeWentBackwards, backwards) << name;
    }
}

TEST(Outages, LatestIsTheLastTimeAndLongestTheFirstOfEqualSpans) {
    // A clock set back: the last outage in the log is not the latest, and both last 30 s.
    const report::Report report = grouped({check(3700s), check(3730s), check(130s), check(160s)});
    EXPECT_EQ(report.latest, midnight + 3730s);
    EXPECT_EQ(report.earliest, midnight + 130s);
    ASSERT_NE(report.longest(), nullptr);
    EXPECT_EQ(report.longest()->start, midnight + 3700s);
}

TEST(Outages, CountsChecksPerDayAndOutagesOnTheDayTheyBegan) {
    const report::Report report = grouped({check(60s),
                                           {Kind::untimed},
                                           {Kind::notARecord},
                                           check(86'340s),
                                           check(86'400s + 20s),
                                           check(86'400s + 50s),
                                           {Kind::notARecord}},
                                          90s);
    EXPECT_EQ(report.failedChecks, 5);
    EXPECT_EQ(report.untimedChecks, 1);
    EXPECT_EQ(report.skippedLines, 2);
    EXPECT_EQ(report.firstSkippedLines, (std::vector<long>{3, 7}));
    EXPECT_EQ(report.earliest, midnight + 60s);
    EXPECT_EQ(report.latest, midnight + 86'450s);
    ASSERT_EQ(report.outages.size(), 2U);
    EXPECT_EQ(report.longest()->span(), 110s);
    EXPECT_EQ(report.totalSpan(), 110s);
    const auto first = floor<days>(midnight);
    ASSERT_EQ(report.days.size(), 2U);
    EXPECT_EQ(report.days.at(first).checks, 2);
    EXPECT_EQ(report.days.at(first).outages, 2);
    EXPECT_EQ(report.days.at(first + days{1}).checks, 2);
    EXPECT_EQ(report.days.at(first + days{1}).outages, 0);
}

TEST(Outages, TimeGoingBackwardsIsCountedAndOverlapsSpanOnce) {
    // Two monitors on one log: their lines interleave, each a little behind the other's.
    const report::Report report =
        grouped({check(0s), check(20s), check(10s), check(40s), check(30s), check(60s)});
    EXPECT_EQ(report.timeWentBackwards, 2);
    EXPECT_EQ(report.firstBackwardsLine, 3);
    EXPECT_EQ(report.outages.size(), 3U);
    EXPECT_EQ(report.totalSpan(), 60s); // 0-20, 10-40 and 30-60 cover one minute

    // Out of order, and one inside another: 100-160 first, then 0-60, 10-20 within it, 15-90.
    const report::Report nested = grouped({check(100s), check(160s), check(0s), check(60s),
                                           check(10s), check(20s), check(15s), check(90s)});
    EXPECT_EQ(nested.outages.size(), 4U);
    EXPECT_EQ(nested.totalSpan(), 150s); // 0-90 and 100-160
}

TEST(Outages, APeriodKeepsTheOutagesThatBeganInIt) {
    const auto day = floor<days>(midnight);
    const report::Period period{day + days{1}, day + days{1}};
    report::ReportBuilder builder(seconds{90}, period);
    long line = 0;
    for (const seconds t : {100s, 86'370s, 86'430s, 90'000s, 172'790s, 172'850s}) {
        builder.add(check(t), ++line);
    }
    builder.add({Kind::untimed}, ++line);
    const report::Report report = builder.finish();
    // Began the day before: left out. Began on the last day of the period: kept whole.
    ASSERT_EQ(report.outages.size(), 2U);
    EXPECT_EQ(report.outages[0].start, midnight + 90'000s);
    EXPECT_EQ(report.outages[1].end, midnight + 172'850s);
    EXPECT_EQ(report.failedChecks, 3);
    EXPECT_EQ(report.untimedChecks, 0);
    EXPECT_EQ(report.days.size(), 2U);
}
