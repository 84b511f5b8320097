// Following the log: only what it gains is new, in whole lines, whether it is appended to, saved
// by an editor, trimmed, or begun anew.
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>
#include <unistd.h>

#include "log_follower.h"

namespace fs = std::filesystem;

namespace {

const std::string prefix = "internet connection test failed on ";

void write(const fs::path& path, const std::string& text, std::ios::openmode mode) {
    std::ofstream(path, std::ios::binary | mode) << text;
}

std::vector<std::string> textsOf(const std::vector<watch::FailedCheck>& checks) {
    std::vector<std::string> texts;
    texts.reserve(checks.size());
    for (const auto& check : checks) {
        texts.push_back(check.timeText + (check.time ? "" : " (untimed)"));
    }
    return texts;
}

} // namespace

TEST(LogFollower, OnlyWhatTheLogGainsIsNewWhateverIsDoneToIt) {
    const fs::path folder = fs::temp_directory_path() / ("follow-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    const fs::path log = folder / "connectivityLog.txt";
    write(log, prefix + "Sun Feb 18 00:29:21 2024\n", std::ios::trunc);
    watch::LogFollower follower(log);
    const auto app = std::ios::app;
    const auto trunc = std::ios::trunc;
    // Each step: what is done to the log, then the checks the next look finds.
    const std::string seen =
        prefix + "Sun Feb 18 00:29:21 2024\n" + prefix + "Sun Feb 18 00:29:52 2024\n";
    const struct {
        std::string text;
        std::ios::openmode mode;
        bool replace;
        std::vector<std::string> found;
    } steps[] = {
        {"", app, false, {}}, // what it held at the start is not new
        {prefix + "Sun Feb 18 00:29:52 2024\r\ntyped by hand\n" + prefix + "(time unavailable)\n",
         app,
         false,
         {"Sun Feb 18 00:29:52 2024", "(time unavailable) (untimed)"}},
        {prefix + "Sun Feb 18 00:3", app, false, {}}, // a line not yet ended waits
        {"0:23 2024\n", app, false, {"Sun Feb 18 00:30:23 2024"}},
        // A torn line longer than any record, ended by the next cycle's record much later.
        {std::string(5000, '\0'), app, false, {}},
        {prefix + "Mon Feb 19 00:00:11 2024\n", app, false, {"Mon Feb 19 00:00:11 2024"}},
        // An editor saves the log (another file, Windows' line ends), or trims its head in place:
        // what it held is no news, what it gains after is.
        {seen + prefix + "Mon Feb 19 00:00:11 2024\r\n", trunc, true, {}},
        {prefix + "Mon Feb 19 00:00:11 2024\n" + prefix + "Mon Feb 19 00:00:42 2024\n",
         trunc,
         false,
         {"Mon Feb 19 00:00:42 2024"}},
        // Cut to lines older than all seen: nothing; the monitor's next line after them: new.
        {seen, trunc, true, {}},
        {prefix + "Tue Feb 20 10:00:00 2024\n", app, false, {"Tue Feb 20 10:00:00 2024"}},
        // The clock set back: the check last seen is not the latest; cut to the latest, nothing.
        {prefix + "Tue Feb 20 09:00:00 2024\n", app, false, {"Tue Feb 20 09:00:00 2024"}},
        {seen + prefix + "Tue Feb 20 10:00:00 2024\n", trunc, true, {}},
        // Emptied, or replaced by a log begun anew: its later checks are new.
        {prefix + "Wed Feb 21 10:00:00 2024\n", trunc, false, {"Wed Feb 21 10:00:00 2024"}},
        {prefix + "Thu Feb 22 10:00:00 2024\n" + prefix + "Thu Feb 22 10:00:31 2024\n",
         trunc,
         true,
         {"Thu Feb 22 10:00:00 2024", "Thu Feb 22 10:00:31 2024"}},
    };
    for (const auto& [text, mode, replace, found] : steps) {
        if (replace) { // another file under the log's name
            write(folder / "new.txt", text, std::ios::trunc);
            fs::rename(folder / "new.txt", log);
        } else {
            write(log, text, mode);
        }
        EXPECT_EQ(textsOf(follower.newChecks()), found) << text.substr(0, 60);
    }
    fs::remove(log);
    EXPECT_TRUE(follower.newChecks().empty());
    write(log, prefix + "Fri Feb 23 10:00:00 2024\n", std::ios::trunc);
    EXPECT_EQ(textsOf(follower.newChecks()), std::vector<std::string>{"Fri Feb 23 10:00:00 2024"});
    fs::remove_all(folder);
}
