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
    const watch::Gateway answering{"ipv4", true, "10.0.0.1", true, "", true};
    const watch::Gateway silent{"ipv4", true, "10.0.0.1", false, "", true};
    const watch::Reply yes{"x", Heard::answer, "", true};
    const watch::Reply no{"x", Heard::nothing, "", true};
    const std::vector<std::string> resolves{"203.0.113.80"};
    const struct {
        Verdict verdict;
        watch::Observations seen;
    } cases[] = {
        {Verdict::local, {{silent}, true, "", {}, "", true, {no}, {no}, {no}, {}}},
        {Verdict::dns, {{answering}, true, "", {}, "", true, {no}, {yes}, {no}, {}}},
        {Verdict::provider, {{answering}, true, "", {}, "", true, {no}, {no}, {no}, {}}},
        {Verdict::site, {{answering}, true, "", resolves, "", true, {yes}, {yes}, {no}, {}}},
        {Verdict::cleared, {{answering}, true, "", resolves, "", true, {yes}, {yes}, {yes}, {}}},
        {Verdict::unknown, {{}, false, "", {}, "", true, {no}, {no}, {no}, {}}},
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
        const report::Diagnosed* read =
            report::DiagnosisTaker(coverage).of(*core::timeOfText(check));
        ASSERT_NE(read, nullptr) << world.record;
        EXPECT_EQ(read->verdict, verdict) << core::wordOf(verdict) << ":\n" << world.record;
    }
}
