// Writing outputs: replaced whole or not at all, symlinks followed, pipes kept as they are.
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <sys/resource.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "output_file.h"

namespace fs = std::filesystem;

namespace {

struct Folder {
    fs::path path = fs::temp_directory_path() / ("report-test-" + std::to_string(::getpid()));
    Folder() { fs::create_directories(path); }
    ~Folder() { fs::remove_all(path); }
    std::vector<std::string> names() const {
        std::vector<std::string> found;
        for (const auto& entry : fs::directory_iterator(path)) {
            found.push_back(entry.path().filename().string());
        }
        std::sort(found.begin(), found.end());
        return found;
    }
};

std::string contentOf(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

TEST(OutputFile, ReplacesWholeAndFollowsSymlinks) {
    const Folder folder;
    const fs::path target = folder.path / "report.csv";
    EXPECT_EQ(report::writeOutput(target.string(), "new"), "");
    EXPECT_EQ(report::writeOutput(target.string(), "second"), "");
    EXPECT_EQ(contentOf(target), "second");
    fs::create_symlink("real.html", folder.path / "link.html");
    EXPECT_EQ(report::writeOutput((folder.path / "link.html").string(), "page"), "");
    EXPECT_TRUE(fs::is_symlink(folder.path / "link.html"));
    EXPECT_EQ(contentOf(folder.path / "real.html"), "page");
    EXPECT_EQ(folder.names(), (std::vector<std::string>{"link.html", "real.html", "report.csv"}));
}

TEST(OutputFile, AFailedWriteLeavesTheOldFileAndNoTemporary) {
    const Folder folder;
    const fs::path target = folder.path / "report.csv";
    EXPECT_EQ(report::writeOutput(target.string(), "old"), "");
    // A file size limit makes the write fail partway, as a full disk would.
    rlimit previous{};
    ::getrlimit(RLIMIT_FSIZE, &previous);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    const rlimit small{8, previous.rlim_max};
    ::setrlimit(RLIMIT_FSIZE, &small);
    const std::string error = report::writeOutput(target.string(), std::string(4096, 'x'));
    ::setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_NE(error.find("cannot write"), std::string::npos);
    EXPECT_EQ(contentOf(target), "old");
    EXPECT_EQ(folder.names(), std::vector<std::string>{"report.csv"});
}

TEST(OutputFile, APipeIsWrittenInPlaceNeverReplaced) {
    const Folder folder;
    const fs::path fifo = folder.path / "pipe";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string received;
    std::thread reader([&] { received = contentOf(fifo); });
    EXPECT_EQ(report::writeOutput(fifo.string(), "through the pipe"), "");
    reader.join();
    EXPECT_EQ(received, "through the pipe");
    EXPECT_TRUE(fs::is_fifo(fifo));
    EXPECT_EQ(folder.names(), std::vector<std::string>{"pipe"});
}
