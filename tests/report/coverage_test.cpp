// The watcher's record in the report: watched time and availability's bounds from records of
// every kind, the cause rules, the outputs that carry causes, and the calendar of a long log.
#include <cstdio>
#include <regex>

#include <gtest/gtest.h>

#include "renderers.h"
#include "report.h"

using namespace std::chrono;
using core::LineVerdict;
using core::LocalTime;
using core::Verdict;
using report::Cause;

namespace {

// "10:05" on 2024-02-12 at +01:00, as the record writes it.
std::string at(const std::string& clock, const std::string& offset = "+01:00") {
    return "2024-02-12T" + clock + (clock.size() == 5 ? ":00" : "") + offset;
}

std::string lines(const std::vector<std::string>& record) {
    std::string text;
    for (const std::string& line : record) {
        text += line + "\n";
    }
    return text;
}

report::Coverage coverageOf(const std::string& text,
                            std::optional<sys_seconds> watchingUntil = std::nullopt) {
    std::FILE* file = std::tmpfile();
    std::fwrite(text.data(), 1, text.size(), file);
    std::rewind(file);
    report::Coverage coverage = report::readCoverage(file, "record", {}, watchingUntil);
    std::fclose(file);
    return coverage;
}

// The report of failed checks (ctime texts) read with the record.
report::Report reportOf(const report::Coverage& coverage, const std::vector<std::string>& checks,
                        report::Period period = {}) {
    report::ReportBuilder builder(seconds{90}, period, &coverage);
    long line = 0;
    for (const std::string& check : checks) {
        builder.add({LineVerdict::Kind::timed, *core::timeOfText(check)}, ++line);
    }
    report::Report figures = builder.finish();
    figures.watch = report::watchFigures(coverage, figures);
    return figures;
}

// Still-watching lines every five minutes from a UTC moment, each with the offset of its time.
std::vector<std::string> everyFiveMinutes(sys_seconds from, int count, sys_seconds offsetChange) {
    std::vector<std::string> record;
    for (int i = 0; i < count; ++i) {
        const sys_seconds moment = from + minutes{5 * i};
        const core::record::Stamp stamp{moment, moment < offsetChange ? 2h : 1h};
        std::string line =
            i == 0 ? core::record::formatLine(stamp, "started", {{"os", "linux"}, {"monitor", "2"}})
                   : core::record::formatLine(stamp, "watching");
        line.pop_back();
        record.push_back(line);
    }
    return record;
}

} // namespace

TEST(Coverage, WatchedTimeAndTheBoundsOfDowntime) {
    const std::string linux = " started os=linux monitor=2";
    // The night summer time ended: 02:00 to 03:00 came twice, first at +02:00, then at +01:00.
    const sys_seconds changed = sys_days{2024y / 10 / 27} + 1h;
    std::vector<std::string> repeatedHour = everyFiveMinutes(changed - 90min, 31, changed);
    repeatedHour.push_back(repeatedHour.back().substr(0, 25) + " stopped");
    // Started with the clock two hours ahead, set right a minute later, watched until 13:00.
    std::vector<std::string> clockSetRight = {
        at("12:00") + linux, at("10:01") + " clock-changed by=-7140s from=" + at("12:01")};
    for (minutes m{6}; m < minutes{180}; m += minutes{5}) {
        clockSetRight.push_back(
            core::record::formatLine({sys_days{2024y / 2 / 12} + 9h + m, 1h}, "watching"));
        clockSetRight.back().pop_back();
    }
    clockSetRight.push_back(at("13:00") + " stopped");
    const struct {
        const char* name;
        std::vector<std::string> record;
        std::vector<std::string> checks;
        seconds period, watched, leastDown, mostDown;
    } cases[] = {
        {"watched from start to stop",
         {at("10:00") + linux, at("10:05") + " watching", at("10:10") + " watching",
          at("10:12") + " stopped"},
         {},
         12min,
         12min,
         0s,
         0s},
        {"a crash: what was watched ends at the last line",
         {at("10:00") + linux, at("10:05") + " watching", at("10:10") + " watching",
          at("12:00") + linux, at("12:05") + " watching"},
         {},
         125min,
         15min,
         0s,
         0s},
        {"a watcher that never said it stopped vouches for nothing after its last line",
         {at("10:00") + linux, at("10:02") + linux, at("10:03") + " stopped"},
         {},
         3min,
         1min,
         0s,
         0s},
        {"time gone back with no word of a clock change: each side on its own",
         {at("10:00") + linux, at("10:05") + " watching", at("09:00") + " watching",
          at("09:05") + " stopped"},
         {},
         65min,
         10min,
         0s,
         0s},
        {"a line later than promised vouches for nothing before it",
         {at("10:00") + linux, at("10:05") + " watching", at("10:12") + " watching"},
         {},
         12min,
         5min,
         0s,
         0s},
        {"asleep",
         {at("10:00") + linux, at("10:05") + " watching",
          at("11:00") + " asleep from=" + at("10:06") + " for=3240s", at("11:05") + " watching",
          at("11:06") + " stopped"},
         {},
         66min,
         12min,
         0s,
         0s},
        {"the clock set forward",
         {at("10:00") + linux, at("10:05") + " watching",
          at("11:06") + " clock-changed by=+3600s from=" + at("10:06"), at("11:11") + " watching"},
         {},
         71min,
         11min,
         0s,
         0s},
        {"the monitor ended and started again",
         {at("10:00") + linux, at("10:05") + " monitor-ended how=\"exited with status 1\"",
          at("10:05:10") + " monitor-started monitor=5", at("10:10") + " stopped"},
         {},
         10min,
         9min + 50s,
         0s,
         0s},
        {"the log unwritable for a while",
         {at("10:00") + linux, at("10:02") + " log-unwritable reason=full",
          at("10:04") + " log-writable", at("10:10") + " stopped"},
         {},
         10min,
         8min,
         0s,
         0s},
        {"a failed check after the stop is not watched",
         {at("10:00") + linux, at("10:05") + " watching", at("10:10") + " stopped"},
         {"Mon Feb 12 10:20:00 2024"},
         20min,
         10min,
         0s,
         0s},
        {"an outage, and on each side the most the monitor takes",
         {at("10:00") + linux, at("10:05") + " watching", at("10:10") + " watching",
          at("10:15") + " stopped"},
         {"Mon Feb 12 10:05:00 2024", "Mon Feb 12 10:05:31 2024", "Mon Feb 12 10:06:02 2024"},
         15min,
         15min,
         62s,
         62s + 80s},
        {"the margin clipped to the watched time, Windows' longer check",
         {at("10:00") + " started os=windows monitor=2", at("10:05") + " stopped"},
         {"Mon Feb 12 10:00:10 2024"},
         5min,
         5min,
         0s,
         10s + 51s},
        {"the repeated hour read by its offsets", repeatedHour, {}, 150min, 150min, 0s, 0s},
        // 02:59:20 came twice, 03:00:37 once: the outage keeps its order and its 77 s.
        {"an outage across the end of the hour repeated",
         repeatedHour,
         {"Sun Oct 27 02:59:20 2024", "Sun Oct 27 02:59:50 2024", "Sun Oct 27 03:00:20 2024",
          "Sun Oct 27 03:00:37 2024"},
         150min,
         150min,
         77s,
         157s},
        // Stopped on a Friday in summer time, started on the Monday after it ended: the log's
        // local times are placed by the offset the record shows holding then.
        {"the outage after the end of summer time",
         {"2024-10-25T16:00:00+02:00" + linux, "2024-10-25T16:05:00+02:00 watching",
          "2024-10-25T16:10:00+02:00 stopped", "2024-10-28T09:00:00+01:00" + linux,
          "2024-10-28T09:05:00+01:00 watching", "2024-10-28T09:10:00+01:00 watching",
          "2024-10-28T09:15:00+01:00 watching", "2024-10-28T09:20:00+01:00 stopped"},
         {"Mon Oct 28 09:12:00 2024", "Mon Oct 28 09:13:10 2024"},
         66h + 20min,
         30min,
         70s,
         150s},
        {"the clock set right after the start: the record from its earliest line to its latest",
         clockSetRight,
         {},
         179min,
         179min,
         0s,
         0s},
        {"a crash mid-line: the next start run on after the torn fragment",
         {at("10:00") + linux, at("10:05") + " watching",
          at("10:07").substr(0, 15) + at("12:00") + linux, at("12:05") + " watching",
          at("12:10") + " stopped"},
         {},
         130min,
         15min,
         0s,
         0s},
        {"lines before any start count as a watcher's",
         {at("10:00") + " watching", at("10:05") + " watching", at("10:10") + " stopped"},
         {},
         10min,
         10min,
         0s,
         0s},
        {"a monitor that fails to start, or to start again, is not watching",
         {at("10:00") + " started os=linux monitor-failed=\"no such file\"",
          at("10:05") + " watching", at("10:05:10") + " monitor-started failed=x",
          at("10:10") + " monitor-started monitor=5", at("10:15") + " stopped"},
         {},
         15min,
         5min,
         0s,
         0s},
        // Time went back: two outages overlap, and count once.
        {"overlapping outages",
         {at("10:00") + linux, at("10:05") + " watching", at("10:10") + " stopped"},
         {"Mon Feb 12 10:05:00 2024", "Mon Feb 12 10:06:00 2024", "Mon Feb 12 10:05:30 2024"},
         10min,
         10min,
         60s,
         140s},
    };
    for (const auto& [name, record, checks, period, watched, leastDown, mostDown] : cases) {
        const report::Report figures = reportOf(coverageOf(lines(record)), checks);
        ASSERT_TRUE(figures.watch) << name;
        EXPECT_EQ(figures.watch->problem, "") << name;
        EXPECT_EQ(figures.watch->period, period) << name;
        EXPECT_EQ(figures.watch->watched, watched) << name;
        EXPECT_EQ(figures.watch->leastDown, leastDown) << name;
        EXPECT_EQ(figures.watch->mostDown, mostDown) << name;
    }
    // Sleep is drawn as sleep; a clock set forward is not.
    for (const auto& [change, asleep] :
         {std::pair{" asleep for=3240s", 1U}, {" clock-changed by=+3600s", 0U}}) {
        const std::string record =
            lines({at("10:00") + linux, at("11:00") + change + " from=" + at("10:06")});
        EXPECT_EQ(coverageOf(record).asleep.size(), asleep) << change;
    }
}

TEST(Coverage, ALocalTimeTakesTheOffsetTheRecordShowsHoldingThen) {
    // Watched across the end of summer time: 02:00 to 03:00 came twice.
    const sys_seconds changed = sys_days{2024y / 10 / 27} + 1h;
    std::vector<std::string> repeated = everyFiveMinutes(changed - 90min, 31, changed);
    repeated.push_back(repeated.back().substr(0, 25) + " stopped");
    // Watched on a Friday in summer time, then for twenty minutes on the Monday after it ended.
    const std::vector<std::string> weekend = {
        "2024-10-25T16:00:00+02:00 started os=linux monitor=2", "2024-10-25T16:10:00+02:00 stopped",
        "2024-10-28T09:00:00+01:00 started os=linux monitor=2",
        "2024-10-28T09:20:00+01:00 stopped"};
    const local_days sunday{2024y / 10 / 27};
    const local_days monday{2024y / 10 / 28};
    const struct {
        const char* name;
        const std::vector<std::string>& record;
        LocalTime local;
        sys_seconds utc;
    } cases[] = {
        {"the repeated hour, watched both times: the first", repeated,
         LocalTime{sunday + 2h + 30min}, changed - 30min},
        {"Monday, the weekend unwatched", weekend, LocalTime{monday + 9h + 12min},
         sys_days{monday.time_since_epoch()} + 8h + 12min},
        {"minutes after Monday's last line: the silence its lines vouch for", weekend,
         LocalTime{monday + 9h + 23min}, sys_days{monday.time_since_epoch()} + 8h + 23min},
        {"Sunday, nothing shown: the offset given last before", weekend, LocalTime{sunday + 12h},
         sys_days{sunday.time_since_epoch()} + 10h},
    };
    for (const auto& [name, record, local, utc] : cases) {
        EXPECT_EQ(coverageOf(lines(record)).utcOf(local), utc) << name;
    }
    // And back: the offset in force at a moment, on each side of the change.
    EXPECT_EQ(coverageOf(lines(repeated)).offsetAt(changed - 10min), 2h);
    EXPECT_EQ(coverageOf(lines(repeated)).offsetAt(changed + 10min), 1h);
}

TEST(Coverage, TheDaysSelectedAreThePeriodBothIncluded) {
    // Watched for three days at +01:00; the middle one selected.
    const sys_seconds start = sys_days{2024y / 2 / 11} - 1h;
    const std::vector<std::string> record = everyFiveMinutes(start, 3 * 288 + 1, start);
    const local_days twelfth{2024y / 2 / 12};
    const report::Report figures =
        reportOf(coverageOf(lines(record)), {}, report::Period{twelfth, twelfth});
    EXPECT_EQ(figures.watch->period, 24h);
    EXPECT_EQ(figures.watch->watched, 24h);

    // A check just after midnight, its margin reaching back into a session of the day before.
    std::vector<std::string> overMidnight =
        everyFiveMinutes(sys_days{2024y / 2 / 12} - 2h, 12, start);
    overMidnight.insert(overMidnight.end(), {"2024-02-11T23:59:50+01:00 stopped",
                                             at("00:00:05") + " started os=linux monitor=2",
                                             at("00:05") + " watching", at("00:10") + " stopped"});
    const report::Report night =
        reportOf(coverageOf(lines(overMidnight)), {"Mon Feb 12 00:00:10 2024"}, {twelfth, twelfth});
    EXPECT_EQ(night.watch->period, 10min);
    EXPECT_EQ(night.watch->mostDown, 45s) << "from its start to the margin's end, that day alone";
}

TEST(Coverage, TornAndForeignLinesAreSkippedAndCounted) {
    const std::string check = " diagnosis check=\"Mon Feb 12 10:11:50 2024\" verdict=provider";
    const auto coverage = coverageOf(
        lines({at("10:00") + " started os=linux monitor=2", "typed by hand",
               at("10:05") + " watching",
               // Lines cut short wherever the cut fell, none read: in the event word, in a quoted
               // value, at a field's end, and one the watcher marked as cut.
               at("10:06") + " watchi", at("10:06") + check + " stopped-after=\"100.64.0.1 (ho",
               at("10:06") + check + " took=2.3s", at("10:06") + check + " to\x18",
               at("10:10").substr(0, 20), std::string(20'000, 'x')}) +
        // A last line a crash cut short, its verdict too: never read.
        at("10:12") + check + " path=none");
    EXPECT_EQ(coverage.skippedLines, 8);
    EXPECT_EQ(coverage.firstSkippedLines, (std::vector<long>{2, 4, 5, 6, 7}));
    ASSERT_EQ(coverage.watched.size(), 1U);
    EXPECT_EQ(coverage.watched.front().to.utc, core::record::parseStamp(at("10:05"))->utc)
        << "up to its last whole line";
    EXPECT_TRUE(coverage.diagnoses.empty());
}

TEST(Coverage, EachOutageTakesItsChecksVerdicts) {
    const LocalTime noon{local_days{2024y / 2 / 12} + 12h};
    const struct {
        const char* name;
        std::initializer_list<Verdict> causes;
        long checks, unwatched;
        Cause counted;
        const char* shown;
    } cases[] = {
        {"one verdict", {Verdict::provider}, 3, 0, Verdict::provider, "provider"},
        {"verdicts that differ, in order",
         {Verdict::provider, Verdict::dns},
         3,
         0,
         Verdict::provider,
         "provider, then dns"},
        {"cleared gives way",
         {Verdict::cleared, Verdict::local},
         2,
         0,
         Verdict::local,
         "cleared, then local"},
        {"unknown gives way",
         {Verdict::unknown, Verdict::site},
         2,
         0,
         Verdict::site,
         "unknown, then site"},
        {"cleared alone", {Verdict::cleared}, 1, 0, Verdict::cleared, "cleared"},
        {"no check seen by a watcher", {}, 2, 2, Cause::unwatched(), "unwatched"},
        {"watched, never diagnosed", {}, 2, 1, Verdict::unknown, "unknown"},
    };
    for (const auto& [name, causes, checks, unwatched, counted, shown] : cases) {
        const report::Outage outage{noon, noon, checks, causes, unwatched, {}, {}, {}, {}, false};
        EXPECT_EQ(report::primaryCause(outage).name(), counted.name()) << name;
        EXPECT_EQ(report::causeList(outage), shown) << name;
    }
}

TEST(Coverage, TheOutputsCarryTheCauses) {
    // The clock set back a minute at 10:06: 10:05:00 came twice, each time diagnosed on its own.
    const auto coverage = coverageOf(lines(
        {at("09:50") + " started os=linux monitor=2", at("09:55") + " stopped",
         at("10:00") + " started os=linux monitor=2", at("10:05") + " watching",
         at("10:05:20") + " diagnosis check=\"Mon Feb 12 10:05:00 2024\" verdict=dns path=none",
         at("10:05:50") + " diagnosis check=\"Mon Feb 12 10:05:31 2024\" verdict=provider "
                          "stopped-after=\"100.64.0.1 (hop 2)\" path=none",
         at("10:05") + " clock-changed by=-60s from=" + at("10:06"),
         at("10:05:20") + " diagnosis check=\"Mon Feb 12 10:05:00 2024\" verdict=provider "
                          "stopped-after=\"2001:db8:64::1 (hop 2)\" path=none",
         at("10:10") + " stopped"}));
    // A check of its own before them, never diagnosed: no verdict of a later check is its.
    const report::Report figures =
        reportOf(coverage, {"Mon Feb 12 10:02:00 2024", "Mon Feb 12 10:05:00 2024",
                            "Mon Feb 12 10:05:31 2024", "Mon Feb 12 10:05:00 2024"});
    const std::string csv = report::csvTable(figures);
    for (const char* row :
         {"2024-02-12T10:02:00,2024-02-12T10:02:00,1,0,unknown,,2024-02-12T09:02:00Z,"
          "2024-02-12T09:02:00Z\n",
          "2024-02-12T10:05:00,2024-02-12T10:05:31,2,31,\"dns, then provider\",,"
          "2024-02-12T09:05:00Z,2024-02-12T09:05:31Z\n",
          "2024-02-12T10:05:00,2024-02-12T10:05:00,1,0,provider,2001:db8:64::1 (hop 2),"
          "2024-02-12T09:05:00Z,2024-02-12T09:05:00Z\n"}) {
        EXPECT_NE(csv.find(row), std::string::npos) << row << csv;
    }
    const std::string metrics = report::metrics(figures);
    for (const char* line : {"connectivity_outages_total{cause=\"dns\"} 1\n",
                             "connectivity_outages_total{cause=\"site\"} 0\n",
                             "connectivity_outage_seconds_total{cause=\"dns\"} 31\n",
                             "connectivity_watched_seconds_total 900\n"}) {
        EXPECT_NE(metrics.find(line), std::string::npos) << line << metrics;
    }
    EXPECT_EQ(metrics.find("connectivity_outages_total 3"), std::string::npos) << metrics;
    const std::string summary = report::textSummary(figures, "log");
    for (const char* said :
         {"Watched 0h 15m of 0h 20m (75.0%); available 78.77% to 96.56% of the watched time",
          "adds on each side 40 s,",
          "provider\n    the path stopped after 2001:db8:64::1 (hop 2)\n",
          "the path stopped after 2001:db8:64::1 (hop 2) in 1 of them\n"}) {
        EXPECT_NE(summary.find(said), std::string::npos) << said << summary;
    }
    EXPECT_EQ(summary.find(" 0 outages"), std::string::npos) << "only the causes that occurred";
    // Coloured by the cause it counts under, its first.
    const std::string page = report::htmlPage(figures, "log");
    EXPECT_NE(page.find("<span class=\"swatch c-dns\"></span>dns, then provider"),
              std::string::npos);
    // Twenty minutes, not a sliver of a day: the row spans the period, its unwatched five
    // minutes hatched where they are.
    EXPECT_NE(page.find("viewBox=\"0 0 1200 100\""), std::string::npos);
    EXPECT_NE(page.find("x=\"300\" y=\"0\" width=\"300\" height=\"100\"><title>not watched"),
              std::string::npos);
}

TEST(Coverage, WhatTheRecordCannotTellIsSaidNotGuessed) {
    const std::vector<std::string> check = {"Mon Feb 12 10:05:00 2024"};
    report::Coverage unreadable;
    unreadable.problem = "Is a directory";
    const report::Report figures = reportOf(unreadable, check);
    EXPECT_NE(report::csvTable(figures).find(",1,0,,,,\n"), std::string::npos) << "no cause";
    EXPECT_NE(report::textSummary(figures, "log").find("could not be read (Is a directory)"),
              std::string::npos);
    const std::string unwatched = report::textSummary(
        reportOf(coverageOf(lines({at("10:05") + " started os=linux monitor=2"})), check), "log");
    EXPECT_NE(unwatched.find("; no watched time to measure availability in"), std::string::npos)
        << unwatched;
    const std::string third = report::textSummary(
        reportOf(coverageOf(lines({at("10:00") + " started os=linux monitor=2",
                                   at("10:01:40") + " stopped",
                                   at("10:05") + " started os=linux monitor=2"})),
                 check),
        "log");
    EXPECT_NE(third.find("Watched 0h 01m of 0h 05m (33.3%)"), std::string::npos) << "never more";
    // The first minutes: a watcher that still runs has watched until now, its 10:00 at +01:00.
    const std::string running = report::textSummary(
        reportOf(coverageOf(lines({at("10:00") + " started os=linux monitor=2"}),
                            sys_days{2024y / 2 / 12} + 9h + 3min),
                 {}),
        "log");
    EXPECT_NE(running.find("Watched 0h 03m of 0h 03m (100.0%)"), std::string::npos) << running;
    // The notes fill the console's 80 columns and never pass them, whatever the names in them.
    for (std::size_t length = 1; length < 40; ++length) {
        unreadable.source = std::string(length, 'r');
        const std::string summary = report::textSummary(reportOf(unreadable, check), "log");
        for (std::size_t start = 0, end; (end = summary.find('\n', start)) != std::string::npos;
             start = end + 1) {
            EXPECT_LE(end - start, 80U) << summary.substr(start, end - start);
        }
    }
}

TEST(Coverage, AnOutageSaysWhereItsPathStoppedFromAnyOfItsChecks) {
    // A diagnosis line of the record: its check at 10:0M:00 and 10:0M:30, its verdict and stop.
    const auto diagnosis = [](const char* check, const char* verdict, const char* stop) {
        return at("10:05") + " diagnosis check=\"Mon Feb 12 " + check +
               " 2024\" verdict=" + verdict +
               (*stop != '\0' ? std::string(" stopped-after=\"") + stop + "\"" : "") + " path=none";
    };
    const struct {
        const char* name;
        std::vector<std::string> diagnoses; // of the outage's two checks, 10:01:00 and 10:01:30
        const char* stop;
        const char* counted; // the cause both outages count under
    } cases[] = {
        {"the first traced no path; the second, of the same verdict, did",
         {diagnosis("10:01:00", "provider", ""),
          diagnosis("10:01:30", "provider", "100.64.0.1 (hop 2)")},
         "100.64.0.1 (hop 2)",
         "provider"},
        {"cleared first, the provider after: the provider's stop",
         {diagnosis("10:01:00", "cleared", ""),
          diagnosis("10:01:30", "provider", "100.64.0.1 (hop 2)")},
         "100.64.0.1 (hop 2)",
         "provider"},
        {"the first of two stops of the cause it counts under",
         {diagnosis("10:01:00", "site", "198.51.100.1 (hop 5)"),
          diagnosis("10:01:30", "site", "198.51.100.2 (hop 6)")},
         "198.51.100.1 (hop 5)",
         "site"},
        {"a stop beside a verdict no path explains says nothing",
         {diagnosis("10:01:00", "dns", "100.64.0.1 (hop 2)")},
         "",
         "dns"},
    };
    for (const auto& [name, diagnoses, stop, counted] : cases) {
        std::vector<std::string> record = {at("10:00") + " started os=linux monitor=2"};
        record.insert(record.end(), diagnoses.begin(), diagnoses.end());
        // A second outage of the same cause, with no stop: one of the two stopped there.
        record.push_back(diagnosis("10:20:00", counted, ""));
        record.push_back(at("10:30") + " stopped");
        const report::Report figures = reportOf(
            coverageOf(lines(record)),
            {"Mon Feb 12 10:01:00 2024", "Mon Feb 12 10:01:30 2024", "Mon Feb 12 10:20:00 2024"});
        ASSERT_EQ(figures.outages.size(), 2U) << name;
        EXPECT_EQ(report::stoppedAfter(figures.outages.front()), stop) << name;
        const std::string csv = report::csvTable(figures);
        EXPECT_NE(csv.find(std::string(",") + stop + ",2024-02-12T09:01:00Z,"), std::string::npos)
            << name << csv;
        const std::string summary = report::textSummary(figures, "log");
        EXPECT_NE(summary.find(std::string(counted) + "   "), std::string::npos) << name;
        EXPECT_NE(summary.find(" 2 outages "), std::string::npos) << name << summary;
        EXPECT_EQ(summary.find(std::string("the path stopped after ") + stop + " in 1 of them\n") !=
                      std::string::npos,
                  *stop != '\0')
            << name << summary;
    }
}

TEST(Coverage, ALongLogOpensWithACalendarWhoseDaysMatchTheOutages) {
    // A hundred days watched but for the last ten; a failed check on days 5, 40 and 90, the last
    // one unwatched, and an outage of two hours on day 40.
    const sys_seconds start = sys_days{2024y / 1 / 1};
    const auto stamp = [](sys_seconds moment) { return core::record::stampText({moment, 0s}); };
    std::string record = stamp(start) + " started os=linux monitor=2\n";
    for (sys_seconds moment = start + minutes{5}; moment < start + days{90}; moment += minutes{5}) {
        record += stamp(moment) + " watching\n";
    }
    record += stamp(start + days{90}) + " stopped\n" + stamp(start + days{100}) +
              " started os=linux monitor=2\n";
    std::vector<std::string> checks = {"Fri Jan  5 12:00:00 2024", "Fri Feb  9 10:00:00 2024"};
    for (int i = 1; i <= 240; ++i) { // every 30 s for two hours
        const LocalTime moment = LocalTime{local_days{2024y / 2 / 9} + 10h + seconds{30 * i}};
        const std::time_t time = (moment.time_since_epoch()).count();
        std::tm fields{};
        ::gmtime_r(&time, &fields);
        std::array<char, 32> text{};
        std::strftime(text.data(), text.size(), "%a %b %e %H:%M:%S %Y", &fields);
        checks.emplace_back(text.data());
    }
    checks.emplace_back("Sun Mar 31 08:00:00 2024");
    const std::string page = report::htmlPage(reportOf(coverageOf(record), checks), "log");
    const std::regex square(
        R"(<rect x="\d+" y="\d+" width="11" height="11" class="(d\d)( unwatched)?"><title>([^<]*)</title>)");
    std::map<std::string, int> classes;
    std::vector<std::string> failedDays;
    for (auto found = std::sregex_iterator(page.begin(), page.end(), square);
         found != std::sregex_iterator(); ++found) {
        ++classes[(*found)[1].str() + (*found)[2].str()];
        if ((*found)[1] != "d0") {
            failedDays.push_back((*found)[3].str().substr(0, 14));
        }
    }
    EXPECT_EQ(failedDays,
              (std::vector<std::string>{"Fri 2024-01-05", "Fri 2024-02-09", "Sun 2024-03-31"}));
    EXPECT_EQ(classes["d1"], 2) << "a lone check each";
    EXPECT_EQ(classes["d3"], 1) << "two hours down";
    EXPECT_EQ(classes["d0 unwatched"], 10) << "the unwatched days but the one with a check";
    EXPECT_EQ(classes["d0"] + classes["d0 unwatched"] + 3, 101);
    EXPECT_NE(
        page.find("<title>Fri 2024-02-09: 241 failed checks, down 2h 00m 00s; watched 24h 00m"),
        std::string::npos);
}

TEST(Coverage, QualityWhileUpInEveryOutput) {
    // Four windows of five minutes from 19:00: the third and fourth lost 20% past the edge; one
    // line a person edited to more answers than probes, one cut in a figure, one with a group
    // twice.
    const auto window = [](const char* end, const std::string& internet, const char* extra = "") {
        return at(end) + " quality span=300s ipv4-gateway=30/30/0.5/0.5/0.6/0.7/0.9/0.1 " +
               "ipv4-internet=" + internet + extra + " name=23ms";
    };
    const std::string clean = "30/30/10.0/10.5/12.0/14.0/20.0/1.0";
    const std::string lossy = "30/24/11.0/11.5/13.0/15.0/22.0/1.5";
    const auto coverage = coverageOf(lines(
        {at("18:59") + " started os=linux monitor=2", window("19:05", clean, ""),
         window("19:10", clean, ""), window("19:15", lossy, " degraded=ipv4-internet"),
         window("19:20", lossy, " degraded=ipv4-internet"),
         window("19:25", "30/31/10.0/10.5/12.0/14.0/20.0/1.0", ""), window("19:30", "30/3", ""),
         window("19:30", clean, " ipv4-internet=30/0/-/-/-/-/-/-"), at("19:30") + " stopped"}));
    EXPECT_EQ(coverage.skippedLines, 3) << "more answers than probes, a cut, a group twice";
    const report::Report figures = reportOf(coverage, {});
    const std::string summary = report::textSummary(figures, "log");
    for (const char* said : {"Quality while up, from 4 windows (20m 00s)",
                             "ipv4 gateway       0.6     0.6     0.00%      0.1  19h 0.6\n",
                             "ipv4 internet     12.0    13.0    10.00%      1.2  19h 12.4\n",
                             "The site's name resolved in 23.0 ms (the median of 4 lookups).",
                             "2024-02-12 19:10 to 19:20      10m 00s  provider: 20% loss\n"}) {
        EXPECT_NE(summary.find(said), std::string::npos) << said << summary;
    }
    const std::string metrics = report::metrics(figures);
    for (const char* line :
         {"connectivity_probes_sent_total{family=\"ipv4\",segment=\"internet\"} 120\n",
          "connectivity_probes_answered_total{family=\"ipv4\",segment=\"internet\"} 108\n",
          "connectivity_round_trip_median_seconds{family=\"ipv4\",segment=\"internet\"} 0.013\n",
          "connectivity_probe_loss_ratio{family=\"ipv4\",segment=\"internet\"} 0.2\n"}) {
        EXPECT_NE(metrics.find(line), std::string::npos) << line << metrics;
    }
    std::FILE* file = std::tmpfile();
    const std::string record = lines({window("19:15", lossy, " degraded=ipv4-internet")});
    std::fwrite(record.data(), 1, record.size(), file);
    std::rewind(file);
    std::string csv;
    EXPECT_EQ(report::qualityCsv(file, {},
                                 [&](std::string_view piece) {
                                     csv += piece;
                                     return 0;
                                 }),
              0);
    std::fclose(file);
    EXPECT_NE(
        csv.find("\n2024-02-12T19:10:00,2024-02-12T19:15:00,ipv4,internet,30,24,20.0,11.0,"
                 "11.5,13.0,15.0,22.0,1.5,yes,23,2024-02-12T18:10:00Z,2024-02-12T18:15:00Z\n"),
        std::string::npos)
        << csv;
    const std::string page = report::htmlPage(figures, "log");
    EXPECT_NE(page.find("<h2>Quality while up</h2>"), std::string::npos);
    EXPECT_NE(page.find("<polygon class=\"band\""), std::string::npos);
    // Beyond 62 days a row a week by the hour: two lossy hours of one height are one loss mark.
    std::vector<std::string> weeks = {at("09:59") + " started os=linux monitor=2"};
    for (int minute = 5; minute <= 120; minute += 5) {
        const std::string clock =
            (minute < 60 ? "10:" : "11:") + std::to_string(100 + minute % 60).substr(1);
        weeks.push_back(window(minute == 120 ? "12:00" : clock.c_str(), lossy));
    }
    weeks.emplace_back("2024-04-22T10:00:00+01:00 stopped");
    const std::string weekly = report::htmlPage(reportOf(coverageOf(lines(weeks)), {}), "log");
    EXPECT_NE(weekly.find("<path class=\"loss\" d=\"M36000 96h7200v4H36000z\">"), std::string::npos)
        << weekly.substr(weekly.find("Quality while up"), 3000);
}

TEST(Coverage, ThePageIsEvidenceAProviderReads) {
    const std::string diagnosis =
        at("10:05:40") +
        " diagnosis check=\"Mon Feb 12 10:05:00 2024\" verdict=provider took=2.4s "
        "local=\"ipv4: 192.168.1.1 answers an ICMP echo\" dns=\"192.168.1.1: no such name "
        "(NXDOMAIN)\" beyond=\"1.1.1.1: silent\" site=\"ipv4: 142.250.1.1: silent\" "
        "path=\"ipv4 to 1.1.1.1: 192.168.1.1, 100.64.0.1, then silent (hops 3 to 16)\" "
        "stopped-after=\"100.64.0.1 (hop 2)\"";
    const std::string down = at("10:05:45") + " message change=down since=" + at("10:05:15") +
                             " first-check=\"Mon Feb 12 10:05:00 2024\" cause=provider text=x "
                             "shown=shown";
    const std::vector<std::string> record = {
        at("10:00") + " started os=linux monitor=2 machine=\"kitchen <pc>\"", diagnosis, down,
        at("10:08") + " watching"};
    const std::vector<std::string> checks = {"Mon Feb 12 10:05:00 2024",
                                             "Mon Feb 12 10:05:30 2024"};
    report::Report figures = reportOf(coverageOf(lines(record)), checks);
    figures.about = {"Flat <3>", "here", core::record::Stamp{sys_days{2024y / 2 / 13}, 1h}, "9.9"};
    const std::string page = report::htmlPage(figures, "log");
    for (const char* shown :
         {"<title>Internet outages, Flat &lt;3&gt;, ", "<p class=\"subject\">Flat &lt;3&gt;</p>",
          "Watched on <strong>kitchen &lt;pc&gt;</strong>",
          "Made 2024-02-13T01:00:00+01:00 by connectivity-report 9.9 on here.",
          "<td data-label=\"Start\">2024-02-12 10:05:00 <span class=\"offset\">UTC+01:00</span>",
          "<span class=\"ongoing\">still going on</span>",
          "<dt>Name service</dt><dd>192.168.1.1: no such name (NXDOMAIN)</dd>",
          "<li>192.168.1.1</li><li class=\"stop\">100.64.0.1 <strong>(the path stops after",
          "</ol><p>then silent (hops 3 to 16)</p>", "<code>provider</code></dt>",
          "<dt>Period</dt><dd>2024-02-12 10:00:00 to 2024-02-12 10:08:00</dd>"}) {
        EXPECT_NE(page.find(shown), std::string::npos) << shown;
    }
    EXPECT_EQ(page.find("<code>local</code></dt>"), std::string::npos)
        << "only causes that occurred";
    EXPECT_NE(report::textSummary(figures, "log").find("still going on"), std::string::npos);
    // Said to be back, or a record that goes on past it without a word: over.
    for (const std::string& after :
         {at("10:06:30") + " message change=up since=" + at("10:05:15") +
              " first-check=\"Mon Feb 12 10:05:00 2024\" cause=provider text=x shown=shown",
          at("10:11") + " watching"}) {
        std::vector<std::string> ended = record;
        ended.push_back(after);
        EXPECT_EQ(report::htmlPage(reportOf(coverageOf(lines(ended)), checks), "log")
                      .find("still going on"),
                  std::string::npos)
            << after;
    }
}
