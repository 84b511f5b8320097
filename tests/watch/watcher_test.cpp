// The watcher's logic on its own clocks: sleep and clock changes, still-watching lines, restarts,
// the log's spells, one diagnosis at a time, the verdict rule, and when the person is told.
#include <gtest/gtest.h>

#include "desktop.h"
#include "watcher.h"

using namespace std::chrono;
using namespace std::chrono_literals;
using watch::Change;
using watch::Readings;
using Heard = watch::Reply::Heard;
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
    watch::Watcher watcher;
    // recent: the record's last lines as a watcher before this one left them.
    explicit Fixture(bool monitorStarts = true, const std::vector<std::string>& recent = {},
                     const watch::Settings& settings = {})
        : watcher(world, settings) {
        world.monitorStarts = monitorStarts;
        std::vector<record::Line> lines;
        lines.reserve(recent.size());
        for (const std::string& text : recent) {
            lines.push_back(*record::parseLine(text));
        }
        watcher.start(clocks.now(world), {"9.9", "linux", 7, "kitchen pc"}, lines);
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
        seen.site = {
            {"203.0.113.80", siteAnswers ? Heard::answer : Heard::nothing, "", true, 1, 0}};
        seen.siteAddresses = {"203.0.113.80"};
        seen.nameDone = true;
        seen.gateways = {{"ipv4", true, "10.0.0.1", true, "", true, 0, 0}};
        seen.paths = {{"ipv4", "1.1.1.1", {"10.0.0.1", "100.64.0.1"}, "", 0, false, "", true}};
        watcher.diagnosed(clocks.now(world), {seen, 1250ms});
    }
};

} // namespace

TEST(Watcher, StartsWithWhatItIsAndTheMonitorItStarted) {
    Fixture watching;
    EXPECT_EQ(watching.world.events(),
              std::vector<std::string>{
                  "started version=9.9 os=linux watcher=7 machine=\"kitchen pc\" monitor=101"});
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
              "started version=9.9 os=linux watcher=7 machine=\"kitchen pc\" monitor-failed=\"no "
              "such file\"");
    watching.tickFor(10s);
    EXPECT_EQ(watching.world.events().back(), "monitor-started monitor=101");
    // A record begun anew after the old one was moved starts as a record does.
    watching.watcher.restate(watching.clocks.now(watching.world));
    EXPECT_EQ(watching.world.events().back(),
              "started version=9.9 os=linux watcher=7 machine=\"kitchen pc\" monitor=101 "
              "record=\"begun anew: the one "
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
    watching.watcher.logProblem(now(), "full"); // both: the log's, the monitor's own evidence
    EXPECT_EQ(watching.watcher.state().problem, "the log cannot be written: full");
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
                             std::string(parsed->field("verdict")) + " " +
                             std::string(parsed->field("took")));
        }
    }
    EXPECT_EQ(checks, (std::vector<std::string>{"Sun Oct 25 02:30:00 2026 provider 1.3s",
                                                "Sun Oct 25 02:30:31 2026 cleared 1.3s",
                                                "Sun Oct 25 02:31:02 2026 cleared 1.3s"}));
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
        {"its diagnosis after the wait: told once", {"f", "13", "d", "91"}, {down(""), up}, 1, 0s},
        // The wait for a cause runs from the first failed check, not the latest.
        {"no diagnosis in time, checks still failing", {"f", "10", "f", "3"}, {down("")}},
        {"gap not yet passed", {"f", "d", "90"}, {down("provider")}},
        {"stopped mid-outage", {"f", "d", "10", "x", "200"}, {down("provider")}},
        {"asleep mid-outage", {"f", "d", "s", "60"}, {down("provider")}},
        {"asleep mid-outage, then the gap", {"f", "d", "s", "91"}, {down("provider"), up}, 1, 0s},
        {"asleep between checks", {"f", "d", "s", "f", "91"}, {down("provider"), up}, 2, 0s},
        // A diagnosis that outlived its outage; the next outage's first check shares the next.
        {"a diagnosis late, then one for the next outage",
         {"f", "91", "f", "f", "d", "d"},
         {down(""), up, down("provider")}},
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
            if (change.kind == Kind::down && change.cause) {
                EXPECT_EQ(change.evidence, "the router 10.0.0.1 answers, nothing beyond it does; "
                                           "the path stops after 100.64.0.1 (hop 2)")
                    << name;
            }
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

TEST(Watcher, AnOutageToldOfGoesOnAcrossARestart) {
    using Kind = Change::Kind;
    // The last watcher told of an outage at 02:28:30 and saw a second check at 02:29:10; this one
    // starts at 02:30 (summer time, +02:00), as an upgrade or a restart does.
    const std::string down =
        "2026-10-25T02:28:40+02:00 message change=down "
        "since=2026-10-25T02:28:30+02:00 first-check=\"Sun Oct 25 02:28:29 "
        "2026\" cause=provider text=\"No connection since 02:28.\" shown=shown";
    const std::string second = "2026-10-25T02:29:10+02:00 diagnosis check=\"Sun Oct 25 02:29:09 "
                               "2026\" verdict=provider path=none";
    std::string stale = down; // told of 02:28:00, and nothing seen since
    stale.replace(stale.find("02:28:30"), 8, "02:28:00");
    const std::string up =
        "2026-10-25T02:29:40+02:00 message change=up since=2026-10-25T02:28:30+02:00 "
        "first-check=x text=\"Back online\" shown=shown";
    const struct {
        const char* name;
        std::vector<std::string> recent;
        std::vector<Kind> told; // at a failed check now, and the gap after it
        long checks;            // in the last message
        seconds span;
    } cases[] = {
        {"told, and seen within the gap: the same outage", {down, second}, {Kind::up}, 3, 90s},
        {"back already", {down, second, up}, {Kind::down, Kind::up}, 1, 0s},
        {"not seen for longer than the gap", {stale}, {Kind::down, Kind::up}, 1, 0s},
        {"told by a version that did not say since when",
         {"2026-10-25T02:28:40+02:00 message change=down text=x shown=shown"},
         {Kind::down, Kind::up},
         1,
         0s},
    };
    for (const auto& [name, recent, told, checks, span] : cases) {
        Fixture watching(true, recent);
        EXPECT_EQ(watching.watcher.state().kind, told.front() == Kind::up
                                                     ? watch::State::Kind::offline
                                                     : watch::State::Kind::online)
            << name;
        watching.fail("Sun Oct 25 02:29:59 2026");
        watching.tickFor(14s);
        watching.tickFor(91s);
        std::vector<Kind> kinds;
        for (const Change& change : watching.world.changes) {
            kinds.push_back(change.kind);
        }
        EXPECT_EQ(kinds, told) << name;
        ASSERT_FALSE(watching.world.changes.empty()) << name;
        const Change& last = watching.world.changes.back();
        EXPECT_EQ(last.checks, checks) << name;
        EXPECT_EQ(last.span, span) << name;
        if (told.size() == 1) {
            EXPECT_EQ(record::stampText(last.since), "2026-10-25T02:28:30+02:00") << name;
            EXPECT_EQ(last.firstCheck, "Sun Oct 25 02:28:29 2026") << name;
        }
    }
}

TEST(Quality, WindowsJudgedAgainstTheirOwnDayAndAStretchToldOnce) {
    using Kind = Change::Kind;
    using Segment = core::quality::Segment;
    // Each window of ten seconds: the share lost and the round trip of the gateway's probes and
    // of those past the edge, a probe each a second; or 's' for a sleep in the window's middle.
    struct Window {
        double gatewayLoss, gatewayTrip, internetLoss, internetTrip;
        bool sleep = false;
    };
    const Window clean{0, 1, 0, 10};
    const Window lossBeyond{0, 1, 0.3, 10};
    const Window lossHere{0.3, 1, 0.3, 10};
    const Window slowBeyond{0, 1, 0, 310};
    const struct {
        const char* name;
        std::vector<Window> windows;
        std::vector<Kind> told;
        const char* text; // of the first
    } cases[] = {
        {"clean", {clean, clean, clean, clean}, {}, ""},
        {"loss beyond the edge",
         {clean, clean, lossBeyond, lossBeyond, lossBeyond, clean},
         {Kind::degraded, Kind::recovered},
         "Connection degraded: 30% loss beyond your router since 02:00."},
        {"loss on the computer's own link",
         {clean, lossHere, lossHere, clean},
         {Kind::degraded, Kind::recovered},
         "Connection degraded: 30% loss on your own network since 02:00."},
        {"slow beyond the edge, against its usual",
         {clean, clean, clean, slowBeyond, slowBeyond, clean},
         {Kind::degraded, Kind::recovered},
         "Connection degraded: round trips of 310 ms beyond your router (usually 10 ms) since "
         "02:00."},
        {"slow before there is a usual", {slowBeyond, slowBeyond, slowBeyond}, {}, ""},
        {"one degraded window", {clean, lossBeyond, clean}, {}, ""},
        {"a sleep cuts the window", {clean, {0, 1, 0, 10, true}, clean}, {}, ""},
    };
    for (const auto& [name, windows, told, text] : cases) {
        watch::Settings settings;
        settings.window = 10s;
        settings.sampleEvery = 1s;
        Fixture watching(true, {}, settings);
        watching.world.lines.clear();
        // Windows from 02:00:10 (+02:00) on; each closed once its probes' time is over.
        auto windowStart = time_point_cast<milliseconds>(sys_days{2026y / 10 / 25} + 10s);
        watching.clocks.wall = windowStart;
        watching.watcher.tick(watching.clocks.now(watching.world)); // the clock set back to it
        for (const Window& window : windows) {
            std::vector<watch::Sample> samples;
            for (int second = 0; second < (window.sleep ? 5 : 10); ++second) {
                for (const auto& [segment, loss, trip] :
                     {std::tuple{Segment::gateway, window.gatewayLoss, window.gatewayTrip},
                      std::tuple{Segment::internet, window.internetLoss, window.internetTrip}}) {
                    const bool lost = second < static_cast<int>(loss * 10);
                    samples.push_back({"ipv4", segment, windowStart + seconds{second},
                                       lost ? std::nullopt : std::optional(trip + second % 2)});
                }
            }
            const auto end = windowStart + (window.sleep ? 5s : 10s + watch::QualityWatch::grace);
            watching.clocks.run(end - watching.clocks.wall);
            watching.watcher.sampled(watching.clocks.now(watching.world), samples, {}, {});
            if (window.sleep) { // an hour asleep: the window ends where the sleep began
                watching.clocks.step(1h, 0ms, 1h);
                windowStart += 1h;
            }
            watching.watcher.tick(watching.clocks.now(watching.world));
            windowStart += 10s;
        }
        std::vector<Kind> kinds;
        for (const Change& change : watching.world.changes) {
            kinds.push_back(change.kind);
        }
        EXPECT_EQ(kinds, told) << name;
        if (!told.empty()) {
            EXPECT_EQ(watch::changeText(watching.world.changes.front()), text) << name;
        }
        // Each window a quality line that reads back.
        std::size_t spans = 0;
        for (const std::string& line : watching.world.lines) {
            const auto parsed =
                record::parseLine(std::string_view(line).substr(0, line.size() - 1));
            if (parsed && parsed->event == record::event::quality) {
                ++spans;
                EXPECT_TRUE(record::isWhole(*parsed)) << line;
            }
        }
        EXPECT_EQ(spans, windows.size()) << name;
    }
}

TEST(Diagnosis, TheVerdictRuleAndWhenItIsSettled) {
    using watch::Fact;
    using watch::Verdict;
    // Each fact in turn: the gateway answers, something beyond answers, the site connects, its
    // name resolves here, to local addresses alone, loss beyond the edge, loss at the gateway,
    // the site had an address to try. y, n, or ? while awaited.
    const auto facts = [](const char* letters, bool routes = true, bool known = true) {
        const auto fact = [](char c) {
            return c == 'y' ? Fact::yes : c == 'n' ? Fact::no : Fact::open;
        };
        return watch::Facts{known,
                            routes,
                            fact(letters[0]),
                            fact(letters[1]),
                            fact(letters[2]),
                            fact(letters[3]),
                            fact(letters[4]),
                            fact(letters[5]),
                            fact(letters[6]),
                            fact(letters[7])};
    };
    const struct {
        const char* name;
        watch::Facts facts;
        Verdict verdict;                // on what was seen, the awaited counting as silent
        std::optional<Verdict> settled; // before the awaited come in
    } cases[] = {
        {"all answer", facts("yyyynnny"), Verdict::cleared, Verdict::cleared},
        {"the site alone fails", facts("yynynnny"), Verdict::site, Verdict::site},
        {"the name does not resolve, no address known", facts("yynnnnnn"), Verdict::dns,
         Verdict::dns},
        {"the name does not resolve, the site down where it was", facts("yynnnnny"), Verdict::site,
         Verdict::site},
        {"the name does not resolve, the site answering where it was", facts("yyynnnny"),
         Verdict::dns, Verdict::dns},
        {"the name resolves to the router's address, the Internet answers", facts("yynyynny"),
         Verdict::dns, Verdict::dns},
        {"the name resolves to the router's address, nothing beyond", facts("ynnyynny"),
         Verdict::provider, Verdict::provider},
        {"nothing past the gateway", facts("ynnnnnnn"), Verdict::provider, Verdict::provider},
        {"a silent gateway", facts("nnnnnnnn"), Verdict::local, Verdict::local},
        {"no default route, the name local", facts("ynnyynny", false), Verdict::local,
         Verdict::local},
        {"routes unknown", facts("nnnnnnnn", false, false), Verdict::unknown, Verdict::unknown},
        {"routes unknown, the site answering", facts("nyyynnny", false, false), Verdict::cleared,
         Verdict::cleared},
        {"routes unknown, the Internet answering", facts("nynynnny", false, false), Verdict::site,
         Verdict::site},
        {"loss beyond the edge, the site silent", facts("yynynyny"), Verdict::provider,
         Verdict::provider},
        {"loss beyond the edge, the name unresolved", facts("yynnnynn"), Verdict::provider,
         Verdict::provider},
        {"loss at the gateway too", facts("yynynyyy"), Verdict::local, Verdict::local},
        {"loss, yet the site connects", facts("yyyynyny"), Verdict::cleared, Verdict::cleared},
        // Settled as soon as nothing awaited can change it, and not before.
        {"the site connects, the rest awaited", facts("??yyn???"), Verdict::cleared,
         Verdict::cleared},
        {"the site connects, its name still resolving", facts("??y?????"), Verdict::dns,
         std::nullopt},
        {"beyond answers, the name awaited, no address known", facts("yyn??nn?"), Verdict::dns,
         std::nullopt},
        {"the gateway awaited", facts("?nnnnnnn"), Verdict::local, std::nullopt},
        {"silence awaited past the gateway", facts("y?nnnnnn"), Verdict::provider, std::nullopt},
        {"the site silent, loss still counted", facts("yynyn?ny"), Verdict::site, std::nullopt},
        {"nothing beyond, the name awaited", facts("ynn??nn?"), Verdict::provider,
         Verdict::provider},
    };
    for (const auto& [name, seen, verdict, settled] : cases) {
        EXPECT_EQ(core::wordOf(watch::verdictOf(seen)), core::wordOf(verdict)) << name;
        EXPECT_EQ(watch::settledVerdict(seen), settled) << name;
    }
}

namespace {

// Observations as the stages leave them, every stage done.
watch::Observations observed(std::vector<watch::Gateway> gateways,
                             std::vector<watch::Reply> nameservers,
                             std::vector<watch::Reply> beyond, std::vector<watch::Reply> site,
                             std::vector<watch::Path> paths = {},
                             std::vector<std::string> addresses = {}) {
    watch::Observations seen;
    seen.gateways = std::move(gateways);
    seen.nameservers = std::move(nameservers);
    seen.beyond = std::move(beyond);
    seen.site = std::move(site);
    seen.paths = std::move(paths);
    seen.siteAddresses = std::move(addresses);
    seen.nameDone = true;
    return seen;
}

watch::Reply reply(const char* who, Heard heard, int tries = 1, int lost = 0, bool done = true) {
    return {who, heard, heard == Heard::answer ? "answers" : "silent", done, tries, lost};
}

} // namespace

TEST(Diagnosis, EachAnswerCountsForTheStageItProves) {
    using watch::Fact;
    const watch::Gateway silentGateway{"ipv4", true, "192.168.77.1", false, "", true, 0, 0};
    const watch::Gateway tunnel{"ipv4", true, "", false, "", true, 0, 0};
    const watch::Reply servfail{"192.168.77.1", Heard::refusal, "SERVFAIL", true, 0, 0};
    const watch::Reply refused{"192.168.77.1", Heard::refusal, "REFUSED", true, 0, 0};
    const watch::Reply otherServer{"9.9.9.9", Heard::answer, "answers", true, 0, 0};
    watch::Path firstHop;
    firstHop.family = "ipv4";
    firstHop.hops = {"192.168.77.1", ""};
    firstHop.done = true;
    const watch::Reply refusing{
        "203.0.113.80", Heard::refusal, "refuses (it is there)", true, 1, 0};
    const watch::Reply refusedNearer{
        "1.1.1.1", Heard::nothing, "refused from within two hops", true, 1, 0};
    const watch::Reply awaited = reply("1.1.1.1", Heard::nothing, 0, 0, false);
    const watch::Reply refusingFar{"1.1.1.1", Heard::refusal, "refuses (it is there)", true, 1, 0};
    watch::Path routerRefuses = firstHop; // the router, asked to forward, says unreachable
    routerRefuses.unreachableFrom = "192.168.77.1";
    routerRefuses.unreachableAt = 2;
    watch::Path edgeRefuses = firstHop; // the provider's edge, the second hop, says so
    edgeRefuses.hops = {"192.168.77.1", "100.64.0.1", ""};
    edgeRefuses.unreachableFrom = "100.64.0.1";
    edgeRefuses.unreachableAt = 3;
    watch::Path farEndSays = routerRefuses; // the address itself says so: it is there
    farEndSays.toward = farEndSays.unreachableFrom = "1.1.1.1";
    watch::Path otherFamily = routerRefuses;
    otherFamily.family = "ipv6";
    watch::Path tracing = routerRefuses;
    tracing.unreachableFrom.clear();
    tracing.done = false;
    const watch::Reply answering = reply("1.1.1.1", Heard::answer, 4);
    watch::Observations sampledLossy = observed({}, {}, {answering}, {});
    sampledLossy.recent = watch::RecentQuality{0.0, 0.2};
    watch::Gateway lossyGateway = silentGateway;
    lossyGateway.answered = true;
    lossyGateway.echoes = 11;
    lossyGateway.lost = 3;
    const struct {
        const char* name;
        watch::Observations seen;
        Fact gateway, beyond, onlyLocal, lossy, gatewayLossy;
    } cases[] = {
        {"the gateway silent, its DNS answering", observed({silentGateway}, {servfail}, {}, {}),
         Fact::yes, Fact::no, Fact::no, Fact::no, Fact::no},
        {"the gateway silent, its DNS refusing", observed({silentGateway}, {refused}, {}, {}),
         Fact::yes, Fact::no, Fact::no, Fact::no, Fact::no},
        {"the gateway still being asked",
         observed({{"ipv4", true, "192.168.77.1", false, "", false, 0, 0}}, {}, {}, {}), Fact::open,
         Fact::no, Fact::no, Fact::no, Fact::open},
        {"the gateway silent, another nameserver answering",
         observed({silentGateway}, {otherServer}, {}, {}), Fact::no, Fact::no, Fact::no, Fact::no,
         Fact::no},
        {"the gateway silent, its expiring probe answering",
         observed({silentGateway}, {}, {}, {}, {firstHop}), Fact::yes, Fact::no, Fact::no, Fact::no,
         Fact::no},
        {"a tunnel through which nothing answers", observed({tunnel}, {}, {}, {}), Fact::no,
         Fact::no, Fact::no, Fact::no, Fact::no},
        {"a tunnel through which the Internet answers", observed({tunnel}, {}, {answering}, {}),
         Fact::yes, Fact::yes, Fact::no, Fact::no, Fact::no},
        {"the site's host refusing", observed({}, {}, {}, {refusing}), Fact::no, Fact::yes,
         Fact::no, Fact::no, Fact::no},
        {"a refusal from nearer than the address", observed({}, {}, {refusedNearer}, {}), Fact::no,
         Fact::no, Fact::no, Fact::no, Fact::no},
        {"the router says unreachable: a refusal beyond it is the router's",
         observed({}, {}, {refusingFar}, {}, {routerRefuses}), Fact::no, Fact::no, Fact::no,
         Fact::no, Fact::no},
        {"the router says unreachable to the other family only",
         observed({}, {}, {refusingFar}, {}, {otherFamily}), Fact::no, Fact::yes, Fact::no,
         Fact::no, Fact::no},
        {"the provider's edge says unreachable: so is a refusal beyond it",
         observed({}, {}, {refusingFar}, {}, {edgeRefuses}), Fact::no, Fact::no, Fact::no, Fact::no,
         Fact::no},
        {"the address itself says unreachable: its refusal is its own",
         observed({}, {}, {refusingFar}, {}, {farEndSays}), Fact::no, Fact::yes, Fact::no, Fact::no,
         Fact::no},
        {"a refusal while the path is still traced", observed({}, {}, {refusingFar}, {}, {tracing}),
         Fact::no, Fact::open, Fact::no, Fact::no, Fact::no},
        {"one answer beyond, another awaited", observed({}, {}, {answering}, {awaited}), Fact::no,
         Fact::yes, Fact::no, Fact::open, Fact::no},
        {"the name given only the router's address", observed({}, {}, {}, {}, {}, {"192.168.77.1"}),
         Fact::no, Fact::no, Fact::yes, Fact::no, Fact::no},
        {"the name given a public address too",
         observed({}, {}, {}, {}, {}, {"192.168.77.1", "2001:db8:80::80"}), Fact::no, Fact::no,
         Fact::no, Fact::no, Fact::no},
        {"two of four tries lost beside answered ones",
         observed({}, {}, {reply("1.1.1.1", Heard::answer, 4, 2)}, {}), Fact::no, Fact::yes,
         Fact::no, Fact::yes, Fact::no},
        {"one try lost: a chance", observed({}, {}, {reply("1.1.1.1", Heard::answer, 4, 1)}, {}),
         Fact::no, Fact::yes, Fact::no, Fact::no, Fact::no},
        {"an address silent to every try beside one that answers: no loss",
         observed({}, {}, {answering, reply("9.9.9.9", Heard::nothing, 4)}, {}), Fact::no,
         Fact::yes, Fact::no, Fact::no, Fact::no},
        {"the sampler's last window lossy", sampledLossy, Fact::no, Fact::yes, Fact::no, Fact::yes,
         Fact::no},
        {"echoes lost beside answered ones", observed({lossyGateway}, {}, {}, {}), Fact::yes,
         Fact::no, Fact::no, Fact::no, Fact::yes},
    };
    for (const auto& [name, seen, gateway, beyond, onlyLocal, lossy, gatewayLossy] : cases) {
        const watch::Facts facts = watch::factsOf(seen);
        EXPECT_EQ(facts.gatewayAnswers, gateway) << name;
        EXPECT_EQ(facts.beyondAnswers, beyond) << name;
        EXPECT_EQ(facts.nameOnlyLocal, onlyLocal) << name;
        EXPECT_EQ(facts.beyondLossy, lossy) << name;
        EXPECT_EQ(facts.gatewayLossy, gatewayLossy) << name;
    }
    for (const auto& [address, local] : {std::pair{"10.1.2.3", true},
                                         {"172.31.0.1", true},
                                         {"172.32.0.1", false},
                                         {"192.168.77.1", true},
                                         {"100.64.0.1", true},
                                         {"100.128.0.1", false},
                                         {"169.254.1.1", true},
                                         {"127.0.0.1", true},
                                         {"203.0.113.80", false},
                                         {"1.1.1.1", false},
                                         {"::1", true},
                                         {"fe80::1", true},
                                         {"fd00::2", true},
                                         {"fc00::5", true},
                                         {"2001:db8:80::80", false},
                                         {"::ffff:192.168.1.1", true},
                                         {"::ffff:8.8.8.8", false}}) {
        EXPECT_EQ(watch::isLocalAddress(address), local) << address;
    }
}

TEST(Diagnosis, EachVerdictsWordsAreTrueOfItsEvidence) {
    const watch::Gateway router{"ipv4", true, "192.168.77.1", true, "", true, 11, 0};
    const watch::Gateway silentRouter{"ipv4", true, "192.168.77.1", false, "", true, 0, 0};
    const watch::Gateway tunnel{"ipv4", true, "", false, "", true, 0, 0};
    const watch::Gateway noRoute{"ipv4", false, "", false, "", true, 0, 0};
    const watch::Reply nxdomain{"192.168.77.1", Heard::refusal, "NXDOMAIN", true, 0, 0};
    watch::Path edge;
    edge.family = "ipv4";
    edge.toward = "1.1.1.1";
    edge.hops = {"192.168.77.1", "100.64.0.1", ""};
    edge.done = true;
    watch::Observations down =
        observed({router}, {}, {reply("1.1.1.1", Heard::nothing, 4)},
                 {reply("203.0.113.80", Heard::nothing, 4)}, {edge}, {"192.168.77.1"});
    watch::Observations unresolved =
        observed({router}, {nxdomain}, {reply("1.1.1.1", Heard::answer)},
                 {reply("203.0.113.80", Heard::answer)});
    unresolved.nameHere = "ipv4: NXDOMAIN; ipv6: NXDOMAIN";
    const struct {
        const char* name;
        watch::Observations seen;
        const char* text;
    } cases[] = {
        {"no default route, the name the router's",
         observed({noRoute}, {}, {}, {}, {}, {"192.168.77.1"}),
         "No connection since 10:12. Cause: your own network: there is no default route."},
        {"a silent router", observed({silentRouter}, {}, {reply("1.1.1.1", Heard::nothing)}, {}),
         "No connection since 10:12. Cause: your own network: the router 192.168.77.1 does not "
         "answer."},
        {"a tunnel through which nothing answers", observed({tunnel}, {}, {}, {}),
         "No connection since 10:12. Cause: your own network: nothing answers through the default "
         "route, a link of its own (a VPN tunnel, say)."},
        {"every name the router's, its uplink down", down,
         "No connection since 10:12. Cause: your provider: the router 192.168.77.1 answers, "
         "nothing beyond it does; the path stops after 100.64.0.1 (hop 2)."},
        {"loss beyond the edge",
         observed({router}, {}, {reply("1.1.1.1", Heard::answer, 4, 3)},
                  {reply("203.0.113.80", Heard::nothing, 4)}, {}, {"203.0.113.80"}),
         "No connection since 10:12. Cause: your provider: 3 of 4 tries unanswered beyond the "
         "edge: the line loses packets beyond your router."},
        {"the name unresolved, the site answering where it was", unresolved,
         "No connection since 10:12. Cause: name service: the site answers, but its name "
         "www.google.com does not resolve here (ipv4: NXDOMAIN; ipv6: NXDOMAIN)."},
        {"the site down",
         observed({router}, {}, {reply("1.1.1.1", Heard::answer, 4)},
                  {reply("203.0.113.80", Heard::nothing, 4)}, {}, {"203.0.113.80"}),
         "No connection since 10:12. Cause: the checked site alone: the Internet answers, "
         "www.google.com (203.0.113.80) does not."},
    };
    const record::Stamp since{sys_days{2024y / 2 / 12} + 9h + 12min, 1h};
    for (const auto& [name, seen, text] : cases) {
        const watch::Verdict verdict = watch::verdictOf(seen);
        const Change change{
            Change::Kind::down, since, "", 0s, 1, verdict, watch::evidence(verdict, seen), {}};
        EXPECT_EQ(watch::changeText(change), text) << name;
    }
}

TEST(Diagnosis, ThePathSaysWhereItStopped) {
    const auto path = [](const char* toward, std::vector<std::string> hops) {
        watch::Path traced;
        traced.family = "ipv4";
        traced.toward = toward;
        traced.hops = std::move(hops);
        traced.done = true;
        return traced;
    };
    std::vector<std::string> silent(14);
    auto edge = path("1.1.1.1", {"10.0.0.1", "100.64.0.1"});
    edge.hops.insert(edge.hops.end(), silent.begin(), silent.end());
    auto gap = path("1.1.1.1", {"10.0.0.1", "", "100.64.0.1"});
    gap.hops.insert(gap.hops.end(), silent.begin() + 1, silent.end());
    auto refused = path("1.1.1.1", std::vector<std::string>(16));
    refused.hops[0] = "10.0.0.1";
    refused.unreachableFrom = "10.0.0.1";
    refused.unreachableAt = 2;
    auto beyondEdge = edge; // a hop that answered no expiring probe of its own says it
    beyondEdge.unreachableFrom = "198.18.0.1";
    beyondEdge.unreachableAt = 4;
    auto reached = path("203.0.113.80", {"10.0.0.1", "100.64.0.1", "203.0.113.80"});
    reached.reached = true;
    auto failed = path("1.1.1.1", {});
    failed.failed = "network unreachable";
    const struct {
        watch::Path path;
        const char* text;
        const char* stop;
    } cases[] = {
        {edge, "ipv4 to 1.1.1.1: 10.0.0.1, 100.64.0.1, then silent (hops 3 to 16)",
         "100.64.0.1 (hop 2)"},
        {gap, "ipv4 to 1.1.1.1: 10.0.0.1, *, 100.64.0.1, then silent (hops 4 to 16)",
         "100.64.0.1 (hop 3)"},
        {refused, "ipv4 to 1.1.1.1: 10.0.0.1, unreachable, says 10.0.0.1", "10.0.0.1 (hop 1)"},
        {beyondEdge, "ipv4 to 1.1.1.1: 10.0.0.1, 100.64.0.1, *, unreachable, says 198.18.0.1",
         "198.18.0.1 (hop 4)"},
        {reached, "ipv4 to 203.0.113.80: 10.0.0.1, 100.64.0.1, 203.0.113.80 (reached)", ""},
        {failed, "ipv4 to 1.1.1.1: no probe sent (network unreachable)", ""},
    };
    for (const auto& [traced, text, stop] : cases) {
        EXPECT_EQ(traced.text(), text);
        watch::Observations seen;
        seen.paths = {traced};
        EXPECT_EQ(watch::stoppedAfter(watch::Verdict::provider, seen), stop) << text;
        EXPECT_EQ(watch::stoppedAfter(watch::Verdict::dns, seen), "") << text;
    }
    // A site verdict names the path to the site, never the one past the provider's edge.
    watch::Observations seen;
    seen.paths = {edge, path("203.0.113.80", {"10.0.0.1", "100.64.0.1", "", ""})};
    EXPECT_EQ(watch::stoppedAfter(watch::Verdict::site, seen), "100.64.0.1 (hop 2)");
    seen.paths.pop_back();
    EXPECT_EQ(watch::stoppedAfter(watch::Verdict::site, seen), "");
}

TEST(Diagnosis, ATraceAsksEveryHopThenTheLowestSilentOnesUntilThePathIsKnown) {
    const auto start = watch::Clock::now();
    using Hops = std::vector<int>;
    watch::Tracing tracing("203.0.113.80", start);
    EXPECT_EQ(tracing.due(start).size(), 16U);
    EXPECT_EQ(tracing.due(start + 100ms), Hops{}) << "between rounds";
    EXPECT_EQ(tracing.nextLook(), start + 500ms);
    tracing.expired(1, "10.0.0.1");
    tracing.expired(3, "100.64.0.1");
    EXPECT_EQ(tracing.due(start + 500ms), (Hops{2, 4, 5, 6})) << "the lowest four still silent";
    tracing.unreachable(9, "198.18.0.1");
    tracing.unreachable(6, "198.18.0.9"); // the lowest stop is the path's
    tracing.unreachable(7, "198.18.0.7");
    EXPECT_FALSE(tracing.over(start + 500ms));
    for (const int hop : {2, 4, 5}) {
        tracing.expired(hop, "198.18.0." + std::to_string(hop));
    }
    EXPECT_TRUE(tracing.over(start + 600ms)) << "every hop before the stop heard";
    auto traced = tracing.finish();
    EXPECT_EQ(traced.unreachableFrom, "198.18.0.9");
    EXPECT_EQ(traced.unreachableAt, 6);

    watch::Tracing reaching("203.0.113.80", start);
    static_cast<void>(reaching.due(start));
    reaching.reached(2, "203.0.113.80");
    EXPECT_FALSE(reaching.over(start)) << "hop 1 still silent";
    for (auto at = start; at < start + 2300ms; at += 100ms) {
        EXPECT_FALSE(reaching.over(at));
        EXPECT_LE(reaching.due(at).size(), 1U);
    }
    EXPECT_TRUE(reaching.over(start + 2300ms)) << "the last round's wait is over";
    traced = reaching.finish();
    EXPECT_TRUE(traced.reached);
    EXPECT_EQ(traced.hops, (std::vector<std::string>{"", "203.0.113.80"}));
}

TEST(Desktop, WhatThePersonIsToldInTheirWords) {
    using watch::State;
    using Kind = Change::Kind;
    const sys_seconds tenTwelve = sys_days{2024y / 2 / 12} + 9h + 12min; // 10:12 at +01:00
    const record::Stamp since{tenTwelve, 1h};
    const auto down = [&](std::optional<core::Verdict> cause) {
        return Change{Kind::down, since, "Mon Feb 12 10:12:00 2024", 0s, 1, cause, "", {}};
    };
    const auto degraded = [&](Kind kind, watch::Degradation figures) {
        return Change{kind, since, "", figures.span, 0, {}, "", figures};
    };
    const struct {
        Change change;
        const char* text;
    } changes[] = {
        {down(std::nullopt), "No connection since 10:12."},
        {down(core::Verdict::cleared), "No connection since 10:12. Cause: none found."},
        {{Kind::up, since, "", 0s, 1, {}, "", {}}, "Back online: one failed check, at 10:12."},
        {{Kind::up, since, "", 192s, 7, {}, "", {}},
         "Back online after at least 3m 12s (7 failed checks since 10:12)."},
        {degraded(Kind::degraded, {false, {}, 0s, 0.18, 15, 12}),
         "Connection degraded: 18% loss beyond your router since 10:12."},
        {degraded(Kind::degraded, {true, {}, 0s, 0, 340, 2}),
         "Connection degraded: round trips of 340 ms on your own network (usually 2 ms) since "
         "10:12."},
        {degraded(Kind::recovered, {false, {}, 1500s, 0.3, 15, 12}),
         "Connection quality back to normal after 25m."},
    };
    for (const auto& [change, text] : changes) {
        EXPECT_EQ(watch::changeText(change), text);
    }
    const record::Stamp now{tenTwelve + 2h + 5min, 1h};
    const State offline{State::Kind::offline, since, down(core::Verdict::provider), "", {}, {}};
    const struct {
        State state;
        const char* tooltip;
    } states[] = {
        {offline, "Connectivity monitor: offline since 10:12 (your provider)"},
        {{State::Kind::online, since, {}, "", {}, {}},
         "Connectivity monitor: online, last failed check 2 h ago"},
        {{State::Kind::online, {}, {}, "", core::quality::figuresOf(10, {14, 14.2, 13.9}), {}},
         "Connectivity monitor: online, 14 ms, 70% loss, no failed check since watching began"},
        {{State::Kind::online,
          since,
          {},
          "",
          {},
          watch::Degradation{false, time_point_cast<milliseconds>(tenTwelve), 0s, 0.18, 15, 12}},
         "Connectivity monitor: online, degraded: 18% loss beyond your router since 10:12"},
        {{State::Kind::online, record::Stamp{now.utc - 5min, 1h}, {}, "", {}, {}},
         "Connectivity monitor: online, last failed check 5 min ago"},
        {{State::Kind::online, record::Stamp{now.utc - 60s, 1h}, {}, "", {}, {}},
         "Connectivity monitor: online, last failed check 1 min ago"},
        {{State::Kind::online, record::Stamp{now.utc - 24h, 1h}, {}, "", {}, {}},
         "Connectivity monitor: online, last failed check 1 d ago"},
        {{State::Kind::logUnwritable,
          {},
          {},
          "the log cannot be written: the disk is full",
          {},
          {}},
         "Connectivity monitor: the log cannot be written: the disk is full"},
    };
    for (const auto& [state, tooltip] : states) {
        EXPECT_EQ(watch::stateText(state, now), tooltip);
    }
}
