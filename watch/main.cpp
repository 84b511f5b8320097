// connectivity-watch: runs the connectivity monitor in the log folder, records when it was
// watching, says why each failed check failed, and tells the person when the connection drops
// and returns.
#include <optional>
#include <sstream>

#include <CLI/CLI.hpp>

#include "monitor.h"
#include "session.h"
#include "status.h"
#include "system.h"
#include "watch_os.h"
#include "watch_record.h"
#include "whole_number.h"

namespace {

namespace fs = std::filesystem;
namespace record = core::record;
using namespace std::chrono_literals;
using watch::os::tell;

constexpr const char* usage =
    "usage: connectivity-watch [--quiet] [--on-change COMMAND] [--gap SECONDS]\n"
    "                          [--sample SECONDS] [--window SECONDS] [--degraded-loss PERCENT]\n"
    "                          [--degraded-slower TIMES] [--degraded-margin MS]\n"
    "       connectivity-watch --stop | --status [FOLDER]\n";

// A quality window's length as typed: whole seconds, from 10 to a day.
std::optional<std::chrono::seconds> windowOf(const std::string& text) {
    const auto seconds = core::digitsOnly<long long>(text);
    return seconds && *seconds >= 10 && *seconds <= 86'400
               ? std::optional(std::chrono::seconds{*seconds})
               : std::nullopt;
}

// A number of seconds as typed, with up to three decimals: "10", "0.05".
std::optional<std::chrono::milliseconds> secondsOf(const std::string& text) {
    const std::size_t point = text.find('.');
    const auto whole = core::digitsOnly<long long>(text.substr(0, point));
    const std::string fraction = point == std::string::npos ? "" : text.substr(point + 1);
    const auto thousandths = fraction.empty()
                                 ? std::optional(0LL)
                                 : core::digitsOnly<long long>((fraction + "00").substr(0, 3));
    if (!whole || !thousandths || fraction.size() > 3 ||
        (point != std::string::npos && fraction.empty()) || *whole > 86'400) {
        return std::nullopt;
    }
    return std::chrono::milliseconds{*whole * 1000 + *thousandths};
}

// --stop's exit status where no watcher ran in the folder (the folder is unwatched, as asked, yet
// a script such as the installer may want to know that nothing was running), and --status's
// where none runs.
constexpr int notWatching = 3;

std::string named(const fs::path& path) {
    return core::system::displayName(path);
}

int run(std::vector<std::string> arguments) {
    CLI::App app{"Runs the connectivity monitor in the current folder, its log folder: restarts it "
                 "if it ends, records in connectivityWatch.txt when it was watching and why each "
                 "failed check failed, and says when the connection drops and returns.",
                 "connectivity-watch"};
    app.allow_windows_style_options(false);
    app.set_version_flag("--version", "connectivity-watch " CONNECTIVITY_VERSION);
    watch::Options options;
    bool stop = false;
    auto* stopFlag =
        app.add_flag("--stop", stop, "Stop the watcher of the current folder, and its monitor");
    std::string statusFolder;
    app.add_option("--status", statusFolder,
                   "Say whether a watcher runs in FOLDER (the current folder by default), whether "
                   "the connection is up now, and the last outage; exit status 0 where one "
                   "watches, 3 where none does")
        ->expected(0, 1)
        ->default_str(".")
        ->type_name("[FOLDER]")
        ->excludes(stopFlag);
    app.add_flag("--quiet", options.quiet, "Show no message when the connection drops and returns");
    app.add_option("--on-change", options.onChange,
                   "Run COMMAND when the connection drops and when it returns, with "
                   "CONNECTIVITY_EVENT (down or up) and the outage's figures in its environment")
        ->type_name("COMMAND");
    std::string gapText = "90";
    app.add_option("--gap", gapText,
                   "The connection is back once no failed check has come for longer than this, as "
                   "the report's --gap groups failed checks into one outage")
        ->capture_default_str()
        ->type_name("SECONDS");
    std::string sampleText = "10";
    app.add_option("--sample", sampleText,
                   "While the connection is up, probe the gateway and past the provider's edge "
                   "this often, to record round trips and loss; 0 turns it off")
        ->capture_default_str()
        ->type_name("SECONDS");
    std::string windowText = "300";
    app.add_option("--window", windowText,
                   "Record the quality once a window of this many seconds (at least 10), on the "
                   "wall clock's multiples")
        ->capture_default_str()
        ->type_name("SECONDS");
    double lossPercent = 10;
    app.add_option("--degraded-loss", lossPercent,
                   "A window is degraded where a segment loses this share of its probes")
        ->capture_default_str()
        ->check(CLI::Range(1.0, 100.0))
        ->type_name("PERCENT");
    app.add_option("--degraded-slower", options.thresholds.slower,
                   "... or where its median round trip is this many times its usual one")
        ->capture_default_str()
        ->check(CLI::Range(1.5, 100.0))
        ->type_name("TIMES");
    app.add_option("--degraded-margin", options.thresholds.margin,
                   "... and this many milliseconds more")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 60'000.0))
        ->type_name("MS");
    std::vector<char*> argv;
    argv.reserve(arguments.size());
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    try {
        app.parse(static_cast<int>(argv.size()), argv.data());
        const auto gap = core::gapOf(gapText);
        if (!gap) {
            throw CLI::ValidationError("--gap", core::gapRule(gapText));
        }
        options.gap = *gap;
        const auto sample = secondsOf(sampleText);
        if (!sample || (sample->count() > 0 && sample->count() < 10)) {
            throw CLI::ValidationError("--sample", "takes seconds, 0.01 or more (0 turns it off), "
                                                   "with up to three decimals, not '" +
                                                       sampleText + "'");
        }
        options.sample = *sample;
        const auto window = windowOf(windowText);
        if (!window) {
            throw CLI::ValidationError("--window", "takes a whole number of seconds from 10 to "
                                                   "86400, not '" +
                                                       windowText + "'");
        }
        options.window = *window;
        options.thresholds.loss = lossPercent / 100;
    } catch (const CLI::Success& done) { // --help or --version
        std::ostringstream out;
        app.exit(done, out, out);
        std::string text = out.str();
        while (!text.empty() && text.back() == '\n') {
            text.pop_back();
        }
        tell(text, false);
        return 0;
    } catch (const CLI::ParseError& error) {
        tell(std::string("connectivity-watch: ") + error.what() + "\n" + usage +
                 "Run with --help for more.",
             true);
        return 2;
    }

    options.folder = fs::current_path();
    if (app.count("--status") > 0) {
        const fs::path folder = core::system::pathOf(statusFolder.empty() ? "." : statusFolder);
        std::error_code error;
        if (!fs::is_directory(folder, error)) {
            tell("connectivity-watch: --status: " + named(folder) + " is not a folder", true);
            return 2;
        }
        const fs::path canonical = fs::canonical(folder, error);
        const auto status = watch::statusOf(
            error ? folder : canonical,
            std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now()));
        std::string text;
        for (const std::string& line : watch::statusLines(status)) {
            text.append(text.empty() ? "" : "\n").append(line);
        }
        tell(text, false);
        return status.watcher ? 0 : notWatching;
    }
    if (stop) {
        const auto outcome = watch::os::stopWatcher(options.folder, 20s);
        if (!outcome.problem.empty()) {
            tell("connectivity-watch: " + outcome.problem, true);
            return 1;
        }
        tell(outcome.wasWatching ? "connectivity-watch: stopped watching " + named(options.folder)
                                 : "connectivity-watch: nothing watches " + named(options.folder),
             false);
        return outcome.wasWatching ? 0 : notWatching;
    }

    std::string why;
    std::optional<long> holder;
    const auto claim = watch::os::Claim::make(options.folder, holder, why);
    if (!claim) {
        if (holder) {
            tell("connectivity-watch: " +
                     (*holder != 0 ? "connectivity-watch (process " + std::to_string(*holder) + ")"
                                   : std::string("another connectivity-watch")) +
                     " already watches " + named(options.folder),
                 false);
            return 0; // the folder is watched, as asked
        }
        tell("connectivity-watch: cannot watch " + named(options.folder) + ": " + why, true);
        return 1;
    }
    const auto loop = watch::os::Loop::make(options.folder, CONNECTIVITY_VERSION);
    watch::Session session(options, loop->desktop(), loop->waker());
    session.begin(CONNECTIVITY_VERSION);
    // What can never work without the person's help ends the watch at once, said plainly.
    const fs::path recordPath = options.folder / record::fileName;
    if (session.recordNeverWritable()) {
        tell("connectivity-watch: cannot watch " + named(options.folder) + ": cannot write " +
                 named(recordPath) + ": " + session.recordProblem(),
             true);
        session.end("the record cannot be written");
        return 1;
    }
    if (!session.monitorProblem().empty()) {
        tell("connectivity-watch: cannot watch " + named(options.folder) + ": " +
                 session.monitorProblem() + " (the monitor belongs beside connectivity-watch)",
             true);
        session.end("the monitor cannot be started");
        return 1;
    }
    if (!session.recordProblem().empty()) {
        tell("connectivity-watch: cannot write " + named(recordPath) + ": " +
                 session.recordProblem() + "; watching on, and trying again every 5 s",
             true);
    }
    tell("connectivity-watch: watching " + named(options.folder) + ": the monitor's log " +
             std::string(core::monitor::logName) + ", this record " +
             std::string(record::fileName) +
             (watch::os::osName() == "windows" ? ". Stop it from its icon's menu"
                                               : ". Stop it with Ctrl+C") +
             ", or with connectivity-watch --stop in this folder; connectivity-watch --status "
             "says how it goes.",
         false);
    session.end(loop->run(session));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    core::system::prepareProcess();
    try {
        return run(core::system::arguments(argc, argv));
    } catch (const std::exception& error) { // out of memory, say: said plainly, not a crash
        tell(std::string("connectivity-watch: ") + error.what(), true);
        return 1;
    }
}
