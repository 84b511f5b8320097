// The record through a full disk, with a file-size limit standing in for it: whole lines only,
// each after a torn one on a line of its own, and none lost while the disk is full; a disk full
// for the person though root has room left; the folder's claim, which moving the record does not
// take away.
#include <csignal>
#include <fstream>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "session.h"
#include "status.h"

namespace fs = std::filesystem;

namespace {

fs::path scratchFolder(const std::string& name) {
    fs::path folder = fs::temp_directory_path() / (name + "-" + std::to_string(::getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    return folder;
}

std::string contentOf(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
}

// Writes beyond this size fail as on a full disk (EFBIG, SIGXFSZ ignored); nothing: no limit.
void limitFilesTo(std::optional<rlim_t> size) {
    static const rlimit original = [] {
        rlimit limit{};
        ::getrlimit(RLIMIT_FSIZE, &limit);
        return limit;
    }();
    rlimit limit = original;
    limit.rlim_cur = size.value_or(original.rlim_cur);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
}

class NoDesktop final : public watch::Desktop {
  public:
    void show(const watch::Change& /*change*/, const std::string& /*title*/,
              const std::string& /*text*/, Told told) override {
        told("shown");
    }
    void stateChanged(const watch::State& state, const std::string& /*tooltip*/) override {
        shown = state.kind;
    }
    watch::State::Kind shown = watch::State::Kind::online;
};

} // namespace

TEST(Record, LinesStayWholeThroughAFullDiskAndAfterACrash) {
    std::signal(SIGXFSZ, SIG_IGN);
    const fs::path path = scratchFolder("record") / "connectivityWatch.txt";
    std::ofstream(path, std::ios::binary) << "2024-02-12T07:00:00+01:00 watch"; // a crash's end
    std::string why;
    bool forGood = false;
    auto record = watch::os::Record::open(path, why, forGood);
    ASSERT_TRUE(record) << why;
    const std::string line(40, 'x');
    // Each step: the room left on the disk, then whether the line went in whole.
    const struct {
        std::optional<rlim_t> room;
        bool whole;
    } steps[] = {
        {std::nullopt, true}, // on a line of its own after the crash's torn one
        {20, false},          // torn: only part of it fits
        {0, false},           // refused: nothing fits
        {std::nullopt, true}, // room again: on a line of its own after the torn part
        {std::nullopt, true},
    };
    for (const auto& [room, whole] : steps) {
        limitFilesTo(room ? std::optional(fs::file_size(path) + *room) : std::nullopt);
        EXPECT_EQ(record->append(line + "\n"), whole);
        limitFilesTo(std::nullopt);
    }
    // Each cut line marked as cut before the watcher's own line end.
    const std::string expected = "2024-02-12T07:00:00+01:00 watch\x18\n" + line + "\n" +
                                 line.substr(0, 20) + "\x18\n" + line + "\n" + line + "\n";
    EXPECT_EQ(contentOf(path), expected);
    // A record moved away, another file under its name, is no longer there to write in.
    EXPECT_TRUE(record->stillThere());
    fs::rename(path, path.parent_path() / "moved.txt");
    std::ofstream(path, std::ios::binary) << "";
    EXPECT_FALSE(record->stillThere());
    fs::remove_all(path.parent_path());
}

TEST(Record, TheSessionKeepsWhatAFullDiskRefusedUntilThereIsRoom) {
    std::signal(SIGXFSZ, SIG_IGN);
    const fs::path folder = scratchFolder("session");
    const fs::path path = folder / "connectivityWatch.txt";
    std::ofstream(path, std::ios::binary) << "2024-02-12T07:00:00+01:00 stopped\n";
    NoDesktop desktop;
    watch::Options options;
    options.folder = folder;
    options.sample = std::chrono::milliseconds{0}; // no sampler's line to race the record's
    watch::Session session(options, desktop, [] {});
    limitFilesTo(fs::file_size(path));
    session.begin("9.9"); // its start refused by the full disk, kept
    for (int line = 0; line < 100; ++line) {
        session.append("2024-02-12T07:00:01+01:00 watching\n");
    }
    limitFilesTo(std::nullopt);
    EXPECT_EQ(contentOf(path).find(" started "), std::string::npos);
    session.service(); // all at once, not a line a look
    const std::string content = contentOf(path);
    EXPECT_NE(content.find("\n20"), std::string::npos);
    EXPECT_NE(content.find(" started version=9.9 "), std::string::npos) << content;
    EXPECT_EQ(std::count(content.begin(), content.end(), '\n'), 102) << content;
    session.end("test over");
    fs::remove_all(folder);
}

TEST(Record, OneThatCannotBeOpenedAtTheStartIsBegunWhenItCanBe) {
    const fs::path folder = scratchFolder("unopenable");
    const fs::path path = folder / "connectivityWatch.txt";
    fs::create_directory(path); // no file can be opened under its name
    NoDesktop desktop;
    watch::Options options;
    options.folder = folder;
    options.sample = std::chrono::milliseconds{0}; // no sampler's line to race the record's
    watch::Session session(options, desktop, [] {});
    session.begin("9.9");
    EXPECT_EQ(desktop.shown, watch::State::Kind::logUnwritable);
    fs::remove(path);
    std::this_thread::sleep_for(std::chrono::milliseconds{5100}); // its next try, with the log's
    session.service();                                            // opened
    session.service();                                            // and what waited written
    const std::string content = contentOf(path);
    EXPECT_NE(content.find(" started version=9.9 "), std::string::npos) << content;
    EXPECT_EQ(content.find("begun anew"), std::string::npos) << "never moved: " << content;
    EXPECT_EQ(desktop.shown, watch::State::Kind::online) << "still shown as unwritable";
    session.end("test over");
    fs::remove_all(folder);
}

TEST(Record, ADiskFullForThePersonIsFullThoughRootHasRoomLeft) {
    // A file system whose last blocks are kept for root, filled up to them, in a mount namespace
    // of this test's own.
    if (::geteuid() != 0 || ::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        GTEST_SKIP() << "needs root and a mount namespace";
    }
    const fs::path folder = scratchFolder("reserved");
    const std::string image = (folder / "disk.img").string();
    const fs::path mounted = folder / "disk";
    fs::create_directory(mounted);
    std::ofstream(image).close();
    fs::resize_file(image, 8 << 20);
    if (std::system(("mkfs.ext4 -q -m 50 " + image + " && mount -o loop " + image + " " +
                     mounted.string() + " 2>/dev/null")
                        .c_str()) != 0) {
        fs::remove_all(folder);
        GTEST_SKIP() << "no ext4 image could be made and mounted (mkfs.ext4, loop devices)";
    }
    struct statvfs space {};
    ::statvfs(mounted.c_str(), &space);
    const int filler = ::open((mounted / "filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ::posix_fallocate(filler, 0, static_cast<off_t>(space.f_bavail * space.f_bsize));
    ::close(filler);
    ::statvfs(mounted.c_str(), &space);
    ASSERT_TRUE(space.f_bavail == 0 && space.f_bfree > 0) << "root's blocks: " << space.f_bfree;
    EXPECT_EQ(watch::os::logProblem(mounted, mounted / "connectivityLog.txt"), "the disk is full");
    ::umount2(mounted.c_str(), MNT_DETACH);
    fs::remove_all(folder);
}

TEST(Claim, OneWatcherPerFolderWhateverIsDoneToItsFiles) {
    const fs::path folder = scratchFolder("claim");
    std::optional<long> holder;
    std::string why;
    const auto first = watch::os::Claim::make(folder, holder, why);
    ASSERT_TRUE(first) << why;
    fs::rename(folder, folder.string() + "-moved"); // the folder itself moved: still its claim
    EXPECT_FALSE(watch::os::Claim::make(folder.string() + "-moved", holder, why));
    EXPECT_EQ(holder, ::getpid());
    fs::remove_all(folder.string() + "-moved");
    const fs::path other = scratchFolder("unclaimed");
    EXPECT_FALSE(watch::os::stopWatcher(other, std::chrono::seconds{1}).wasWatching);
    fs::remove_all(other);
}

TEST(Status, SaysWhatTheRecordsEndSays) {
    using std::chrono::sys_seconds;
    const auto stamp = [](const char* time) {
        return std::string("2026-03-01T") + time + "+01:00";
    };
    const std::string started = stamp("10:00:00") + " started os=linux watcher=1 monitor=2";
    const std::string down = stamp("10:10:05") + " message change=down since=" + stamp("10:10:00") +
                             " first-check=\"Sun Mar  1 10:09:58 2026\" cause=provider text=x "
                             "shown=shown";
    const std::string again = stamp("10:10:40") +
                              " diagnosis check=\"Sun Mar  1 10:10:29 2026\" verdict=provider "
                              "path=none";
    const std::string up = stamp("10:12:00") + " message change=up since=" + stamp("10:10:00") +
                           " first-check=\"Sun Mar  1 10:09:58 2026\" cause=provider text=x "
                           "shown=shown";
    // 10:00:00+01:00 and the seconds after it.
    const auto at = [](long seconds) {
        return sys_seconds{std::chrono::seconds{1772355600 + seconds}};
    };
    struct Row {
        const char* name;
        std::vector<std::string> lines;
        sys_seconds now;
        const char* connection;
        const char* lastOutage;
    };
    const std::vector<Row> rows = {
        {"just started",
         {started},
         at(60),
         "Connection: up, no failed check since 2026-03-01 10:00:00 +01:00.",
         "Last outage: none"},
        {"down, its first check diagnosed after the word: still one check",
         {started, down,
          stamp("10:10:20") +
              " diagnosis check=\"Sun Mar  1 10:09:58 2026\" verdict=provider path=none"},
         at(700),
         "Connection: down since 2026-03-01 10:10:00 +01:00 (1 failed check; cause: your "
         "provider).",
         "Last outage: none"},
        {"down, its checks counted",
         {started, down, again},
         at(700),
         "Connection: down since 2026-03-01 10:10:00 +01:00 (2 failed checks; cause: your "
         "provider).",
         "Last outage: none"},
        {"back",
         {started, down, again, up},
         at(800),
         "Connection: up, back since 2026-03-01 10:12:00 +01:00.",
         "Last outage: 2026-03-01 10:10:00 +01:00 to 2026-03-01 10:12:00 +01:00, cause: your "
         "provider."},
        {"down, unheard of for longer than a watcher waits: over at its last word",
         {started, down, again},
         at(640 + 301),
         "Connection: up, back since 2026-03-01 10:10:40 +01:00.",
         "Last outage: 2026-03-01 10:10:00 +01:00 to 2026-03-01 10:10:40 +01:00"},
    };
    const fs::path folder = scratchFolder("status");
    std::optional<long> holder;
    std::string why;
    const auto claim = watch::os::Claim::make(folder, holder, why);
    ASSERT_TRUE(claim) << why;
    for (const Row& row : rows) {
        std::ofstream(folder / "connectivityWatch.txt", std::ios::trunc) << [&] {
            std::string text;
            for (const std::string& line : row.lines) {
                text += line + "\n";
            }
            return text;
        }();
        const auto said = watch::statusLines(watch::statusOf(folder, row.now));
        ASSERT_EQ(said.size(), 5U) << row.name;
        EXPECT_EQ(said[0].rfind("Watching " + folder.string() + ": connectivity-watch (process " +
                                    std::to_string(::getpid()) +
                                    ") since 2026-03-01 10:00:00 +01:00",
                                0),
                  0U)
            << row.name << ": " << said[0];
        EXPECT_EQ(said[1], row.connection) << row.name;
        EXPECT_EQ(said[2].rfind(row.lastOutage, 0), 0U) << row.name << ": " << said[2];
    }
    const fs::path other = scratchFolder("status-unwatched");
    const auto unwatched = watch::statusLines(watch::statusOf(other, at(0)));
    EXPECT_EQ(unwatched[0].rfind("Not watched: no connectivity-watch runs in ", 0), 0U);
    EXPECT_EQ(unwatched[1], "Connection: not known while nothing watches it.");
    EXPECT_EQ(unwatched[3],
              "Record: " + (other / "connectivityWatch.txt").string() + " (not there yet)");
    fs::remove_all(folder);
    fs::remove_all(other);
}
