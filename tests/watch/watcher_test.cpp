// The watcher's logic on its own clocks: sleep and clock changes, still-watching lines, restarts,
// the log's spells, one diagnosis at a time, the verdict rule, and when the person is told.
#include <gtest/gtest.h>

#include "desktop.h"
#include "watcher.h"

using namespace std::chrono;
using namespace std::chrono_literals;
using watch::Change;
using watch::Readings;
namespace record = core::record;

namespace {

// Summer time until this moment, winter time after: the repeated hour is in the record's stamps.
const sys_seconds dstEnds = sys_days{2026y / 10 / 25} + 1h;

class FakeWorld final : public watch::World {
  public:
    std::vector<std::string> lines;
    std::vector<Change> changes;
    int diagnoses = 0;
    bool monitorStarts = true;
    long nextMonitor = 100;

    void append(const std::string& line) override { lines.push_back(line); }
    std::optional<long> startMonitor(std::string& why) override {
        why = "no such file";
        return monitorStarts ? std::optional(++nextMonitor) : std::nullopt;
    }
    void diagnose() override { ++diagnoses; }
    void announce(const Change& change) override { changes.push_back(change); }
    seconds offsetAt(sys_seconds moment) override { return moment < dstEnds ? 2h : 1h; }

    // Each line as "event field=value..." without its stamp, and the stamps apart.
    std::vector<std::string> events() const {
        std::vector<std::string> events;
        for (const std::string& line : lines) {
            const std::string_view text(line.data(), line.size() - 1); // without its line end
            const auto parsed = record::parseLine(text);
            EXPECT_TRUE(parsed) << line;
            events.push_back(parsed ? std::string(parsed->event) +
                                          (parsed->fields.empty() ? "" : " ") +
                                          std::string(parsed->fields)
                                    : line);
        }
        return events;
    }
};

// The three clocks, stepped by hand.
struct Clocks {
    sys_time<milliseconds> wall = dstEnds - 30min;
    milliseconds awake{1'000'000};
    milliseconds sinceBoot{2'000'000};
    Readings now(FakeWorld& world) const {
        return {wall, world.offsetAt(floor<seconds>(wall)), awake, sinceBoot};
    }
    void step(milliseconds wallBy, milliseconds awakeBy, milliseconds bootBy) {
        wall += wallBy;
        awake += awakeBy;
        sinceBoot += bootBy;
    }
    void run(milliseconds by) { step(by, by, by); }
};

struct Fixture {
    FakeWorld world;
    Clocks clocks;
    watch::Watcher watcher{world, watch::Settings{}};
    explicit Fixture(bool monitorStarts = true) {
        world.monitorStarts = monitorStarts;
        watcher.start(clocks.now(world), "9.9", "linux", 7);
        world.monitorStarts = true;
    }
    // Half-second ticks for as long as given, as the loop makes them.
    void tickFor(milliseconds span) {
        for (milliseconds done{0}; done < span; done += 500ms) {
            clocks.run(500ms);
            watcher.tick(clocks.now(world));
        }
    }
    void fail(const std::string& timeText) {
        watcher.failedCheck(clocks.now(world), {timeText, std::nullopt});
    }
    void diagnosed(bool siteAnswers) {
        watch::Observations seen;
        seen.site = {{"ipv4", siteAnswers, ""}};
        seen.gateways = {{"ipv4", true, true, ""}};
        watcher.diagnosed(clocks.now(world), {seen, 1200ms});
    }
};

} // namespace

TEST(Watcher, StartsWithWhatItIsAndTheMonitorItStarted) {
    Fixture watching;
    EXPECT_EQ(watching.world.events(),
              std::vector<std::string>{"started version=9.9 os=linux watcher=7 monitor=101"});
    EXPECT_TRUE(watching.world.lines[0].starts_with("2026-10-25T02:30:00+02:00 "));
}

TEST(Watcher, SleepAndClockChangesAreReadFromTheClocks) {
    const struct {
        const char* name;
        milliseconds wall, awake, boot;
        std::vector<std::string> expected;
    } cases[] = {
        {"steady", 500ms, 500ms, 500ms, {}},
        {"drift within tolerance", 2s, 500ms, 500ms, {}},
        // Asleep for an hour, across the end of summer time: the stamps say +02:00, then +01:00.
        {"asleep", 1h, 0ms, 1h, {"asleep from=2026-10-25T02:30:00+02:00 for=3600s"}},
        {"clock set forward",
         1h,
         500ms,
         500ms,
         {"clock-changed by=+3599s from=2026-10-25T02:30:00+02:00"}},
        {"clock set back",
         -10min,
         500ms,
         500ms,
         {"clock-changed by=-600s from=2026-10-25T02:30:00+02:00"}},
        // The hour repeated when summer time ended: the same local time, another offset.
        {"asleep while the clock was set",
         2h,
         0ms,
         1h,
         {"asleep from=2026-10-25T02:30:00+01:00 for=3600s",
          "clock-changed by=+3600s from=2026-10-25T02:30:00+01:00"}},
    };
    for (const auto& [name, wall, awake, boot, expected] : cases) {
        Fixture watching;
        watching.world.lines.clear();
        watching.clocks.step(wall, awake, boot);
        watching.watcher.tick(watching.clocks.now(watching.world));
        EXPECT_EQ(watching.world.events(), expected) << name;
    }
}

TEST(Watcher, StillWatchingLinesComeEveryPeriodOfAwakeTime) {
    Fixture watching;
    watching.tickFor(601s);
    const auto events = watching.world.events();
    EXPECT_EQ(std::count(events.begin(), events.end(), "watching"), 2);
    ASSERT_EQ(watching.world.lines.size(), 3U);
    EXPECT_TRUE(watching.world.lines[1].starts_with("2026-10-25T02:35:00+02:00 watching"));
    EXPECT_TRUE(watching.world.lines[2].starts_with("2026-10-25T02:40:00+02:00 watching"));
}

TEST(Watcher, AMonitorThatFailsToStartIsStartedAgainAfterTenSeconds) {
    Fixture watching(false);
    EXPECT_EQ(watching.world.events().back(),
              "started version=9.9 os=linux watcher=7 monitor-failed=\"no such file\"");
    watching.tickFor(10s);
    EXPECT_EQ(watching.world.events().back(), "monitor-started monitor=101");
    // A record begun anew after the old one was moved starts as a record does.
    watching.watcher.restate(watching.clocks.now(watching.world));
    EXPECT_EQ(watching.world.events().back(),
              "started version=9.9 os=linux watcher=7 monitor=101 record=\"begun anew: the one "
              "before was moved or deleted\"");
}

TEST(Watcher, AnEndedMonitorIsStartedAgainAfterTenSecondsUntilItStarts) {
    Fixture watching;
    watching.world.monitorStarts = false;
    watching.watcher.monitorEnded(watching.clocks.now(watching.world), "ended by SIGKILL");
    watching.tickFor(9500ms);
    EXPECT_EQ(watching.world.events().back(), "monitor-ended how=\"ended by SIGKILL\"");
    watching.tickFor(500ms);
    EXPECT_EQ(watching.world.events().back(), "monitor-started failed=\"no such file\"");
    watching.world.monitorStarts = true;
    watching.tickFor(10s);
    EXPECT_EQ(watching.world.events().back(), "monitor-started monitor=102");
    watching.watcher.stop(watching.clocks.now(watching.world), "SIGTERM");
    watching.watcher.monitorEnded(watching.clocks.now(watching.world), "ended by SIGTERM");
    watching.tickFor(20s);
    EXPECT_EQ(watching.world.events().back(), "stopped reason=SIGTERM");
}

TEST(Watcher, TheLogsSpellsAreRecordedOnceEach) {
    Fixture watching;
    const auto now = [&] { return watching.clocks.now(watching.world); };
    for (const char* problem : {"", "the log is a folder", "Permission denied", "", "", "full"}) {
        watching.watcher.logProblem(now(), problem);
    }
    const auto events = watching.world.events();
    EXPECT_EQ(std::vector(events.begin() + 1, events.end()),
              (std::vector<std::string>{"log-unwritable reason=\"the log is a folder\"",
                                        "log-writable", "log-unwritable reason=full"}));
    // What keeps the evidence from being kept shows before an outage going on.
    watching.fail("Sun Oct 25 02:30:00 2026");
    EXPECT_EQ(watching.watcher.state().kind, watch::State::Kind::logUnwritable);
    EXPECT_EQ(watching.watcher.state().problem, "the log cannot be written: full");
    watching.watcher.logProblem(now(), "");
    EXPECT_EQ(watching.watcher.state().kind, watch::State::Kind::offline);
    watching.watcher.recordProblem("Access is denied");
    EXPECT_EQ(watching.watcher.state().problem,
              "the record connectivityWatch.txt cannot be written: Access is denied");
}

TEST(Watcher, OneDiagnosisAtATimeAndChecksThatCameMeanwhileShareTheNext) {
    Fixture watching;
    watching.fail("Sun Oct 25 02:30:00 2026");
    watching.fail("Sun Oct 25 02:30:31 2026");
    watching.fail("Sun Oct 25 02:31:02 2026");
    EXPECT_EQ(watching.world.diagnoses, 1);
    watching.diagnosed(false);
    EXPECT_EQ(watching.world.diagnoses, 2);
    watching.diagnosed(true);
    std::vector<std::string> checks;
    for (const std::string& line : watching.world.lines) {
        const auto parsed = record::parseLine(std::string_view(line.data(), line.size() - 1));
        if (parsed->event == record::event::diagnosis) {
            checks.push_back(std::string(parsed->field("check")) + " " +
                             std::string(parsed->field("verdict")));
        }
    }
    EXPECT_EQ(checks, (std::vector<std::string>{"Sun Oct 25 02:30:00 2026 provider",
                                                "Sun Oct 25 02:30:31 2026 cleared",
                                                "Sun Oct 25 02:31:02 2026 cleared"}));
}

TEST(Watcher, TellsOnceWhenTheConnectionDropsAndOnceWhenItReturns) {
    using Kind = Change::Kind;
    const auto down = [](const char* cause) { return std::pair{Kind::down, std::string(cause)}; };
    const auto up = std::pair{Kind::up, std::string()};
    // A script of steps: 'f' a failed check, 'd' its diagnosis back, a number of seconds ticked,
    // 's' an hour asleep, 'x' the watcher stopped.
    const struct {
        const char* name;
        std::vector<std::string> steps;
        std::vector<std::pair<Kind, std::string>> expected;
        long lastChecks = 0; // in the last "back" message
        seconds lastSpan{0}; // the same: on the watcher's own clock, asleep not counted
    } cases[] = {
        {"an outage of several checks",
         {"f", "d", "30", "f", "30", "f", "91"},
         {down("provider"), up},
         3,
         60s},
        {"no diagnosis in time", {"f", "13", "f", "91"}, {down(""), up}, 2, 13s},
        // The wait for a cause runs from the first failed check, not the latest.
        {"no diagnosis in time, checks still failing", {"f", "10", "f", "3"}, {down("")}},
        {"gap not yet passed", {"f", "d", "90"}, {down("provider")}},
        {"stopped mid-outage", {"f", "d", "10", "x", "200"}, {down("provider")}},
        {"asleep mid-outage", {"f", "d", "s", "60"}, {down("provider")}},
        {"asleep mid-outage, then the gap", {"f", "d", "s", "91"}, {down("provider"), up}, 1, 0s},
        {"asleep between checks", {"f", "d", "s", "f", "91"}, {down("provider"), up}, 2, 0s},
        {"two outages",
         {"f", "d", "91", "f", "d", "91"},
         {down("provider"), up, down("provider"), up},
         1,
         0s},
    };
    for (const auto& [name, steps, expected, lastChecks, lastSpan] : cases) {
        Fixture watching;
        int failures = 0;
        for (const std::string& step : steps) {
            if (step == "f") {
                watching.fail("check " + std::to_string(++failures));
            } else if (step == "d") {
                watching.diagnosed(false);
            } else if (step == "s") {
                watching.clocks.step(1h, 0ms, 1h);
            } else if (step == "x") {
                watching.watcher.stop(watching.clocks.now(watching.world), "SIGTERM");
            } else {
                watching.tickFor(seconds{std::stoi(step)});
            }
        }
        std::vector<std::pair<Kind, std::string>> told;
        for (const Change& change : watching.world.changes) {
            told.emplace_back(change.kind, change.kind == Kind::down && change.cause
                                               ? std::string(core::wordOf(*change.cause))
                                               : "");
        }
        EXPECT_EQ(told, expected) << name;
        if (lastChecks > 0) {
            EXPECT_EQ(watching.world.changes.back().checks, lastChecks) << name;
            EXPECT_EQ(watching.world.changes.back().span, lastSpan) << name;
        }
    }
}

TEST(Diagnosis, TheVerdictRule) {
    using watch::Verdict;
    using Reply = watch::Observations::Reply;
    const Reply yes{"x", true, ""};
    const Reply no{"x", false, ""};
    const watch::Observations::Gateway routedAnswering{"ipv4", true, true, ""};
    const watch::Observations::Gateway routedSilent{"ipv4", true, false, ""};
    const watch::Observations::Gateway noRoute{"ipv6", false, false, ""};
    const struct {
        const char* name;
        watch::Observations seen;
        Verdict verdict;
    } cases[] = {
        {"all answer", {{routedAnswering}, true, {yes}, {yes, no}, {no, yes}}, Verdict::cleared},
        {"the site alone fails",
         {{routedAnswering}, true, {yes}, {no, yes}, {no, no}},
         Verdict::site},
        {"the name does not resolve",
         {{routedAnswering}, true, {no, no}, {yes}, {no}},
         Verdict::dns},
        {"no nameserver at all", {{routedAnswering}, true, {}, {yes}, {no}}, Verdict::dns},
        {"nothing past the gateway",
         {{noRoute, routedAnswering}, true, {no}, {no, no}, {no}},
         Verdict::provider},
        {"a silent gateway", {{routedSilent, noRoute}, true, {no}, {no}, {no}}, Verdict::local},
        {"no route at all", {{noRoute, noRoute}, true, {no}, {no}, {no}}, Verdict::local},
        {"routes unknown", {{}, false, {no}, {no}, {no}}, Verdict::unknown},
        // A router that answers nothing of ours while the Internet does: not the local link.
        {"silent gateway, answering Internet",
         {{routedSilent}, true, {yes}, {yes}, {no}},
         Verdict::site},
    };
    for (const auto& [name, seen, verdict] : cases) {
        EXPECT_EQ(core::wordOf(watch::verdictOf(seen)), core::wordOf(verdict)) << name;
    }
}

TEST(Desktop, WhatThePersonIsToldInTheirWords) {
    using watch::State;
    using Kind = Change::Kind;
    const sys_seconds tenTwelve = sys_days{2024y / 2 / 12} + 9h + 12min; // 10:12 at +01:00
    const record::Stamp since{tenTwelve, 1h};
    const auto down = [&](std::optional<core::Verdict> cause) {
        return Change{Kind::down, since, "Mon Feb 12 10:12:00 2024", 0s, 1, cause};
    };
    const struct {
        Change change;
        const char* text;
    } changes[] = {
        {down(core::Verdict::local), "No connection since 10:12. Cause: your own network: no route "
                                     "out, or the router does not answer."},
        {down(core::Verdict::dns), "No connection since 10:12. Cause: name service: the Internet "
                                   "answers, the site's name does not resolve."},
        {down(core::Verdict::site), "No connection since 10:12. Cause: the checked site alone: the "
                                    "rest of the Internet answers."},
        {down(std::nullopt), "No connection since 10:12."},
        {{Kind::up, since, "", 0s, 1, {}}, "Back online: one failed check, at 10:12."},
        {{Kind::up, since, "", 192s, 7, {}},
         "Back online after at least 3m 12s (7 failed checks since 10:12)."},
    };
    for (const auto& [change, text] : changes) {
        EXPECT_EQ(watch::changeText(change), text);
    }
    const record::Stamp now{tenTwelve + 2h + 5min, 1h};
    const State offline{State::Kind::offline, since, down(core::Verdict::provider), ""};
    const struct {
        State state;
        const char* tooltip;
    } states[] = {
        {offline, "Connectivity monitor: offline since 10:12 (your provider)"},
        {{State::Kind::online, since, {}, ""},
         "Connectivity monitor: online, last failed check 2 h ago"},
        {{State::Kind::online, record::Stamp{now.utc - 5min, 1h}, {}, ""},
         "Connectivity monitor: online, last failed check 5 min ago"},
        {{State::Kind::logUnwritable, {}, {}, "the log cannot be written: the disk is full"},
         "Connectivity monitor: the log cannot be written: the disk is full"},
    };
    for (const auto& [state, tooltip] : states) {
        EXPECT_EQ(watch::stateText(state, now), tooltip);
    }
}
