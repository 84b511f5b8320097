// Writing outputs: replaced whole or not at all, symlinks followed, pipes kept as they are.
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "output_file.h"

namespace fs = std::filesystem;

namespace {

constexpr uid_t nobody = 65534;

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
    EXPECT_EQ(report::writeOutput(target, "new"), "");
    EXPECT_EQ(report::writeOutput(target, "second"), "");
    EXPECT_EQ(contentOf(target), "second");
    fs::create_symlink("real.html", folder.path / "link.html");
    EXPECT_EQ(report::writeOutput((folder.path / "link.html"), "page"), "");
    EXPECT_TRUE(fs::is_symlink(folder.path / "link.html"));
    EXPECT_EQ(contentOf(folder.path / "real.html"), "page");
    // The temporary's name fits wherever the target's does.
    const fs::path longest = folder.path / std::string(255, 'n');
    EXPECT_EQ(report::writeOutput(longest, "long"), "");
    EXPECT_EQ(folder.names(), (std::vector<std::string>{"link.html", std::string(255, 'n'),
                                                        "real.html", "report.csv"}));
}

// Runs body as an ordinary user: in a child that gives up root first, when run as root.
void asOrdinaryUser(const std::function<void()>& body) {
    if (::geteuid() != 0) {
        body();
        return;
    }
    const pid_t child = ::fork();
    if (child == 0) {
        const bool dropped = ::setgid(nobody) == 0 && ::setuid(nobody) == 0;
        if (dropped) {
            body();
        }
        std::_Exit(!dropped || ::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = -1;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "as an ordinary user";
}

// What a rename would change is kept, or the file is written in place as > would.
TEST(OutputFile, KeepsModeOwnerAndLinks) {
    const Folder folder;
    const fs::path file = folder.path / "kept.csv";
    const mode_t previousMask = ::umask(027);
    EXPECT_EQ(report::writeOutput(file, "new"), "");
    ::umask(previousMask);
    struct stat facts {};
    ::stat(file.c_str(), &facts);
    EXPECT_EQ(facts.st_mode & 07777, 0640U) << "a new file's mode comes from the umask";

    fs::create_hard_link(file, folder.path / "other-link.csv");
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(file.c_str(), 4321, 4322), 0);
    }
    ::chmod(file.c_str(), 02604);
    EXPECT_EQ(report::writeOutput(file, "replaced"), "");
    ::stat(file.c_str(), &facts);
    EXPECT_EQ(facts.st_mode & 07777, 02604U);
    EXPECT_EQ(contentOf(folder.path / "other-link.csv"), "replaced");
    fs::remove(folder.path / "other-link.csv");
    EXPECT_EQ(report::writeOutput(file, "alone"), ""); // now replaced by rename
    ::stat(file.c_str(), &facts);
    EXPECT_EQ(facts.st_mode & 07777, 02604U) << "the set-group-ID bit goes with the mode";
    EXPECT_EQ(contentOf(file), "alone");
    if (root) {
        EXPECT_EQ(facts.st_uid, 4321U) << "root replaced a user's file and took it over";
        EXPECT_EQ(facts.st_gid, 4322U) << "root replaced a user's file and took its group";
    }
}

TEST(OutputFile, AWritableFileInAFolderClosedToUsIsWrittenInPlace) {
    const Folder folder;
    const fs::path file = folder.path / "kept.csv";
    ASSERT_EQ(::chown(folder.path.c_str(), ::geteuid() == 0 ? nobody : ::geteuid(), -1), 0);
    asOrdinaryUser([&] {
        EXPECT_EQ(report::writeOutput(file, "new"), "");
        fs::permissions(folder.path, fs::perms::owner_read | fs::perms::owner_exec);
        EXPECT_EQ(report::writeOutput(file, "in place"), "");
        fs::permissions(folder.path, fs::perms::owner_all);
        EXPECT_EQ(contentOf(file), "in place");
        EXPECT_EQ(folder.names(), std::vector<std::string>{"kept.csv"});
    });
}

TEST(OutputFile, AFailedWriteLeavesTheOldFileAndNoTemporary) {
    const Folder folder;
    const fs::path target = folder.path / "report.csv";
    EXPECT_EQ(report::writeOutput(target, "old"), "");
    // A file size limit makes the write fail partway, as a full disk would.
    rlimit previous{};
    ::getrlimit(RLIMIT_FSIZE, &previous);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    const rlimit small{8, previous.rlim_max};
    ::setrlimit(RLIMIT_FSIZE, &small);
    const std::string error = report::writeOutput(target, std::string(4096, 'x'));
    ::setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_NE(error.find("cannot write"), std::string::npos);
    EXPECT_EQ(contentOf(target), "old");
    fs::create_symlink("loop", folder.path / "loop");
    EXPECT_NE(report::writeOutput(folder.path / "loop", "x").find("symbolic links"),
              std::string::npos);
    EXPECT_EQ(folder.names(), (std::vector<std::string>{"loop", "report.csv"}));
}

TEST(OutputFile, APipeIsWrittenInPlaceNeverReplaced) {
    const Folder folder;
    const fs::path fifo = folder.path / "pipe";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string received;
    std::thread reader([&] { received = contentOf(fifo); });
    EXPECT_EQ(report::writeOutput(fifo, "through the pipe"), "");
    reader.join();
    EXPECT_EQ(received, "through the pipe");
    EXPECT_TRUE(fs::is_fifo(fifo));
    EXPECT_EQ(folder.names(), std::vector<std::string>{"pipe"});
}
