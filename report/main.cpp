// connectivity-report: turns the monitor's log into outages, a daily summary, CSV, an HTML page
// and metrics for Prometheus.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <CLI/CLI.hpp>

#include "log_records.h"
#include "monitor.h"
#include "output_file.h"
#include "renderers.h"
#include "report.h"
#include "report_os.h"
#include "system.h"
#include "time_text.h"
#include "watch_record.h"
#include "whole_number.h"

namespace {

namespace fs = std::filesystem;
namespace system = core::system;
namespace os = report::os;
using system::FileIdentity;
using system::pathOf;

constexpr const char* usage =
    "usage: connectivity-report [LOG] [--gap SECONDS] [--since DATE] [--until DATE]\n"
    "                           [--csv FILE] [--html FILE [--open]] [--metrics FILE]\n"
    "                           [--quality-csv FILE] [--watch-record FILE | --no-watch-record]\n"
    "                           [--title TEXT]\n";

int fail(const std::string& message) {
    system::writeStandard(stderr, "connectivity-report: " + message + "\n");
    return 1;
}

std::chrono::local_days localDate(const std::string& option, const std::string& text) {
    const std::string_view date = text;
    const auto year = core::digitsOnly<int>(date.substr(0, 4));
    const auto month =
        core::digitsOnly<unsigned>(date.substr(std::min<std::size_t>(5, date.size()), 2));
    const auto day =
        core::digitsOnly<unsigned>(date.substr(std::min<std::size_t>(8, date.size()), 2));
    const bool shaped =
        date.size() == 10 && date[4] == '-' && date[7] == '-' && year && month && day;
    const std::chrono::year_month_day parsed{std::chrono::year{shaped ? *year : 0},
                                             std::chrono::month{shaped ? *month : 0U},
                                             std::chrono::day{shaped ? *day : 0U}};
    if (!shaped || !parsed.ok()) {
        throw CLI::ValidationError(option, "takes a local date as YYYY-MM-DD, not '" + text + "'");
    }
    return std::chrono::local_days{parsed};
}

// What the command line asks for, checked.
struct Options {
    std::string log{core::monitor::logName}; // - is standard input
    long long gapSeconds = 90;
    report::Period period;
    std::string csv; // empty: not written; - is standard output
    std::string html;
    std::string metrics;
    std::string qualityCsv;
    bool openPage = false;
    std::string watchRecord; // empty: connectivityWatch.txt beside a log read from a file
    bool noWatchRecord = false;
    std::string title;
};

enum class Output { summary, csv, html, metrics, qualityCsv };

struct Destination {
    Output output;
    std::string option; // as the person wrote it: --csv
    std::string path;   // as given; - is standard output
    bool toStandardOutput = false;
};

// Fills options from the command line; returns the exit status when there is nothing more to
// do (--help, --version, a usage error).
std::optional<int> parseOptions(std::vector<std::string> arguments, Options& options) {
    CLI::App app{"Turns the connectivity monitor's log into outages, a summary per day, a CSV "
                 "table, an HTML page with a timeline and metrics for Prometheus.",
                 "connectivity-report"};
    app.allow_windows_style_options(false); // a log may be named /path on Windows too
    app.set_version_flag("--version", "connectivity-report " CONNECTIVITY_VERSION);
    std::string gapText = std::to_string(options.gapSeconds);
    std::string sinceText;
    std::string untilText;
    app.add_option("LOG", options.log, "The monitor's log; - reads standard input")
        ->capture_default_str();
    app.add_option("--gap", gapText,
                   "Failed checks at most this many seconds apart belong to one outage")
        ->capture_default_str()
        ->type_name("SECONDS");
    app.add_option("--since", sinceText, "Only outages that began on this local day or later")
        ->type_name("YYYY-MM-DD");
    app.add_option("--until", untilText, "Only outages that began on this local day or earlier")
        ->type_name("YYYY-MM-DD");
    app.add_option("--csv", options.csv,
                   "Also write the outages as CSV to FILE; - writes them to standard output "
                   "instead of the summary")
        ->type_name("FILE");
    app.add_option("--html", options.html,
                   "Also write a self-contained HTML page with a timeline to FILE; - writes it to "
                   "standard output instead")
        ->type_name("FILE");
    app.add_option("--metrics", options.metrics,
                   "Also write the figures in Prometheus' text format to FILE, as the node "
                   "exporter's textfile collector reads them; - writes them to standard output "
                   "instead")
        ->type_name("FILE");
    app.add_option("--quality-csv", options.qualityCsv,
                   "Also write the watcher's quality windows as CSV to FILE, a row per window, "
                   "family and segment; - writes them to standard output instead")
        ->type_name("FILE");
    app.add_flag("--open", options.openPage,
                 "Open the page written by --html in the default browser once it is written");
    auto* record =
        app.add_option("--watch-record", options.watchRecord,
                       "The watcher's record to read; connectivityWatch.txt beside the log by "
                       "default (none for a log read from standard input)")
            ->type_name("FILE");
    app.add_flag("--no-watch-record", options.noWatchRecord,
                 "Read no watcher's record: the figures of the log alone")
        ->excludes(record);
    app.add_option("--title", options.title,
                   "A line of your own at the head of the page and the summary, such as the "
                   "connection's address, provider and contract number")
        ->type_name("TEXT");
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
        options.gapSeconds = gap->count();
        for (const auto& [option, text, day] :
             {std::tuple{"--since", &sinceText, &options.period.since},
              std::tuple{"--until", &untilText, &options.period.until}}) {
            if (app.count(option) > 0) {
                *day = localDate(option, *text);
            }
        }
        if (options.period.since && options.period.until &&
            *options.period.since > *options.period.until) {
            throw CLI::ValidationError("--since " + sinceText + " is after --until " + untilText);
        }
        for (const auto& [option, path] :
             {std::pair{"LOG", &options.log}, std::pair{"--csv", &options.csv},
              std::pair{"--html", &options.html}, std::pair{"--metrics", &options.metrics},
              std::pair{"--quality-csv", &options.qualityCsv},
              std::pair{"--watch-record", &options.watchRecord}}) {
            if (path->empty() && (option == std::string("LOG") || app.count(option) > 0)) {
                throw CLI::ValidationError(option,
                                           option == std::string("--watch-record")
                                               ? "needs a file name"
                                               : "needs a file name (- for standard output)");
            }
        }
        if (options.openPage && (options.html.empty() || options.html == "-")) {
            throw CLI::ValidationError("--open", "opens the page written by --html FILE");
        }
        const std::array written = {options.csv, options.html, options.metrics, options.qualityCsv};
        if (std::count(written.begin(), written.end(), "-") > 1) {
            throw CLI::ValidationError(
                "only one of --csv, --html, --metrics and --quality-csv can be -");
        }
    } catch (const CLI::Success& done) {
        return app.exit(done); // --help or --version
    } catch (const CLI::ParseError& error) {
        system::writeStandard(stderr, std::string("connectivity-report: ") + error.what() + "\n" +
                                          usage + "Run with --help for more.\n");
        return 2;
    }
    return std::nullopt;
}

// In the order they are written. Standard output gets, through one writer and in this order, the
// summary or the output given as - in its place, then each output whose file is standard output's
// own, however it is spelt (/dev/stdout, a redirected file by name).
std::vector<Destination> destinationsOf(const Options& options) {
    const std::array named = {std::tuple{Output::csv, "--csv", options.csv},
                              std::tuple{Output::html, "--html", options.html},
                              std::tuple{Output::metrics, "--metrics", options.metrics},
                              std::tuple{Output::qualityCsv, "--quality-csv", options.qualityCsv}};
    std::vector<Destination> destinations{{Output::summary, "summary", "-", true}};
    for (const auto& [output, option, path] : named) {
        if (path == "-") {
            destinations.front() = {output, option, path, true};
        } else if (!path.empty()) {
            destinations.push_back({output, option, path, os::isStandardOutput(pathOf(path))});
        }
    }
    return destinations;
}

// What is read, and what it is called where it would be overwritten.
struct Input {
    std::optional<FileIdentity> identity;
    const char* what; // "the log being read"
};

// Neither the log nor the watcher's record may ever be overwritten, nor one output by another,
// nor a page opened that went to standard output: refused before anything is written. Empty
// when all is well.
std::string clashOf(const std::vector<Input>& inputs, const std::vector<Destination>& destinations,
                    bool openPage) {
    for (const auto& [identity, what] : inputs) {
        if (identity && identity == system::identityOf(stdout)) {
            return std::string("standard output is ") + what;
        }
    }
    for (std::size_t i = 0; i < destinations.size(); ++i) {
        const Destination& destination = destinations[i];
        if (destination.output == Output::html && destination.toStandardOutput && openPage) {
            return "--open opens a page written to a file, not to standard output";
        }
        if (destination.toStandardOutput) {
            continue; // appended after one another through standard output
        }
        const auto identity = system::identityOf(pathOf(destination.path));
        for (const auto& [input, what] : inputs) {
            if (input && identity == input) {
                return destination.option + " " + destination.path + " is " + what;
            }
        }
        for (std::size_t j = 0; j < i; ++j) {
            if (!destinations[j].toStandardOutput &&
                os::sameFile(pathOf(destinations[j].path), pathOf(destination.path))) {
                return destinations[j].option + " and " + destination.option +
                       " name the same file";
            }
        }
    }
    return {};
}

// The watcher's record to read: the one named, or connectivityWatch.txt beside a log read from a
// file; none for standard input or with --no-watch-record.
std::optional<fs::path> watchRecordPath(const Options& options) {
    if (options.noWatchRecord || (options.watchRecord.empty() && options.log == "-")) {
        return std::nullopt;
    }
    if (!options.watchRecord.empty()) {
        return pathOf(options.watchRecord);
    }
    const fs::path log = pathOf(options.log);
    return (log.has_parent_path() ? log.parent_path() : fs::path(".")) / core::record::fileName;
}

core::record::Stamp nowHere() {
    const auto now = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    return {now, system::offsetAt(now)};
}

// The record, read before the log so each check can take its verdict. One that cannot be read is
// said on standard error, and the outputs say so too; a default one that is not there is none.
std::optional<report::Coverage> readCoverage(const Options& options) {
    const auto path = watchRecordPath(options);
    if (!path) {
        return std::nullopt;
    }
    const std::string name = system::displayName(*path);
    std::FILE* file = system::openForReading(*path);
    if (file == nullptr && errno == ENOENT && options.watchRecord.empty()) {
        return std::nullopt;
    }
    report::Coverage coverage;
    if (file == nullptr) {
        coverage.source = name;
        coverage.problem = std::strerror(errno);
    } else {
        // A record whose watcher still runs is watched up to now: its claim on the folder says so.
        const fs::path folder = path->has_parent_path() ? path->parent_path() : fs::path(".");
        const auto watching = system::folderWatcher(folder)
                                  ? std::optional(nowHere().utc)
                                  : std::optional<std::chrono::sys_seconds>();
        coverage = report::readCoverage(file, name, options.period, watching);
        std::fclose(file);
    }
    if (!coverage.problem.empty()) {
        system::writeStandard(stderr, "connectivity-report: cannot read the watcher's record " +
                                          name + ": " + coverage.problem + "\n");
    }
    return coverage;
}

// Where there is no log: the monitor makes one at its first check, so none has run there; and
// where the installed monitor keeps its own.
std::string noLogWords(const fs::path& log, system::Failure failure) {
    std::error_code error;
    const fs::path where = fs::absolute(log, error);
    const fs::path named = error ? log : where;
    const fs::path folder = named.has_parent_path() ? named.parent_path() : fs::path(".");
    std::string words = "no log at " + system::displayName(named) + " (" +
                        system::describe(failure) +
                        "). The monitor creates its log in the folder "
                        "it runs in at its first check, so none has run in " +
                        system::displayName(folder) + ".";
    if (const auto usual = os::usualLogFolder()) {
        const fs::path usualLog = usual->folder / core::monitor::logName;
        const bool there = fs::exists(usualLog, error);
        words += " " + usual->whose + " monitor logs in " + system::displayName(usual->folder) +
                 (there ? "; read that log with: connectivity-report \"" +
                              system::displayName(usualLog) + "\""
                        : ", where there is no log either");
        words += ".";
    }
    return words;
}

std::string rendered(Output output, const report::Report& figures, const std::string& source) {
    switch (output) {
    case Output::summary:
        return report::textSummary(figures, source);
    case Output::csv:
        return report::csvTable(figures);
    case Output::html:
        return report::htmlPage(figures, source);
    case Output::metrics:
        return report::metrics(figures);
    case Output::qualityCsv:
        break; // written piece by piece
    }
    return {};
}

int run(std::vector<std::string> arguments) {
    Options options;
    if (const std::optional<int> status = parseOptions(std::move(arguments), options)) {
        return *status;
    }
    const bool fromStandardInput = options.log == "-";
    std::FILE* log =
        fromStandardInput ? os::standardInput() : system::openForReading(pathOf(options.log));
    if (log == nullptr) {
        const system::Failure failure = system::lastFailure();
        if (system::isAbsent(failure)) {
            return fail(noLogWords(pathOf(options.log), failure));
        }
        return fail("cannot open " + options.log + ": " + system::describe(failure));
    }
    std::optional<report::Coverage> coverage = readCoverage(options);
    const std::vector<Destination> destinations = destinationsOf(options);
    const auto recordPath = watchRecordPath(options);
    if (const std::string clash =
            clashOf({{system::identityOf(log), "the log being read"},
                     {recordPath ? system::identityOf(*recordPath) : std::nullopt,
                      "the watcher's record being read"}},
                    destinations, options.openPage);
        !clash.empty()) {
        system::writeStandard(stderr, "connectivity-report: " + clash + "\n" + usage);
        return 2;
    }

    const bool recordRead = coverage && coverage->problem.empty();
    report::ReportBuilder builder{std::chrono::seconds{options.gapSeconds}, options.period,
                                  recordRead ? &*coverage : nullptr};
    const std::string readError = core::readLog(
        log, [&](const core::LineVerdict& verdict, long line) { builder.add(verdict, line); });
    if (!fromStandardInput) {
        std::fclose(log);
    }
    if (!readError.empty()) {
        return fail("cannot read " + options.log + ": " + readError);
    }
    report::Report figures = builder.finish();
    const std::string source = fromStandardInput ? "standard input" : options.log;
    // A file with lines and none of them the monitor's is some other file: figures made of it
    // would say the line never failed.
    if (figures.monitorLines == 0 && figures.skippedLines > 0) {
        return fail(source + " is not a connectivity log: none of its " +
                    core::count(figures.skippedLines, "line", "lines") +
                    " is a failed check as the monitor writes it (\"" +
                    std::string(core::monitor::logLineStart) + " ...\"); nothing was written");
    }
    figures.about = {options.title, system::machineName(), nowHere(), CONNECTIVITY_VERSION};
    if (coverage) {
        figures.watch = report::watchFigures(*coverage, figures);
    }

    // An output's pieces: the quality CSV from the record read again, each other one whole.
    const auto piecesOf = [&](const Destination& destination) -> report::Pieces {
        if (destination.output != Output::qualityCsv) {
            return [text = rendered(destination.output, figures, source)](
                       const report::Write& write) { return write(text); };
        }
        return [&](const report::Write& write) {
            std::FILE* record = recordRead ? system::openForReading(*recordPath) : nullptr;
            const system::Failure failure = report::qualityCsv(record, options.period, write);
            if (record != nullptr) {
                std::fclose(record);
            }
            return failure;
        };
    };
    int status = 0;
    for (const Destination& destination : destinations) {
        const report::Pieces pieces = piecesOf(destination);
        if (destination.toStandardOutput) {
            std::string problem;
            pieces([&](std::string_view piece) -> system::Failure {
                problem = system::writeStandard(stdout, piece);
                return problem.empty() ? 0 : EIO;
            });
            if (!problem.empty()) {
                status = fail("cannot write standard output: " + problem);
            }
        } else if (const std::string problem =
                       report::writeOutput(pathOf(destination.path), pieces);
                   !problem.empty()) {
            status = fail(problem);
        } else if (destination.output == Output::html && options.openPage) {
            if (const std::string problem = os::openInBrowser(pathOf(destination.path));
                !problem.empty()) {
                status = fail("cannot open " + destination.path + " in the browser: " + problem);
            }
        }
    }
    return status;
}

} // namespace

int main(int argc, char** argv) {
    system::prepareProcess();
    try {
        return run(system::arguments(argc, argv));
    } catch (const std::exception& error) { // out of memory, say: said plainly, not a crash
        return fail(error.what());
    }
}
