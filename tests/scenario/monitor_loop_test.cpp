// The quit question, the order of each cycle and the end of input, against the platform double.
#include <iterator>

#include "monitor.h"
#include "monitor_scenario.h"

using platform_double::Script;
using platform_double::trace;
using Trace = std::vector<std::string>;

namespace {

const std::string probed = "probe https://www.google.com flags 1 reserved 0";
const std::string clocked = "clock";
const std::string asked = std::string("show ") + "Do you want to quit? y/Y ";
// The report's bounds rest on the pause the monitor itself takes.
const std::string paused = "pause " +
                           std::to_string(std::chrono::milliseconds(core::monitor::pause).count()) +
                           ", log closed";

} // namespace

class MonitorLoop : public MonitorScenario {};

struct QuitCase {
    const char* name;
    std::vector<std::string> typed;
    int cycles; // probes made before the monitor quit
    const char* unread;
};

TEST_F(MonitorLoop, QuitsOnlyOnYWhateverElseIsTyped) {
    const QuitCase cases[] = {
        {"y", {"y\n"}, 1, "\n"},
        {"Y", {"Y\n"}, 1, "\n"},
        {"yes quits, rest unread", {"yes\n"}, 1, "es\n"},
        {"blanks before y", {" \t y\n"}, 1, "\n"},
        {"n", {"n\n", "y\n"}, 2, "\n"},
        {"N", {"N\n", "y\n"}, 2, "\n"},
        {"q", {"q\n", "y\n"}, 2, "\n"},
        {"digit", {"7\n", "Y\n"}, 2, "\n"},
        {"punctuation", {"!\n", "y\n"}, 2, "\n"},
        {"NUL byte", {std::string(1, '\0') + "\n", "y\n"}, 2, "\n"},
        {"byte 0xFF, which collides with EOF when sign-extended", {"\xff\n", "y\n"}, 2, "\n"},
        {"Latin-1 y with diaeresis", {"\xfd\n", "y\n"}, 2, "\n"},
        {"two answers on one line", {"ny\n"}, 2, "\n"},
        {"no, then yes", {"no\n", "yes\n"}, 3, "es\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(run(c.typed), 0);
        EXPECT_EQ(platform_double::probeCount(), c.cycles);
        EXPECT_EQ(platform_double::pauseCount(), c.cycles - 1);
        EXPECT_EQ(unreadInput(), c.unread);
    }
}

TEST_F(MonitorLoop, ProbesBeforeAskingAndPausesWithTheLogClosed) {
    EXPECT_EQ(run({"n\n", "y\n"}, Script{.verdicts = {true, true}}), 0);
    EXPECT_EQ(trace(), (Trace{clocked, probed, asked, "typed n\\n, log open", paused, clocked,
                              probed, asked, "typed y\\n, log open"}));
}

TEST_F(MonitorLoop, BlankLinesAnswerNothing) {
    EXPECT_EQ(run({"\n", "   \n", "\t\n", "y\n"}), 0);
    EXPECT_EQ(trace(),
              (Trace{clocked, probed, asked, "typed \\n, log open", "typed    \\n, log open",
                     "typed \\t\\n, log open", "typed y\\n, log open"}));
}

TEST_F(MonitorLoop, CharactersLeftOnALineAnswerLaterQuestionsAtOnce) {
    EXPECT_EQ(run({"abc\n", "y\n"}), 0);
    EXPECT_EQ(trace(), (Trace{clocked, probed, asked, "typed abc\\n, log open", paused, clocked,
                              probed, asked, paused, clocked, probed, asked, paused, clocked,
                              probed, asked, "typed y\\n, log open"}));
}

TEST_F(MonitorLoop, EndOfInputBeforeAnyReplyLeavesItRunningUnattended) {
    EXPECT_EQ(run({}, Script{.stopAfterPauses = 3}), -1);
    EXPECT_EQ(trace(), (Trace{clocked, probed, asked, "end of input", paused, clocked, probed,
                              asked, paused, clocked, probed, asked, paused}));
    EXPECT_EQ(logText(), logLine(1708216161) + logLine(1708216192) + logLine(1708216223));
    EXPECT_EQ(output(), std::string(prompt) + prompt + prompt);
}

TEST_F(MonitorLoop, EndOfInputAfterAReplyKeepsDecidingOnThatReply) {
    EXPECT_EQ(run({"n"}, Script{.stopAfterPauses = 4}), -1);
    EXPECT_EQ(platform_double::probeCount(), 4);
    EXPECT_EQ(std::count(trace().begin(), trace().end(), "end of input"), 1);
}

TEST_F(MonitorLoop, EveryCycleIsPacedByOneThirtySecondPause) {
    EXPECT_EQ(run({"1\n", "2\n", "3\n", "y\n"}), 0);
    EXPECT_EQ(std::count(trace().begin(), trace().end(), paused), 3);
    EXPECT_EQ(platform_double::pauseCount(), 3);
}
