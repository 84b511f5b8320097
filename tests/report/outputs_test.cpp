// The outputs: a summary in 80 columns whose columns hold, and a well-formed page that fetches
// nothing and grows with the log, not with the length of its outages.
#include <gtest/gtest.h>

#include "renderers.h"

using core::LineVerdict;
using core::LocalTime;
using Kind = LineVerdict::Kind;
using namespace std::chrono;

namespace {

// With one hour as the gap: on Sun 18th a 2 h outage, a lone check, and a 1 h one over midnight;
// from Tue 20th an outage of more than a day, checked hourly.
report::Report sample() {
    report::ReportBuilder builder(1h);
    const auto sunday = local_days{2024y / 2 / 18};
    std::vector<LocalTime> times = {sunday + 1h,  sunday + 2h,          sunday + 3h,
                                    sunday + 10h, sunday + 23h + 30min, sunday + 24h + 30min};
    for (hours h{0}; h <= hours{26}; ++h) {
        times.push_back(sunday + days{2} + h);
    }
    long line = 0;
    for (const LocalTime t : times) {
        builder.add({Kind::timed, t}, ++line);
    }
    return builder.finish();
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
         start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

// Every tag closed in order, void elements written self-closing: parseable as XML.
std::string firstImbalance(const std::string& page) {
    std::vector<std::string> open;
    for (std::size_t at = page.find('<'); at != std::string::npos; at = page.find('<', at + 1)) {
        const std::size_t end = page.find('>', at);
        const std::string tag = page.substr(at + 1, end - at - 1);
        if (tag[0] == '!' || tag.back() == '/') {
            continue;
        }
        if (tag[0] != '/') {
            open.push_back(tag.substr(0, tag.find(' ')));
        } else if (open.empty() || open.back() != tag.substr(1)) {
            return "unexpected <" + tag + "> at " + std::to_string(at);
        } else {
            open.pop_back();
        }
    }
    return open.empty() ? "" : "unclosed <" + open.back() + ">";
}

} // namespace

TEST(Outputs, SummaryTablesHoldTheirColumns) {
    const std::string summary = report::textSummary(sample(), "connectivityLog.txt");
    const std::string tables = R"(Day               Failed checks  Outages            Longest
Sun 2024-02-18                5        3         2h 00m 00s
Mon 2024-02-19                1        0                  -
Tue 2024-02-20               24        1     1d 02h 00m 00s
Wed 2024-02-21                3        0                  -

Start                End                    Checks               Span
2024-02-18 01:00:00  2024-02-18 03:00:00         3         2h 00m 00s
2024-02-18 10:00:00  2024-02-18 10:00:00         1                 0s
2024-02-18 23:30:00  2024-02-19 00:30:00         2         1h 00m 00s
2024-02-20 00:00:00  2024-02-21 02:00:00        27     1d 02h 00m 00s
)";
    EXPECT_NE(summary.find(tables), std::string::npos) << summary;
    for (const char* figure : {"Failed checks     33\n",
                               "Longest outage    1d 02h 00m 00s (from 2024-02-20 00:00:00)\n"}) {
        EXPECT_NE(summary.find(figure), std::string::npos) << figure << summary;
    }

    // Ten million checks over three years: every row as wide as its table's header.
    report::Report huge = sample();
    const LocalTime start = huge.outages.back().start;
    huge.outages.back() = {start, start + days{3 * 365}, 10'000'000, {}, 0, {}, {}, {}, {}, false};
    huge.days.begin()->second = {10'000'000, 1, days{3 * 365}};
    std::size_t headerWidth = 0;
    for (const std::string& line : linesOf(report::textSummary(huge, "log"))) {
        EXPECT_LE(line.size(), 80U) << line;
        if (line.starts_with("Day ") || line.starts_with("Start ")) {
            headerWidth = line.size();
        } else if (line.empty()) {
            headerWidth = 0;
        } else if (headerWidth > 0) {
            EXPECT_EQ(line.size(), headerWidth) << line;
        }
    }
}

TEST(Outputs, HtmlIsWellFormedSelfContainedAndEscaped) {
    for (const report::Report& report : {sample(), report::ReportBuilder(90s).finish()}) {
        const std::string page = report::htmlPage(report, "<b>&\"log\".txt");
        EXPECT_EQ(firstImbalance(page), "");
        for (const char* fetching :
             {"http:", "https:", "<script", "src=", "@import", "<link", "<b>"}) {
            EXPECT_EQ(page.find(fetching), std::string::npos) << fetching;
        }
        for (auto at = page.find("url("); at != std::string::npos; at = page.find("url(", at + 1)) {
            EXPECT_EQ(page[at + 4], '#') << "url() only to a pattern of the page's own";
        }
        EXPECT_NE(page.find("&lt;b&gt;&amp;&quot;log&quot;.txt"), std::string::npos);
    }
    const std::string page = report::htmlPage(sample(), "log");
    EXPECT_EQ(page.find("<rect class=\"c-"), std::string::npos) << "no record, no cause's colour";
    // Both days have a row; the outage past midnight is marked on each.
    EXPECT_NE(page.find("Sun 2024-02-18"), std::string::npos);
    EXPECT_NE(page.find("Mon 2024-02-19"), std::string::npos);
    EXPECT_EQ(page.find("<rect", page.find("Mon 2024-02-19")) != std::string::npos, true);
    // A lone check in a day's last seconds: its mark drawn whole inside the day, not clipped.
    report::ReportBuilder late(90s);
    late.add({Kind::timed, local_days{2024y / 2 / 18} + 23h + 59min + 50s}, 1);
    EXPECT_NE(report::htmlPage(late.finish(), "log").find("x=\"86160\" y=\"18\" width=\"240\""),
              std::string::npos);
}

TEST(Outputs, PageGrowsWithTheLogNotWithTheLengthOfItsOutages) {
    report::ReportBuilder builder(days{366});
    const auto first = local_days{2024y / 1 / 1};
    builder.add({Kind::timed, first + 12h}, 1);
    builder.add({Kind::timed, first + days{300} + 12h}, 2);
    const std::string page = report::htmlPage(builder.finish(), "log");
    EXPECT_NE(page.find("299 days inside one outage"), std::string::npos);
    // The timeline keeps one row for the quiet days; only the calendar has a square for each.
    EXPECT_LT(page.size(), 20'000U + 301 * 150U);
    // More than 62 days open with a calendar; 62 do not.
    for (const int span : {61, 62}) {
        report::ReportBuilder twoChecks(90s);
        twoChecks.add({Kind::timed, first + 12h}, 1);
        twoChecks.add({Kind::timed, first + days{span} + 12h}, 2);
        const bool calendar =
            report::htmlPage(twoChecks.finish(), "log").find("<div class=\"calendar\">") !=
            std::string::npos;
        EXPECT_EQ(calendar, span == 62) << span + 1 << " days";
    }
}

TEST(Outputs, MetricsHoldTheFiguresAndLeaveOutWhatDoesNotExistYet) {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    const std::string figures = report::metrics(sample());
    for (const char* line :
         {"connectivity_failed_checks_total 33\n", "connectivity_outages_total 4\n",
          "connectivity_outage_seconds_total 104400\n",
          "connectivity_longest_outage_seconds 93600\n",
          "connectivity_last_failed_check_timestamp_seconds 1708480800\n",
          "# TYPE connectivity_outages_total counter\n"}) {
        EXPECT_NE(figures.find(line), std::string::npos) << line << figures;
    }
    // February in summer time (+11:00): the zone's rule, not standard time, places it.
    ::setenv("TZ", "AEST-10AEDT,M10.1.0,M4.1.0/3", 1);
    ::tzset();
    EXPECT_NE(report::metrics(sample()).find("timestamp_seconds 1708441200\n"), std::string::npos);
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    const std::string none = report::metrics(report::ReportBuilder(90s).finish());
    EXPECT_EQ(none.find("timestamp"), std::string::npos) << none;
    EXPECT_EQ(none.find("longest"), std::string::npos) << none;
    EXPECT_NE(none.find("connectivity_failed_checks_total 0\n"), std::string::npos) << none;
}
