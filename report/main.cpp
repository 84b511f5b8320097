// connectivity-report: turns the monitor's log into outages, a daily summary, CSV and an HTML page.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include <CLI/CLI.hpp>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "log_records.h"
#include "outages.h"
#include "output_file.h"
#include "renderers.h"

namespace {

constexpr const char* usage =
    "usage: connectivity-report [LOG] [--gap SECONDS] [--csv FILE] [--html FILE]\n";

int fail(const std::string& message) {
    std::cerr << "connectivity-report: " << message << "\n";
    return 1;
}

int run(int argc, char** argv) {
    CLI::App app{"Turns the connectivity monitor's log into outages, a summary per day, a CSV "
                 "table and an HTML page with a timeline.",
                 "connectivity-report"};
    app.set_version_flag("--version", "connectivity-report " CONNECTIVITY_VERSION);
    std::string logPath = "connectivityLog.txt";
    long long gapSeconds = 90;
    std::string csvPath;
    std::string htmlPath;
    app.add_option("LOG", logPath, "The monitor's log; - reads standard input")
        ->capture_default_str();
    app.add_option("--gap", gapSeconds,
                   "Failed checks at most this many seconds apart belong to one outage")
        ->capture_default_str()
        ->check(CLI::Range(0LL, 366LL * 86400))
        ->type_name("SECONDS");
    app.add_option("--csv", csvPath,
                   "Also write the outages as CSV to FILE; - writes them to "
                   "standard output instead of the summary")
        ->type_name("FILE");
    app.add_option("--html", htmlPath,
                   "Also write a self-contained HTML page with a timeline to "
                   "FILE; - writes it to standard output instead")
        ->type_name("FILE");
    try {
        app.parse(argc, argv);
        if (csvPath == "-" && htmlPath == "-") {
            throw CLI::ValidationError("--csv and --html cannot both write to standard output");
        }
    } catch (const CLI::Success& done) {
        return app.exit(done); // --help or --version
    } catch (const CLI::ParseError& error) {
        std::cerr << "connectivity-report: " << error.what() << "\n"
                  << usage << "Run with --help for more.\n";
        return 2;
    }

    const bool fromStandardInput = logPath == "-";
    std::FILE* log = fromStandardInput ? stdin : std::fopen(logPath.c_str(), "rb");
    if (log == nullptr) {
        return fail("cannot open " + logPath + ": " + std::strerror(errno));
    }
#ifdef _WIN32
    // Line ends are ours to read: text mode would turn CR LF into LF and stop at a Ctrl+Z byte.
    ::_setmode(::_fileno(log), _O_BINARY);
#endif
    report::ReportBuilder builder{std::chrono::seconds{gapSeconds}};
    const std::string readError = report::readLog(
        log, [&](const report::LineVerdict& verdict, long line) { builder.add(verdict, line); });
    if (!fromStandardInput) {
        std::fclose(log);
    }
    if (!readError.empty()) {
        return fail("cannot read " + logPath + ": " + readError);
    }
    const report::Report figures = builder.finish();
    const std::string source = fromStandardInput ? "standard input" : logPath;

    int status = 0;
    const auto write = [&status](const std::string& path, const std::string& text) {
        if (const std::string problem = report::writeOutput(path, text); !problem.empty()) {
            status = fail(problem);
        }
    };
    if (csvPath != "-" && htmlPath != "-") {
        write("-", report::textSummary(figures, source));
    }
    if (!csvPath.empty()) {
        write(csvPath, report::csvTable(figures));
    }
    if (!htmlPath.empty()) {
        write(htmlPath, report::htmlPage(figures, source));
    }
    return status;
}

} // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& error) { // out of memory, say: said plainly, not a crash
        return fail(error.what());
    }
}
