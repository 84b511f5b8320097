// connectivity-report: turns the monitor's log into outages, a daily summary, CSV, an HTML page
// and metrics for Prometheus.
#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <CLI/CLI.hpp>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "utf8_windows.h"
#endif

#include "browser.h"
#include "log_records.h"
#include "outages.h"
#include "output_file.h"
#include "renderers.h"

namespace {

namespace fs = std::filesystem;
using report::FileIdentity;

constexpr const char* usage =
    "usage: connectivity-report [LOG] [--gap SECONDS] [--since DATE] [--until DATE]\n"
    "                           [--csv FILE] [--html FILE [--open]] [--metrics FILE]\n";
constexpr long long longestGap = 366LL * 86'400;

// Writes all of text; a reader that has gone away (| head, a closed pager) is no failure.
bool writeStream(std::FILE* stream, std::string_view text) {
#ifdef _WIN32
    const HANDLE handle = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)));
    DWORD mode = 0;
    if (::GetConsoleMode(handle, &mode)) { // a console shows Unicode only through the wide call
        std::fflush(stream);
        const std::wstring wide = report::wideFrom(text);
        DWORD wrote = 0;
        return ::WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &wrote,
                               nullptr) != 0;
    }
#endif
    const bool wrote = std::fwrite(text.data(), 1, text.size(), stream) == text.size();
    return (std::fflush(stream) == 0 && wrote) || errno == EPIPE;
}

int fail(const std::string& message) {
    writeStream(stderr, "connectivity-report: " + message + "\n");
    return 1;
}

fs::path pathOf(const std::string& given) {
#ifdef _WIN32
    return report::wideFrom(given);
#else
    return given;
#endif
}

std::FILE* openLog(const std::string& given) {
#ifdef _WIN32
    return ::_wfopen(pathOf(given).c_str(), L"rb");
#else
    return std::fopen(given.c_str(), "rb");
#endif
}

// Decimal digits only: no sign, no base prefix, no exponent.
long long decimalSeconds(const std::string& text) {
    long long value = -1;
    const char* const end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || text.front() == '-' || text.front() == '+' || error != std::errc() ||
        stop != end || value > longestGap) {
        throw CLI::ValidationError("--gap", "takes a decimal number of seconds from 0 to " +
                                                std::to_string(longestGap) + ", not '" + text +
                                                "'");
    }
    return value;
}

std::optional<std::chrono::local_days> localDate(const std::string& option,
                                                 const std::string& text) {
    if (text.empty()) {
        return std::nullopt;
    }
    const bool shaped = text.size() == 10 && text[4] == '-' && text[7] == '-' &&
                        std::all_of(text.begin(), text.end(),
                                    [](char c) { return c == '-' || (c >= '0' && c <= '9'); });
    const std::chrono::year_month_day date{
        std::chrono::year{shaped ? std::stoi(text.substr(0, 4)) : 0},
        std::chrono::month{shaped ? static_cast<unsigned>(std::stoi(text.substr(5, 2))) : 0U},
        std::chrono::day{shaped ? static_cast<unsigned>(std::stoi(text.substr(8, 2))) : 0U}};
    if (!shaped || !date.ok()) {
        throw CLI::ValidationError(option, "takes a local date as YYYY-MM-DD, not '" + text + "'");
    }
    return std::chrono::local_days{date};
}

// What the command line asks for, checked.
struct Options {
    std::string log = "connectivityLog.txt"; // - is standard input
    long long gapSeconds = 90;
    report::Period period;
    std::string csv; // empty: not written; - is standard output
    std::string html;
    std::string metrics;
    bool openPage = false;
};

enum class Output { summary, csv, html, metrics };

struct Destination {
    Output output;
    std::string option; // as the person wrote it: --csv
    std::string path;   // as given; - is standard output
};

// The same file by identity, or for files not yet made, the same place once symlinks and dots
// are resolved.
bool sameFile(const std::string& a, const std::string& b) {
    const auto first = report::identityOf(pathOf(a));
    const auto second = report::identityOf(pathOf(b));
    if (first || second) {
        return first == second;
    }
    std::error_code error;
    const auto place = [&error](const std::string& given) {
        return fs::weakly_canonical(fs::absolute(pathOf(given), error), error);
    };
    return place(a) == place(b);
}

// The log must never be overwritten, nor one output by another: refused before anything is
// written. Empty when all is well.
std::string clashOf(const std::optional<FileIdentity>& log,
                    const std::vector<Destination>& destinations) {
    const std::optional<FileIdentity> console = report::identityOf(stdout);
    if (log && log == console) {
        return "standard output is the log being read";
    }
    // Standard output's own file, however it is spelt, is appended to, as standard output is.
    const auto appended = [&console](const Destination& destination) {
        return destination.path == "-" ||
               (console && report::identityOf(pathOf(destination.path)) == console);
    };
    for (std::size_t i = 0; i < destinations.size(); ++i) {
        const Destination& destination = destinations[i];
        if (destination.path == "-") {
            continue;
        }
        if (log && report::identityOf(pathOf(destination.path)) == log) {
            return destination.option + " " + destination.path + " is the log being read";
        }
        for (std::size_t j = 0; j < i && !appended(destination); ++j) {
            if (!appended(destinations[j]) && sameFile(destinations[j].path, destination.path)) {
                return destinations[j].option + " and " + destination.option +
                       " name the same file";
            }
        }
    }
    return {};
}

// Fills options from the command line; returns the exit status when there is nothing more to
// do (--help, --version, a usage error).
std::optional<int> parseOptions(int argc, char** argv, Options& options) {
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
    app.add_flag("--open", options.openPage,
                 "Open the page written by --html in the default browser once it is written");
    try {
        app.parse(argc, argv);
        options.gapSeconds = decimalSeconds(gapText);
        options.period = {localDate("--since", sinceText), localDate("--until", untilText)};
        if (options.period.since && options.period.until &&
            *options.period.since > *options.period.until) {
            throw CLI::ValidationError("--since " + sinceText + " is after --until " + untilText);
        }
        for (const auto& [option, path] :
             {std::pair{"LOG", &options.log}, std::pair{"--csv", &options.csv},
              std::pair{"--html", &options.html}, std::pair{"--metrics", &options.metrics}}) {
            if (path->empty() && (option == std::string("LOG") || app.count(option) > 0)) {
                throw CLI::ValidationError(option, "needs a file name (- for standard output)");
            }
        }
        if (options.openPage && (options.html.empty() || options.html == "-")) {
            throw CLI::ValidationError("--open", "opens the page written by --html FILE");
        }
        const std::array written = {options.csv, options.html, options.metrics};
        if (std::count(written.begin(), written.end(), "-") > 1) {
            throw CLI::ValidationError("only one of --csv, --html and --metrics can be -");
        }
    } catch (const CLI::Success& done) {
        return app.exit(done); // --help or --version
    } catch (const CLI::ParseError& error) {
        writeStream(stderr, std::string("connectivity-report: ") + error.what() + "\n" + usage +
                                "Run with --help for more.\n");
        return 2;
    }
    return std::nullopt;
}

// The summary goes to standard output unless another output was sent there instead.
std::vector<Destination> destinationsOf(const Options& options) {
    std::vector<Destination> destinations;
    if (options.csv != "-" && options.html != "-" && options.metrics != "-") {
        destinations.push_back({Output::summary, "summary", "-"});
    }
    for (const auto& [output, option, path] :
         {std::tuple{Output::csv, "--csv", options.csv},
          std::tuple{Output::html, "--html", options.html},
          std::tuple{Output::metrics, "--metrics", options.metrics}}) {
        if (!path.empty()) {
            destinations.push_back({output, option, path});
        }
    }
    return destinations;
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
    }
    return {};
}

int run(int argc, char** argv) {
    Options options;
    if (const std::optional<int> status = parseOptions(argc, argv, options)) {
        return *status;
    }
    const bool fromStandardInput = options.log == "-";
    std::FILE* log = fromStandardInput ? stdin : openLog(options.log);
    if (log == nullptr) {
        return fail("cannot open " + options.log + ": " + std::strerror(errno));
    }
#ifdef _WIN32
    // Line ends are ours to read: text mode would turn CR LF into LF and stop at a Ctrl+Z byte.
    ::_setmode(::_fileno(log), _O_BINARY);
#endif
    const std::vector<Destination> destinations = destinationsOf(options);
    if (const std::string clash = clashOf(report::identityOf(log), destinations); !clash.empty()) {
        writeStream(stderr, "connectivity-report: " + clash + "\n" + usage);
        return 2;
    }

    report::ReportBuilder builder{std::chrono::seconds{options.gapSeconds}, options.period};
    const std::string readError = report::readLog(
        log, [&](const report::LineVerdict& verdict, long line) { builder.add(verdict, line); });
    if (!fromStandardInput) {
        std::fclose(log);
    }
    if (!readError.empty()) {
        return fail("cannot read " + options.log + ": " + readError);
    }
    const report::Report figures = builder.finish();
    const std::string source = fromStandardInput ? "standard input" : options.log;

    int status = 0;
    for (const Destination& destination : destinations) {
        const std::string text = rendered(destination.output, figures, source);
        if (destination.path == "-") {
            if (!writeStream(stdout, text)) {
                status = fail(std::string("cannot write standard output: ") + std::strerror(errno));
            }
        } else if (const std::string problem = report::writeOutput(pathOf(destination.path), text);
                   !problem.empty()) {
            status = fail(problem);
        } else if (destination.output == Output::html && options.openPage) {
            if (const std::string problem = report::openInBrowser(pathOf(destination.path));
                !problem.empty()) {
                status = fail("cannot open " + destination.path + " in the browser: " + problem);
            }
        }
    }
    return status;
}

} // namespace

#ifdef _WIN32
// The wide command line, so that names outside the ANSI code page arrive whole, passed on as UTF-8.
int wmain(int argc, wchar_t** wideArgv) {
    std::vector<std::string> arguments;
    for (int i = 0; i < argc; ++i) {
        arguments.push_back(report::utf8From(wideArgv[i]));
    }
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    try {
        return run(argc, argv.data());
    } catch (const std::exception& error) { // out of memory, say: said plainly, not a crash
        return fail(error.what());
    }
}
#else
int main(int argc, char** argv) {
    // A reader that stops reading must not cost the files; a file-size limit is a failure to
    // report, not a signal that kills us with a temporary left behind.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    try {
        return run(argc, argv);
    } catch (const std::exception& error) { // out of memory, say: said plainly, not a crash
        return fail(error.what());
    }
}
#endif
