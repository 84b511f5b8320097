// The watcher's system calls on Linux: CLOCK_BOOTTIME against CLOCK_MONOTONIC, the folder claimed
// with flock, the monitor forked with PR_SET_PDEATHSIG, and the person's command through sh -c.
#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include "monitor.h"
#include "system.h"
#include "watch_os.h"

extern char** environ; // NOLINT(readability-redundant-declaration): POSIX leaves it undeclared

namespace watch::os {
namespace {

using namespace std::chrono;

milliseconds read(clockid_t clock) {
    timespec now{};
    ::clock_gettime(clock, &now);
    return seconds{now.tv_sec} + duration_cast<milliseconds>(nanoseconds{now.tv_nsec});
}

std::string signalName(int number) {
    const char* name = ::sigabbrev_np(number);
    return name != nullptr ? std::string("SIG") + name : "signal " + std::to_string(number);
}

std::string howEnded(int status) {
    if (WIFEXITED(status)) {
        return "exited with status " + std::to_string(WEXITSTATUS(status));
    }
    return WIFSIGNALED(status) ? "ended by " + signalName(WTERMSIG(status)) : "ended";
}

// A child process in a state of its own: standard descriptors given, signals at their defaults,
// ended with the watcher (a watcher killed outright takes it along). Its exec failure comes back
// through a pipe that exec closes.
// Closes every descriptor from first on but keep; after fork, so only with system calls.
void closeFrom(int first, int keep) {
    for (const auto& [from, to] : {std::pair{first, keep - 1}, std::pair{keep + 1, INT_MAX}}) {
        if (from <= to && ::syscall(SYS_close_range, from, to, 0) != 0) {
            for (int fd = from; fd <= std::min(to, 65'535); ++fd) {
                ::close(fd);
            }
        }
    }
}

pid_t spawn(const char* program, char* const arguments[], char* const environment[],
            const fs::path& folder, int input, int output, bool ownGroup, std::string& why) {
    int failure[2];
    if (::pipe2(failure, O_CLOEXEC) != 0) {
        why = std::strerror(errno);
        return -1;
    }
    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        int error = 0;
        if (::getppid() != parent) {
            ::_exit(0); // the watcher is already gone
        }
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int number = 1; number < NSIG; ++number) {
            std::signal(number, SIG_DFL); // fails harmlessly for SIGKILL, SIGSTOP and the gaps
        }
        if ((ownGroup && ::setpgid(0, 0) != 0) || ::dup2(input, STDIN_FILENO) < 0 ||
            (output >= 0 && ::dup2(output, STDOUT_FILENO) < 0) || ::chdir(folder.c_str()) != 0) {
            error = errno;
        } else {
            // Only its standard descriptors: none the watcher was started with or opened since.
            closeFrom(3, failure[1]);
            ::execve(program, arguments, environment);
            error = errno;
        }
        ::write(failure[1], &error, sizeof error);
        ::_exit(127);
    }
    ::close(failure[1]);
    int error = child < 0 ? errno : 0;
    if (child > 0) {
        while (::read(failure[0], &error, sizeof error) < 0 && errno == EINTR) {
        }
        if (error != 0) {
            ::waitpid(child, nullptr, 0);
        }
    }
    ::close(failure[0]);
    why = error != 0 ? std::strerror(error) : "";
    return error != 0 ? -1 : child;
}

// The watcher's children by its own choice: the monitor and the person's commands. As a child
// subreaper it also takes in what a command left behind (a process that started a session of its
// own and outlived its shell): any other child is such a stray, and ends with the next command.
std::mutex childrenLock;
std::set<pid_t> ownChildren;

void own(pid_t pid, bool owned) {
    const std::scoped_lock lock(childrenLock);
    if (owned) {
        ownChildren.insert(pid);
    } else {
        ownChildren.erase(pid);
    }
}

// Each process's parent, as /proc has them now: "PID (NAME) STATE PPID ...", a name that may hold
// blanks and parentheses.
std::multimap<pid_t, pid_t> childrenByParent() {
    std::multimap<pid_t, pid_t> children;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::FILE* stat = core::system::openForReading(entry.path() / "stat");
        std::array<char, 512> line{};
        const bool read = stat != nullptr && std::fgets(line.data(), line.size(), stat) != nullptr;
        if (stat != nullptr) {
            std::fclose(stat);
        }
        const char* end = read ? std::strrchr(line.data(), ')') : nullptr;
        char state = 0;
        int parent = 0;
        if (end != nullptr && std::sscanf(end + 1, " %c %d", &state, &parent) == 2) {
            children.emplace(parent, std::stoi(name));
        }
    }
    return children;
}

// Ends a command's whole tree and every stray, asking again for what was born meanwhile, then
// reaps the strays (the command's own shell is its caller's to reap).
void endTreeAndStrays(pid_t command) {
    std::set<pid_t> strays;
    for (int round = 0; round < 3; ++round) {
        const auto children = childrenByParent();
        std::vector<pid_t> ending{command};
        {
            const std::scoped_lock lock(childrenLock);
            for (auto [at, end] = children.equal_range(::getpid()); at != end; ++at) {
                if (!ownChildren.contains(at->second)) {
                    strays.insert(at->second);
                    ending.push_back(at->second);
                }
            }
        }
        for (std::size_t i = 0; i < ending.size(); ++i) {
            for (auto [at, end] = children.equal_range(ending[i]); at != end; ++at) {
                ending.push_back(at->second);
            }
        }
        for (const pid_t pid : ending) {
            ::kill(pid, SIGKILL);
        }
        if (ending.size() == 1) {
            break; // nothing but the command itself
        }
    }
    for (const pid_t stray : strays) {
        ::waitpid(stray, nullptr, 0);
    }
}

class ProcessChild final : public Child {
  public:
    ~ProcessChild() override { stop(); }

    std::optional<long> start(const fs::path& program, const fs::path& folder,
                              std::string& why) override {
        const int nothing = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        std::string path = program.string();
        char name[] = "connectivity-monitor";
        char* const arguments[] = {name, nullptr};
        const std::scoped_lock lock(childrenLock); // owned before any stray sweep can see it
        pid_ = spawn(path.c_str(), arguments, environ, folder, nothing, nothing, false, why);
        ::close(nothing);
        if (pid_ < 0) {
            why = "cannot start " + path + ": " + why;
            return std::nullopt;
        }
        ownChildren.insert(pid_);
        return pid_;
    }

    std::optional<std::string> ended() override {
        int status = 0;
        if (pid_ <= 0 || ::waitpid(pid_, &status, WNOHANG) != pid_) {
            return std::nullopt;
        }
        own(pid_, false);
        pid_ = -1;
        return howEnded(status);
    }

    void stop() override {
        if (pid_ <= 0) {
            return;
        }
        ::kill(pid_, SIGTERM);
        for (int waited = 0; waited < 40 && ::waitpid(pid_, nullptr, WNOHANG) == 0; ++waited) {
            std::this_thread::sleep_for(50ms);
            if (waited == 39) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, nullptr, 0);
            }
        }
        own(pid_, false);
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
};

class ShellCommand final : public Command {
  public:
    explicit ShellCommand(pid_t pid) : pid_(pid), started_(steady_clock::now()) {}
    ~ShellCommand() override {
        if (pid_ > 0) {
            endGroup();
        }
    }
    ShellCommand(const ShellCommand&) = delete;
    ShellCommand& operator=(const ShellCommand&) = delete;

    std::optional<std::string> ended(milliseconds timeLimit) override {
        // Seen ended but not yet reaped, so its process group cannot be anyone else's yet.
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == pid_) {
            return howEnded(endGroup()); // its exit, whatever the group's end does to the rest
        }
        if (steady_clock::now() - started_ < timeLimit) {
            return std::nullopt;
        }
        endGroup();
        return "still running after " + std::to_string(duration_cast<seconds>(timeLimit).count()) +
               " s: ended";
    }

  private:
    // Its own process group, with whatever it started in the background (in a session of its
    // own too), ends; then it is reaped.
    int endGroup() {
        ::kill(-pid_, SIGKILL);
        endTreeAndStrays(pid_);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        own(pid_, false);
        pid_ = -1;
        return status;
    }

    pid_t pid_;
    steady_clock::time_point started_;
};

} // namespace

Readings readClocks() {
    const milliseconds wall = read(CLOCK_REALTIME);
    const sys_time<milliseconds> moment{wall};
    return {moment, core::system::offsetAt(floor<seconds>(moment)), read(CLOCK_MONOTONIC),
            read(CLOCK_BOOTTIME)};
}

fs::path programFolder() {
    std::error_code error;
    const fs::path program = fs::read_symlink("/proc/self/exe", error);
    return error ? fs::current_path() : program.parent_path();
}

seconds monitorCheckBound() {
    return core::monitor::linuxCheckBound;
}

long processId() {
    return ::getpid();
}

std::string_view osName() {
    return "linux";
}

std::unique_ptr<Record> Record::open(const fs::path& path, std::string& why, bool& forGood) {
    const int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
    struct stat facts {};
    if (fd < 0 || ::fstat(fd, &facts) != 0 || !S_ISREG(facts.st_mode)) {
        const int error = errno;
        forGood = fd >= 0 || error == EACCES || error == EPERM || error == EROFS ||
                  error == EISDIR || error == ENOTDIR || error == ENOENT;
        why = fd < 0 ? std::strerror(error) : "it is not a regular file";
        if (fd >= 0) {
            ::close(fd);
        }
        return nullptr;
    }
    // A last line a crash or a full disk cut short: the next line must not run on after it.
    char last = '\n';
    const bool endsMidLine =
        facts.st_size > 0 && ::pread(fd, &last, 1, facts.st_size - 1) == 1 && last != '\n';
    return std::unique_ptr<Record>(new Record(fd, path, endsMidLine));
}

Record::~Record() {
    ::close(static_cast<int>(file_));
}

const std::string_view Record::lineEnd = "\n";

long Record::writeAtEnd(std::string_view text) {
    return ::write(static_cast<int>(file_), text.data(), text.size());
}

namespace {

// flock on the folder itself: the lock is the folder's inode's, whatever is done to its files.
class FolderClaim final : public Claim {
  public:
    explicit FolderClaim(int fd) : fd_(fd) {}
    ~FolderClaim() override { ::close(fd_); }
    FolderClaim(const FolderClaim&) = delete;
    FolderClaim& operator=(const FolderClaim&) = delete;

  private:
    int fd_;
};

int openFolder(const fs::path& folder) {
    return ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY);
}

// A handle on a process that no other process can take over once it has ended.
int pidfdOf(long pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
}

} // namespace

std::unique_ptr<Claim> Claim::make(const fs::path& folder, std::optional<long>& holder,
                                   std::string& why) {
    holder.reset();
    const int fd = openFolder(folder);
    if (fd < 0) {
        why = std::strerror(errno);
        return nullptr;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        if (error == EWOULDBLOCK) {
            holder = core::system::folderWatcher(folder).value_or(0);
        }
        why = std::strerror(error);
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<FolderClaim>(fd);
}

StopOutcome stopWatcher(const fs::path& folder, seconds wait) {
    const int fd = openFolder(folder);
    struct stat facts {};
    if (fd < 0 || ::fstat(fd, &facts) != 0 || ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        if (fd >= 0) {
            ::close(fd);
        }
        return {false, ""}; // free to take: nobody watches
    }
    ::close(fd);
    const long watcher = core::system::folderWatcher(folder).value_or(0);
    const int process = watcher > 0 ? pidfdOf(watcher) : -1;
    // Still the holder once held by its handle: never a process that took its number since.
    if (process < 0 || core::system::folderWatcher(folder).value_or(0) != watcher) {
        if (process >= 0) {
            ::close(process);
        }
        return {true, "the folder's watcher cannot be found: " +
                          (watcher > 0 ? std::string(std::strerror(errno))
                                       : std::string("/proc/locks does not list it"))};
    }
    StopOutcome outcome{true, ""};
    if (::syscall(SYS_pidfd_send_signal, process, SIGTERM, nullptr, 0) != 0) {
        outcome.problem =
            "cannot stop process " + std::to_string(watcher) + ": " + std::strerror(errno);
    } else {
        pollfd ended{process, POLLIN, 0};
        int ready = 0;
        const auto giveUpAt = steady_clock::now() + wait;
        do {
            const auto left = ceil<milliseconds>(giveUpAt - steady_clock::now());
            ready = ::poll(&ended, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
        } while (ready < 0 && errno == EINTR);
        if (ready == 0) {
            outcome.problem = "process " + std::to_string(watcher) + " is still running after " +
                              std::to_string(wait.count()) + " s";
        }
    }
    ::close(process);
    return outcome;
}

std::unique_ptr<Child> Child::make() {
    return std::make_unique<ProcessChild>();
}

std::string logProblem(const fs::path& folder, const fs::path& log) {
    struct stat facts {};
    if (::stat(log.c_str(), &facts) == 0) {
        if (S_ISDIR(facts.st_mode)) {
            return "the log is a folder";
        }
        const int fd = ::open(log.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (fd < 0) {
            return std::strerror(errno);
        }
        ::close(fd);
    } else if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
        return "the folder takes no new file: " + std::string(std::strerror(errno));
    }
    struct statvfs space {};
    if (::statvfs(folder.c_str(), &space) == 0 && space.f_bavail == 0) {
        return "the disk is full";
    }
    return {};
}

void runDetached(std::function<void()> work) {
    std::thread(std::move(work)).detach();
}

void tell(const std::string& text, bool problem) {
    core::system::writeStandard(problem ? stderr : stdout, text + "\n");
}

std::unique_ptr<Command> Command::start(const std::string& commandLine,
                                        const std::map<std::string, std::string>& environment,
                                        std::string& why) {
    std::vector<std::string> variables;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        const std::string_view entry = *variable;
        if (!environment.contains(std::string(entry.substr(0, entry.find('='))))) {
            variables.emplace_back(entry);
        }
    }
    for (const auto& [name, value] : environment) {
        variables.push_back(std::string(name).append("=").append(value));
    }
    std::vector<char*> pointers;
    pointers.reserve(variables.size() + 1);
    for (std::string& variable : variables) {
        pointers.push_back(variable.data());
    }
    pointers.push_back(nullptr);
    std::string line = commandLine;
    char shell[] = "/bin/sh";
    char dashC[] = "-c";
    char* const arguments[] = {shell, dashC, line.data(), nullptr};
    // What a command leaves behind comes to the watcher, not to init, so it can be ended.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    const int nothing = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const std::scoped_lock lock(childrenLock);
    const pid_t pid =
        spawn(shell, arguments, pointers.data(), fs::current_path(), nothing, -1, true, why);
    ::close(nothing);
    if (pid > 0) {
        ownChildren.insert(pid);
    }
    return pid > 0 ? std::make_unique<ShellCommand>(pid) : nullptr;
}

} // namespace watch::os
