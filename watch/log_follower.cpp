// Reads what the log gained since the last look, by its identity and size, never holding it open.
#include "log_follower.h"

#include <algorithm>

namespace watch {
namespace fs = std::filesystem;

namespace {
// What one look reads at most; a log that grew by more at once is read over several looks.
constexpr std::uintmax_t mostPerLook = 1 << 20;
// Of a line not yet ended, only this much is kept: more than a record's worth, and its end, where
// a record run on after junk would be.
constexpr std::size_t longestUnfinished = 4096;
// What is read of a log at the start, to know its last check.
constexpr std::uintmax_t tailRead = std::uintmax_t{64} * 1024;

std::uintmax_t sizeOf(const fs::path& path) {
    std::error_code error;
    const std::uintmax_t size = fs::file_size(path, error);
    return error ? 0 : size;
}
} // namespace

LogFollower::LogFollower(fs::path log) : log_(std::move(log)) {
    identity_ = core::system::identityOf(log_);
    const std::uintmax_t size = identity_ ? sizeOf(log_) : 0;
    offset_ = size - std::min(size, tailRead);
    // Only to know the last check: none of what the log holds now is new.
    readOn(size, [](FailedCheck&&, std::uintmax_t) {});
}

template <typename Take> void LogFollower::readOn(std::uintmax_t size, Take take) {
    while (offset_ < size) {
        std::FILE* file = core::system::openForReading(log_);
        if (file == nullptr || ::fseeko(file, static_cast<off_t>(offset_), SEEK_SET) != 0) {
            if (file != nullptr) {
                std::fclose(file);
            }
            return;
        }
        std::string text(static_cast<std::size_t>(std::min(size - offset_, mostPerLook)), '\0');
        text.resize(std::fread(text.data(), 1, text.size(), file));
        std::fclose(file);
        if (text.empty()) {
            return;
        }
        const std::uintmax_t textStart = offset_;
        offset_ += text.size();
        std::uintmax_t lineEnd = 0;
        const auto sink = [&](const core::LineVerdict& verdict, long /*line*/) {
            if (verdict.kind == core::LineVerdict::Kind::notARecord) {
                return;
            }
            FailedCheck check{std::string(verdict.timeText),
                              verdict.kind == core::LineVerdict::Kind::timed
                                  ? std::optional(verdict.time)
                                  : std::nullopt};
            lastSeen_ = check.timeText;
            if (check.time) {
                latestSeen_ = std::max(latestSeen_.value_or(*check.time), *check.time);
            }
            take(std::move(check), lineEnd);
        };
        std::size_t start = 0;
        for (std::size_t end; (end = text.find('\n', start)) != std::string::npos;
             start = end + 1) {
            unfinished_.append(text, start, end - start);
            lineEnd = textStart + end + 1;
            core::readLine(unfinished_, 0, sink);
            unfinished_.clear();
        }
        unfinished_.append(text, start);
        if (unfinished_.size() > longestUnfinished) {
            unfinished_.erase(0, unfinished_.size() - longestUnfinished);
        }
    }
}

void LogFollower::findPlace(std::uintmax_t size) {
    const std::string seen = lastSeen_;
    const auto latest = latestSeen_;
    std::optional<std::uintmax_t> after; // the end of the last line holding the check last seen
    offset_ = 0;
    unfinished_.clear();
    readOn(size, [&](FailedCheck&& check, std::uintmax_t lineEnd) {
        if (!seen.empty() && check.timeText == seen) {
            after = lineEnd;
        }
    });
    lastSeen_ = seen;
    latestSeen_ = latest;
    unfinished_.clear();
    offset_ = after.value_or(0);
    olderUntil_ = after ? 0 : size;
}

std::vector<FailedCheck> LogFollower::newChecks() {
    const auto identity = core::system::identityOf(log_);
    const std::uintmax_t size = identity ? sizeOf(log_) : 0;
    if (identity != identity_ || size < offset_) {
        identity_ = identity; // gone, replaced or cut short
        if (!identity_) {
            offset_ = 0;
            unfinished_.clear();
            return {};
        }
        findPlace(size);
    }
    const auto latestBefore = latestSeen_;
    std::vector<FailedCheck> checks;
    readOn(std::min(size, offset_ + mostPerLook), [&](FailedCheck&& check, std::uintmax_t lineEnd) {
        // Where the check last seen is gone, what was there already is no news.
        const bool old = lineEnd <= olderUntil_ &&
                         (!check.time || (latestBefore && *check.time <= *latestBefore));
        if (!old) {
            checks.push_back(std::move(check));
        }
    });
    return checks;
}

} // namespace watch
