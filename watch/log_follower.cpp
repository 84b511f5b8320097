// Reads what the log gained since the last look, by its identity and size, never holding it open.
#include "log_follower.h"

#include <fstream>

#include "system.h"

namespace watch {
namespace fs = std::filesystem;

namespace {
// What one look reads at most; a log that grew by more at once is read over several looks.
constexpr std::uintmax_t mostPerLook = 1 << 20;
// Of a line not yet ended, only this much is kept: more than a record's worth.
constexpr std::size_t longestUnfinished = 4096;
} // namespace

LogFollower::LogFollower(fs::path log) : log_(std::move(log)) {
    identity_ = core::system::identityOf(log_);
    std::error_code error;
    offset_ = identity_ ? fs::file_size(log_, error) : 0;
    offset_ = error ? 0 : offset_;
}

std::vector<FailedCheck> LogFollower::newChecks() {
    const auto identity = core::system::identityOf(log_);
    std::error_code error;
    const std::uintmax_t size = identity ? fs::file_size(log_, error) : 0;
    if (!identity || error || identity != identity_ || size < offset_) {
        identity_ = identity; // gone, replaced or cut short: whatever it holds next is new
        offset_ = 0;
        unfinished_.clear();
    }
    if (!identity_ || size == offset_) {
        return {};
    }
    std::ifstream log(log_, std::ios::binary);
    log.seekg(static_cast<std::streamoff>(offset_));
    std::string text(static_cast<std::size_t>(std::min(size - offset_, mostPerLook)), '\0');
    log.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(log.gcount()));
    offset_ += text.size();

    std::vector<FailedCheck> checks;
    const auto sink = [&checks](const core::LineVerdict& verdict, long /*line*/) {
        if (verdict.kind != core::LineVerdict::Kind::notARecord) {
            checks.push_back(
                {std::string(verdict.timeText), verdict.kind == core::LineVerdict::Kind::timed
                                                    ? std::optional(verdict.time)
                                                    : std::nullopt});
        }
    };
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        unfinished_.append(text, start, end - start);
        core::readLine(unfinished_, 0, sink);
        unfinished_.clear();
    }
    unfinished_.append(text, start);
    if (unfinished_.size() > longestUnfinished) {
        unfinished_.erase(0, unfinished_.size() - longestUnfinished);
    }
    return checks;
}

} // namespace watch
