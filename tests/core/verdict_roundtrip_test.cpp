// The record as a contract: each verdict the watcher writes for a failed check is the cause the
// report reads back for that check.
#include <cstdio>

#include <gtest/gtest.h>

#include "coverage.h"
#include "watcher.h"

using namespace std::chrono_literals;
using core::Verdict;

namespace {

class RecordingWorld final : public watch::World {
  public:
    std::string record;
    void append(const std::string& line) override { record += line; }
    std::optional<long> startMonitor(std::string& /*why*/) override { return 42; }
    void diagnose() override {}
    void announce(const watch::Change& /*change*/) override {}
    std::chrono::seconds offsetAt(std::chrono::sys_seconds /*moment*/) override { return 1h; }
};

} // namespace

TEST(Record, EachVerdictWrittenIsTheCauseReadBack) {
    using Heard = watch::Reply::Heard;
    const watch::Gateway answering{"ipv4", true, "10.0.0.1", true, "", true, 0, 0};
    const watch::Gateway silent{"ipv4", true, "10.0.0.1", false, "", true, 0, 0};
    const watch::Reply yes{"203.0.113.80", Heard::answer, "", true, 1, 0};
    const watch::Reply no{"203.0.113.80", Heard::nothing, "", true, 1, 0};
    const auto seen = [](watch::Gateway gateway, bool resolves, watch::Reply beyond,
                         watch::Reply site, bool routesKnown = true) {
        watch::Observations observed;
        observed.gateways = {std::move(gateway)};
        observed.gatewaysKnown = routesKnown;
        observed.siteAddresses =
            resolves ? std::vector<std::string>{"203.0.113.80"} : std::vector<std::string>{};
        observed.nameDone = true;
        observed.beyond = {std::move(beyond)};
        observed.site = {std::move(site)};
        return observed;
    };
    const struct {
        Verdict verdict;
        watch::Observations seen;
    } cases[] = {
        {Verdict::local, seen(silent, false, no, no)},
        {Verdict::dns, seen(answering, false, yes, yes)},
        {Verdict::provider, seen(answering, false, no, no)},
        {Verdict::site, seen(answering, true, yes, no)},
        {Verdict::cleared, seen(answering, true, yes, yes)},
        {Verdict::unknown, seen({}, false, no, no, false)},
    };
    ASSERT_EQ(std::size(cases), core::verdictWords.size());
    for (const auto& [verdict, seen] : cases) {
        RecordingWorld world;
        watch::Watcher watcher(world);
        const watch::Readings now{std::chrono::sys_days{2024y / 2 / 12} + 10h, 1h, 0s, 0s};
        const std::string check = "Mon Feb 12 11:00:00 2024";
        watcher.start(now, {"9.9", "linux", 7, "pc"});
        watcher.failedCheck(now, {check, core::timeOfText(check)});
        watcher.diagnosed(now, {seen, 1s});

        std::FILE* file = std::tmpfile();
        std::fwrite(world.record.data(), 1, world.record.size(), file);
        std::rewind(file);
        const report::Coverage coverage = report::readCoverage(file, "record");
        std::fclose(file);
        const report::Diagnosed* read =
            report::DiagnosisTaker(coverage).of(*core::timeOfText(check));
        ASSERT_NE(read, nullptr) << world.record;
        EXPECT_EQ(read->verdict, verdict) << core::wordOf(verdict) << ":\n" << world.record;
    }
}
