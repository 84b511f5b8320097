// Arbitrary bytes and options through reading, grouping and every output, under the sanitizers.
#include <cstdint>
#include <cstdio>

#include "log_records.h"
#include "renderers.h"
#include "report.h"

using namespace std::chrono;

// The first four bytes choose the options: a gap of up to a year, and a period or none; the rest
// is the log.
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
    std::FILE* log =
        ::fmemopen(const_cast<std::uint8_t*>(data + optionBytes), size - optionBytes, "rb");
    if (log == nullptr) {
        return 0;
    }
    report::ReportBuilder builder(gap, period);
    report::readLog(
        log, [&](const report::LineVerdict& verdict, long line) { builder.add(verdict, line); });
    std::fclose(log);
    const report::Report figures = builder.finish();
    std::size_t written = report::textSummary(figures, "fuzzed log").size();
    written += report::csvTable(figures).size();
    written += report::htmlPage(figures, "<fuzzed & log>").size();
    written += report::metrics(figures).size();
    return written > 0 ? 0 : 1;
}
