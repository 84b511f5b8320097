// The watcher's system calls on Linux: CLOCK_BOOTTIME against CLOCK_MONOTONIC, a record locked
// with fcntl, the monitor forked with PR_SET_PDEATHSIG, and the person's command through sh -c.
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <thread>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include "system.h" // the report's, for its way of telling the person
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

// The whole file, as a write lock: the lock of a record held by a watcher.
flock wholeFile(short type) {
    flock lock{};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    return lock;
}

// A child process in a state of its own: standard descriptors given, signals at their defaults,
// ended with the watcher (a watcher killed outright takes it along). Its exec failure comes back
// through a pipe that exec closes.
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
        for (const int number : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGCHLD}) {
            std::signal(number, SIG_DFL);
        }
        if ((ownGroup && ::setpgid(0, 0) != 0) || ::dup2(input, STDIN_FILENO) < 0 ||
            (output >= 0 && ::dup2(output, STDOUT_FILENO) < 0) || ::chdir(folder.c_str()) != 0) {
            error = errno;
        } else {
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

class FileRecord final : public Record {
  public:
    explicit FileRecord(int fd) : fd_(fd) {}
    ~FileRecord() override { ::close(fd_); }
    FileRecord(const FileRecord&) = delete;
    FileRecord& operator=(const FileRecord&) = delete;

    bool append(const std::string& line) override {
        // After a line the disk took only part of, a line end of its own: the torn part stays a
        // line that readers skip, and the next line starts whole.
        const std::string text = torn_ ? "\n" + line : line;
        const ssize_t wrote = ::write(fd_, text.data(), text.size());
        torn_ = wrote > 0 && static_cast<std::size_t>(wrote) < text.size();
        return static_cast<std::size_t>(wrote) == text.size();
    }

  private:
    int fd_;
    bool torn_ = false;
};

class ProcessChild final : public Child {
  public:
    ~ProcessChild() override { stop(); }

    std::optional<long> start(const fs::path& program, const fs::path& folder,
                              std::string& why) override {
        const int nothing = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        std::string path = program.string();
        char name[] = "connectivity-monitor";
        char* const arguments[] = {name, nullptr};
        pid_ = spawn(path.c_str(), arguments, environ, folder, nothing, nothing, false, why);
        ::close(nothing);
        if (pid_ < 0) {
            why = "cannot start " + path + ": " + why;
            return std::nullopt;
        }
        return pid_;
    }

    std::optional<std::string> ended() override {
        int status = 0;
        if (pid_ <= 0 || ::waitpid(pid_, &status, WNOHANG) != pid_) {
            return std::nullopt;
        }
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
            ::kill(-pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    ShellCommand(const ShellCommand&) = delete;
    ShellCommand& operator=(const ShellCommand&) = delete;

    std::optional<std::string> ended(milliseconds timeLimit) override {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return howEnded(status);
        }
        if (steady_clock::now() - started_ < timeLimit) {
            return std::nullopt;
        }
        ::kill(-pid_, SIGKILL); // its own process group: whatever it started goes too
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
        return "still running after " + std::to_string(duration_cast<seconds>(timeLimit).count()) +
               " s: ended";
    }

  private:
    pid_t pid_;
    steady_clock::time_point started_;
};

} // namespace

Readings readClocks() {
    const milliseconds wall = read(CLOCK_REALTIME);
    const sys_time<milliseconds> moment{wall};
    return {moment, offsetAt(floor<seconds>(moment)), read(CLOCK_MONOTONIC), read(CLOCK_BOOTTIME)};
}

seconds offsetAt(sys_seconds moment) {
    const std::time_t time = moment.time_since_epoch().count();
    std::tm local{};
    return ::localtime_r(&time, &local) != nullptr ? seconds{local.tm_gmtoff} : seconds{0};
}

fs::path programFolder() {
    std::error_code error;
    const fs::path program = fs::read_symlink("/proc/self/exe", error);
    return error ? fs::current_path() : program.parent_path();
}

long processId() {
    return ::getpid();
}

std::string_view osName() {
    return "linux";
}

std::unique_ptr<Record> Record::open(const fs::path& path, std::string& why, bool& held) {
    held = false;
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
    struct stat facts {};
    if (fd < 0 || ::fstat(fd, &facts) != 0 || !S_ISREG(facts.st_mode)) {
        why = fd < 0 ? std::strerror(errno) : "it is not a regular file";
        if (fd >= 0) {
            ::close(fd);
        }
        return nullptr;
    }
    flock lock = wholeFile(F_WRLCK);
    if (::fcntl(fd, F_SETLK, &lock) != 0) {
        held = errno == EACCES || errno == EAGAIN;
        why = std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<FileRecord>(fd);
}

StopOutcome stopWatcher(const fs::path& record, seconds wait) {
    const int fd = ::open(record.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return {false, ""};
    }
    const auto holder = [fd] {
        flock lock = wholeFile(F_WRLCK);
        return ::fcntl(fd, F_GETLK, &lock) == 0 && lock.l_type != F_UNLCK ? lock.l_pid : 0;
    };
    const pid_t watcher = holder();
    StopOutcome outcome{watcher > 0, ""};
    if (watcher > 0 && ::kill(watcher, SIGTERM) != 0) {
        outcome.problem =
            "cannot stop process " + std::to_string(watcher) + ": " + std::strerror(errno);
    }
    const auto giveUpAt = steady_clock::now() + wait;
    while (outcome.wasWatching && outcome.problem.empty() && holder() != 0) {
        if (steady_clock::now() > giveUpAt) {
            outcome.problem = "process " + std::to_string(watcher) + " is still running after " +
                              std::to_string(wait.count()) + " s";
        }
        std::this_thread::sleep_for(50ms);
    }
    ::close(fd);
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
    const int nothing = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const pid_t pid =
        spawn(shell, arguments, pointers.data(), fs::current_path(), nothing, -1, true, why);
    ::close(nothing);
    return pid > 0 ? std::make_unique<ShellCommand>(pid) : nullptr;
}

} // namespace watch::os
