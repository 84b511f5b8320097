// The in-process console and working folder that every monitor scenario runs in.
#include "monitor_scenario.h"

#include <atomic>
#include <fstream>
#include <iostream>
#include <sstream>

namespace {

std::string visible(const std::string& text) {
    std::string shown;
    for (const char c : text) {
        shown += c == '\n'   ? std::string("\\n")
                 : c == '\t' ? std::string("\\t")
                             : std::string(1, c);
    }
    return shown;
}

} // namespace

TypedInput::TypedInput(const std::vector<std::string>& chunks)
    : chunks_(chunks.begin(), chunks.end()) {}

std::string TypedInput::unread() const {
    std::string rest(gptr(), egptr());
    for (const auto& chunk : chunks_) {
        rest += chunk;
    }
    return rest;
}

TypedInput::int_type TypedInput::underflow() {
    if (chunks_.empty()) {
        if (!endRecorded_) {
            platform_double::record("end of input");
            endRecorded_ = true;
        }
        return traits_type::eof();
    }
    current_ = std::move(chunks_.front());
    chunks_.pop_front();
    platform_double::record("typed " + visible(current_) +
                            (platform_double::logHeldOpen() ? ", log open" : ", log closed"));
    setg(current_.data(), current_.data(), current_.data() + current_.size());
    return traits_type::to_int_type(current_.front());
}

CapturedOutput::int_type CapturedOutput::overflow(int_type c) {
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        const char ch = traits_type::to_char_type(c);
        xsputn(&ch, 1);
    }
    return traits_type::not_eof(c);
}

std::streamsize CapturedOutput::xsputn(const char* s, std::streamsize n) {
    if (!platform_double::recording()) {
        return n; // long runs keep nothing, so the harness itself stays flat
    }
    text.append(s, static_cast<std::size_t>(n));
    platform_double::record("show " + std::string(s, static_cast<std::size_t>(n)));
    return n;
}

void MonitorScenario::SetUp() {
    static std::atomic<int> counter{0};
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    directory_ = std::filesystem::temp_directory_path() /
                 ("monitor-" + std::string(info->name()) + "-" + std::to_string(counter++));
    std::filesystem::remove_all(directory_);
    std::filesystem::create_directories(directory_);
    previousDirectory_ = std::filesystem::current_path();
    std::filesystem::current_path(directory_);
}

void MonitorScenario::TearDown() {
    if (savedIn_ != nullptr) {
        std::cin.rdbuf(savedIn_);
        std::cout.rdbuf(savedOut_);
        std::cin.clear();
        std::cout.clear();
    }
    std::filesystem::current_path(previousDirectory_);
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
}

int MonitorScenario::run(const std::vector<std::string>& typed, platform_double::Script script) {
    platform_double::reset(std::move(script));
    input_ = std::make_unique<TypedInput>(typed);
    std::streambuf* const replacedIn = std::cin.rdbuf(input_.get());
    std::streambuf* const replacedOut = std::cout.rdbuf(&output_);
    if (savedIn_ == nullptr) {
        savedIn_ = replacedIn;
        savedOut_ = replacedOut;
    }
    output_.text.clear();
    std::cin.clear();
    try {
        return runMonitor();
    } catch (const platform_double::MonitorStopped&) {
        return -1;
    }
}

std::string MonitorScenario::fileText(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string MonitorScenario::logLine(std::int64_t time) {
    std::string text = platform_double::timeTextOf(time);
    text.pop_back(); // the newline, stored as the platform's line end
    return "internet connection test failed on " + text + lineEnd;
}
