// Arbitrary bytes and options through reading, grouping and every output, under the sanitizers.
#include <cstdint>
#include <cstdio>

#include "log_records.h"
#include "renderers.h"
#include "report.h"

using namespace std::chrono;

// The first four bytes choose the options: a gap of up to a year, a period or none, and whether
// the rest, the log, is read as the watcher's record too.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t optionBytes = 4;
    if (size <= optionBytes) {
        return 0;
    }
    const seconds gap{(data[0] | (data[1] << 8U)) * 481L % (366L * 86'400 + 1)};
    report::Period period;
    const local_days base = local_days{2024y / 1 / 1};
    if ((data[2] & 1U) != 0) {
        period.since = base + days{data[3] % 16};
    }
    if ((data[2] & 2U) != 0) {
        period.until = base + days{data[3] / 16};
    }
    // The same bytes read as the watcher's record too, when the fifth byte says so.
    const auto open = [&] {
        return ::fmemopen(const_cast<std::uint8_t*>(data + optionBytes), size - optionBytes, "rb");
    };
    std::optional<report::Coverage> coverage;
    if ((data[2] & 4U) != 0) {
        std::FILE* record = open();
        if (record == nullptr) {
            return 0;
        }
        coverage = report::readCoverage(record, "fuzzed record");
        std::fclose(record);
    }
    std::FILE* log = open();
    if (log == nullptr) {
        return 0;
    }
    report::ReportBuilder builder(gap, period, coverage ? &*coverage : nullptr);
    core::readLog(log,
                  [&](const core::LineVerdict& verdict, long line) { builder.add(verdict, line); });
    std::fclose(log);
    report::Report figures = builder.finish();
    if (coverage) {
        figures.watch = report::watchFigures(*coverage, figures);
    }
    std::size_t written = report::textSummary(figures, "fuzzed log").size();
    written += report::csvTable(figures).size();
    written += report::htmlPage(figures, "<fuzzed & log>").size();
    written += report::metrics(figures).size();
    return written > 0 ? 0 : 1;
}
