// connectivity-report: turns the monitor's log into outages, a daily summary, CSV, an HTML page
// and metrics for Prometheus.
#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
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

struct Output {
    std::string option; // --csv
    std::string path;   // as given; - is standard output
    std::function<std::string()> render;
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
std::string clashOf(const std::optional<FileIdentity>& log, const std::vector<Output>& outputs) {
    const std::optional<FileIdentity> console = report::identityOf(stdout);
    if (log && log == console) {
        return "standard output is the log being read";
    }
    // Standard output's own file, however it is spelt, is appended to, as standard output is.
    const auto appended = [&console](const Output& output) {
        return output.path == "-" ||
               (console && report::identityOf(pathOf(output.path)) == console);
    };
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        const Output& output = outputs[i];
        if (output.path == "-") {
            continue;
        }
        if (log && report::identityOf(pathOf(output.path)) == log) {
            return output.option + " " + output.path + " is the log being read";
        }
        for (std::size_t j = 0; j < i && !appended(output); ++j) {
            if (!appended(outputs[j]) && sameFile(outputs[j].path, output.path)) {
                return outputs[j].option + " and " + output.option + " name the same file";
            }
        }
    }
    return {};
}

int run(int argc, char** argv) {
    CLI::App app{"Turns the connectivity monitor's log into outages, a summary per day, a CSV "
                 "table, an HTML page with a timeline and metrics for Prometheus.",
                 "connectivity-report"};
    app.allow_windows_style_options(false); // a log may be named /path on Windows too
    app.set_version_flag("--version", "connectivity-report " CONNECTIVITY_VERSION);
    std::string logPath = "connectivityLog.txt";
    std::string gapText = "90";
    std::string sinceText;
    std::string untilText;
    std::vector<Output> outputs;
    app.add_option("LOG", logPath, "The monitor's log; - reads standard input")
        ->capture_default_str();
    app.add_option("--gap", gapText,
                   "Failed checks at most this many seconds apart belong to one outage")
        ->capture_default_str()
        ->type_name("SECONDS");
    app.add_option("--since", sinceText, "Only outages that began on this local day or later")
        ->type_name("YYYY-MM-DD");
    app.add_option("--until", untilText, "Only outages that began on this local day or earlier")
        ->type_name("YYYY-MM-DD");
    std::string csvPath;
    std::string htmlPath;
    std::string metricsPath;
    app.add_option("--csv", csvPath,
                   "Also write the outages as CSV to FILE; - writes them to standard output "
                   "instead of the summary")
        ->type_name("FILE");
    app.add_option("--html", htmlPath,
                   "Also write a self-contained HTML page with a timeline to FILE; - writes it to "
                   "standard output instead")
        ->type_name("FILE");
    app.add_option("--metrics", metricsPath,
                   "Also write the figures in Prometheus' text format to FILE, as the node "
                   "exporter's textfile collector reads them; - writes them to standard output "
                   "instead")
        ->type_name("FILE");
    bool openPage = false;
    app.add_flag("--open", openPage,
                 "Open the page written by --html in the default browser once it is written");
    long long gapSeconds = 0;
    report::Period period;
    try {
        app.parse(argc, argv);
        gapSeconds = decimalSeconds(gapText);
        period = {localDate("--since", sinceText), localDate("--until", untilText)};
        if (period.since && period.until && *period.since > *period.until) {
            throw CLI::ValidationError("--since " + sinceText + " is after --until " + untilText);
        }
        for (const auto& [option, path] :
             {std::pair{"LOG", &logPath}, std::pair{"--csv", &csvPath},
              std::pair{"--html", &htmlPath}, std::pair{"--metrics", &metricsPath}}) {
            if (path->empty() && (option == std::string("LOG") || app.count(option) > 0)) {
                throw CLI::ValidationError(option, "needs a file name (- for standard output)");
            }
        }
        if (openPage && (htmlPath.empty() || htmlPath == "-")) {
            throw CLI::ValidationError("--open", "opens the page written by --html FILE");
        }
        const std::array written = {csvPath, htmlPath, metricsPath};
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

    const bool fromStandardInput = logPath == "-";
    std::FILE* log = fromStandardInput ? stdin : openLog(logPath);
    if (log == nullptr) {
        return fail("cannot open " + logPath + ": " + std::strerror(errno));
    }
#ifdef _WIN32
    // Line ends are ours to read: text mode would turn CR LF into LF and stop at a Ctrl+Z byte.
    ::_setmode(::_fileno(log), _O_BINARY);
#endif
    const std::string source = fromStandardInput ? "standard input" : logPath;
    report::Report figures;
    const auto summary = [&] { return report::textSummary(figures, source); };
    if (csvPath != "-" && htmlPath != "-" && metricsPath != "-") {
        outputs.push_back({"summary", "-", summary});
    }
    for (const auto& [option, path, render] :
         {std::tuple{"--csv", csvPath, std::function([&] { return report::csvTable(figures); })},
          std::tuple{"--html", htmlPath,
                     std::function([&] { return report::htmlPage(figures, source); })},
          std::tuple{"--metrics", metricsPath,
                     std::function([&] { return report::metrics(figures); })}}) {
        if (!path.empty()) {
            outputs.push_back({option, path, render});
        }
    }
    if (const std::string clash = clashOf(report::identityOf(log), outputs); !clash.empty()) {
        writeStream(stderr, "connectivity-report: " + clash + "\n" + usage);
        return 2;
    }

    report::ReportBuilder builder{std::chrono::seconds{gapSeconds}, period};
    const std::string readError = report::readLog(
        log, [&](const report::LineVerdict& verdict, long line) { builder.add(verdict, line); });
    if (!fromStandardInput) {
        std::fclose(log);
    }
    if (!readError.empty()) {
        return fail("cannot read " + logPath + ": " + readError);
    }
    figures = builder.finish();

    int status = 0;
    for (const Output& output : outputs) {
        const std::string text = output.render();
        if (output.path == "-") {
            if (!writeStream(stdout, text)) {
                status = fail(std::string("cannot write standard output: ") + std::strerror(errno));
            }
        } else if (const std::string problem = report::writeOutput(pathOf(output.path), text);
                   !problem.empty()) {
            status = fail(problem);
        } else if (output.option == "--html" && openPage) {
            if (const std::string problem = report::openInBrowser(pathOf(output.path));
                !problem.empty()) {
                status = fail("cannot open " + output.path + " in the browser: " + problem);
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
