// Runs the monitor in-process with typed input, captured output and the platform double.
#pragma once

#include <deque>
#include <filesystem>
#include <streambuf>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform_double.h"

// Hands out one typed chunk per refill, as a console delivers one line per Enter.
class TypedInput : public std::streambuf {
  public:
    explicit TypedInput(const std::vector<std::string>& chunks);
    std::string unread() const;

  protected:
    int_type underflow() override;

  private:
    std::deque<std::string> chunks_;
    std::string current_;
    bool endRecorded_ = false;
};

// Collects what the monitor writes and marks it in the trace.
class CapturedOutput : public std::streambuf {
  public:
    std::string text;

  protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;
};

class MonitorScenario : public testing::Test {
  protected:
    static constexpr const char* prompt = "Do you want to quit? y/Y ";
#ifdef _WIN32
    static constexpr const char* lineEnd = "\r\n";
#else
    static constexpr const char* lineEnd = "\n";
#endif

    void SetUp() override;
    void TearDown() override;

    // Returns the monitor's status, or -1 when the double stopped an unattended run.
    int run(const std::vector<std::string>& typed, platform_double::Script script = {});

    static std::string fileText(const std::filesystem::path& path);
    static std::string logText() {
        return fileText("connectivityLog.txt");
    }
    static std::string logLine(std::int64_t time); // the record for a failed probe at that time
    std::string unreadInput() const {
        return input_ ? input_->unread() : std::string();
    }
    const std::string& output() const {
        return output_.text;
    }

  private:
    std::filesystem::path previousDirectory_;
    std::filesystem::path directory_;
    std::unique_ptr<TypedInput> input_;
    CapturedOutput output_;
    std::streambuf* savedIn_ = nullptr;
    std::streambuf* savedOut_ = nullptr;
};
