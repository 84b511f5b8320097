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
    using Gateway = watch::Observations::Gateway;
    using Reply = watch::Observations::Reply;
    const Gateway answering{"ipv4", true, true, ""};
    const Gateway silent{"ipv4", true, false, ""};
    const Reply yes{"x", true, ""};
    const Reply no{"x", false, ""};
    const struct {
        Verdict verdict;
        watch::Observations seen;
    } cases[] = {
        {Verdict::local, {{silent}, true, {no}, {no}, {no}}},
        {Verdict::dns, {{answering}, true, {no}, {yes}, {no}}},
        {Verdict::provider, {{answering}, true, {no}, {no}, {no}}},
        {Verdict::site, {{answering}, true, {yes}, {yes}, {no}}},
        {Verdict::cleared, {{answering}, true, {yes}, {yes}, {yes}}},
        {Verdict::unknown, {{}, false, {no}, {no}, {no}}},
    };
    ASSERT_EQ(std::size(cases), core::verdictWords.size());
    for (const auto& [verdict, seen] : cases) {
        RecordingWorld world;
        watch::Watcher watcher(world);
        const watch::Readings now{std::chrono::sys_days{2024y / 2 / 12} + 10h, 1h, 0s, 0s};
        const std::string check = "Mon Feb 12 11:00:00 2024";
        watcher.start(now, "9.9", "linux", 7);
        watcher.failedCheck(now, {check, core::timeOfText(check)});
        watcher.diagnosed(now, {seen, 1s});

        std::FILE* file = std::tmpfile();
        std::fwrite(world.record.data(), 1, world.record.size(), file);
        std::rewind(file);
        const report::Coverage coverage = report::readCoverage(file, "record");
        std::fclose(file);
        EXPECT_EQ(report::DiagnosisTaker(coverage).causeOf(*core::timeOfText(check)), verdict)
            << core::wordOf(verdict) << ":\n"
            << world.record;
    }
}
