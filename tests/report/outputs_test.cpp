// The outputs: a summary in 80 columns, and a well-formed page that fetches nothing.
#include <gtest/gtest.h>

#include "renderers.h"

using report::LineVerdict;
using Kind = LineVerdict::Kind;
using namespace std::chrono;

namespace {

report::Report sample() {
    report::ReportBuilder builder(90s);
    const auto day = local_days{2024y / 2 / 18};
    const seconds times[] = {1761s, 1792s, 1823s, 1854s, 1885s, 86'380s, 86'410s};
    long line = 0;
    for (const seconds t : times) {
        builder.add({Kind::timed, day + t}, ++line);
    }
    return builder.finish();
}

// Every tag closed in order, void elements written self-closing: parseable as XML.
std::string firstImbalance(const std::string& page) {
    std::vector<std::string> open;
    for (std::size_t at = page.find('<'); at != std::string::npos; at = page.find('<', at + 1)) {
        const std::size_t end = page.find('>', at);
        const std::string tag = page.substr(at + 1, end - at - 1);
        if (tag[0] == '!' || tag.back() == '/') {
            continue;
        }
        if (tag[0] != '/') {
            open.push_back(tag.substr(0, tag.find(' ')));
        } else if (open.empty() || open.back() != tag.substr(1)) {
            return "unexpected <" + tag + "> at " + std::to_string(at);
        } else {
            open.pop_back();
        }
    }
    return open.empty() ? "" : "unclosed <" + open.back() + ">";
}

} // namespace

TEST(Outputs, SummaryFitsAConsole) {
    const std::string summary = report::textSummary(sample(), "connectivityLog.txt");
    for (std::size_t start = 0, end; (end = summary.find('\n', start)) != std::string::npos;
         start = end + 1) {
        EXPECT_LE(end - start, 80U) << summary.substr(start, end - start);
    }
    EXPECT_NE(summary.find("2024-02-18 23:59:40  2024-02-19 00:00:10        2          30s"),
              std::string::npos)
        << summary;
}

TEST(Outputs, HtmlIsWellFormedSelfContainedAndEscaped) {
    for (const report::Report& report : {sample(), report::ReportBuilder(90s).finish()}) {
        const std::string page = report::htmlPage(report, "<b>&\"log\".txt");
        EXPECT_EQ(firstImbalance(page), "");
        for (const char* fetching :
             {"http:", "https:", "<script", "src=", "url(", "@import", "<link", "<b>"}) {
            EXPECT_EQ(page.find(fetching), std::string::npos) << fetching;
        }
        EXPECT_NE(page.find("&lt;b&gt;&amp;&quot;log&quot;.txt"), std::string::npos);
    }
    const std::string page = report::htmlPage(sample(), "log");
    // Both days have a row; the outage past midnight is marked on each.
    EXPECT_NE(page.find("Sun 2024-02-18"), std::string::npos);
    EXPECT_NE(page.find("Mon 2024-02-19"), std::string::npos);
    EXPECT_EQ(page.find("<rect", page.find("Mon 2024-02-19")) != std::string::npos, true);
}
