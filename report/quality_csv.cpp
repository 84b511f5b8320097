// The quality windows as CSV, a row per window, family and segment: read from the record again as
// it is written out, so ten years of windows take no more memory than one. Without a record, the
// header alone.
#include <array>
#include <cstdio>

#include "coverage.h"
#include "renderers.h"
#include "time_text.h"

namespace report {
namespace {

using namespace std::chrono;

// What is written at once: rows gather up to this much first.
constexpr std::size_t pieceSize = std::size_t{64} * 1024;

std::string utcText(sys_seconds moment) {
    return core::isoDateTime(LocalTime{moment.time_since_epoch()}) + "Z";
}

std::string roundTrip(const core::quality::Figures& figures, double value) {
    return figures.received > 0 ? roundTripText(value) : "";
}

} // namespace

core::system::Failure qualityCsv(std::FILE* record, const Period& period, const Write& write) {
    std::string rows = "start,end,family,segment,sent,received,loss_percent,min_ms,p10_ms,"
                       "median_ms,p90_ms,max_ms,jitter_ms,degraded,name_ms,start_utc,end_utc\n";
    core::system::Failure failure = 0;
    const auto flush = [&] {
        if (failure == 0 && !rows.empty()) {
            failure = write(rows);
        }
        rows.clear();
    };
    if (record == nullptr) { // no record: the header alone
        flush();
        return failure;
    }
    const std::string problem = readRecordLines(
        record,
        [&](const record::Line& line) {
            const auto window =
                line.event == record::event::quality ? core::quality::windowOf(line) : std::nullopt;
            if (!window || failure != 0) {
                return;
            }
            const sys_seconds to = line.at.utc;
            const sys_seconds from = to - window->span;
            const auto local = [&](sys_seconds at) {
                return LocalTime{(at + line.at.offset).time_since_epoch()};
            };
            if (!period.contains(floor<days>(local(from)))) {
                return;
            }
            const std::string name = window->name ? std::to_string(window->name->count()) : "";
            for (const core::quality::Group& group : window->groups) {
                const auto& f = group.figures;
                std::array<char, 16> loss{};
                std::snprintf(loss.data(), loss.size(), "%.1f", 100 * f.loss());
                rows.append(core::isoDateTime(local(from))).append(",");
                rows.append(core::isoDateTime(local(to))).append(",").append(group.family);
                rows.append(",").append(
                    core::quality::segmentWords[static_cast<std::size_t>(group.segment)]);
                rows.append(",").append(std::to_string(f.sent));
                rows.append(",").append(std::to_string(f.received)).append(",").append(loss.data());
                for (const double value :
                     {f.minimum, f.p10, f.median, f.p90, f.maximum, f.jitter}) {
                    rows.append(",").append(roundTrip(f, value));
                }
                rows.append(group.degraded ? ",yes," : ",no,").append(name);
                rows.append(",").append(utcText(from)).append(",").append(utcText(to)).append("\n");
            }
            if (rows.size() >= pieceSize) {
                flush();
            }
        },
        [](long /*line*/) {});
    flush();
    return failure != 0 ? failure : problem.empty() ? 0 : -1;
}

} // namespace report
