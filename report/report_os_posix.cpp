// What only the report asks of POSIX: standard output's file, outputs replaced by rename, and
// xdg-open for the browser.
#include <cerrno>
#include <cstring>
#include <system_error>

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "report_os.h"

extern char** environ; // NOLINT(readability-redundant-declaration): POSIX leaves it undeclared

namespace report::os {
namespace {

using core::system::identityOf;

int fdOf(NativeFile file) {
    return static_cast<int>(file);
}

} // namespace

std::FILE* standardInput() {
    return stdin;
}

bool isStandardOutput(const fs::path& path) {
    struct stat named {};
    struct stat output {};
    return ::stat(path.c_str(), &named) == 0 && ::fstat(STDOUT_FILENO, &output) == 0 &&
           named.st_dev == output.st_dev && named.st_ino == output.st_ino;
}

bool sameFile(const fs::path& first, const fs::path& second) {
    std::error_code error;
    if (fs::exists(first, error) || fs::exists(second, error)) {
        const auto identity = identityOf(first);
        return identity && identity == identityOf(second);
    }
    const int made = ::open(first.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (made < 0) { // no such folder, say: compared as places instead
        const auto place = [&error](const fs::path& path) {
            return fs::weakly_canonical(fs::absolute(path, error), error);
        };
        return place(first) == place(second);
    }
    const auto identity = identityOf(second);
    const bool same = identity && identity == identityOf(first);
    ::close(made);
    ::unlink(first.c_str());
    return same;
}

bool isRefusal(Failure failure) {
    return failure == EACCES || failure == EPERM || failure == EROFS;
}
NativeFile openExisting(const fs::path& path) {
    return ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
}

bool isRegular(NativeFile file) {
    struct stat facts {};
    return ::fstat(fdOf(file), &facts) == 0 && S_ISREG(facts.st_mode);
}

unsigned long linksOf(NativeFile file) {
    struct stat facts {};
    return ::fstat(fdOf(file), &facts) == 0 ? static_cast<unsigned long>(facts.st_nlink) : 1;
}

fs::path finalPath(NativeFile /*file*/, const fs::path& given) {
    char* resolved = ::realpath(given.c_str(), nullptr);
    fs::path path = resolved != nullptr ? fs::path(resolved) : given;
    ::free(resolved); // NOLINT(cppcoreguidelines-no-malloc): realpath's own allocation
    return path;
}

NativeFile createTemporary(const fs::path& folder, fs::path& temporary) {
    std::string pattern = (folder / ".connectivity-report-XXXXXX").string();
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    temporary = pattern;
    return fd;
}

Failure makeLike(NativeFile temporary, NativeFile target) {
    struct stat wanted {};
    struct stat made {};
    if (::fstat(fdOf(target), &wanted) != 0 || ::fstat(fdOf(temporary), &made) != 0) {
        return errno;
    }
    if ((made.st_uid != wanted.st_uid || made.st_gid != wanted.st_gid) &&
        ::fchown(fdOf(temporary), wanted.st_uid, wanted.st_gid) != 0) {
        return errno;
    }
    // After the owner: fchown clears the set-user-ID and set-group-ID bits.
    return ::fchmod(fdOf(temporary), wanted.st_mode & 07777) == 0 ? 0 : errno;
}

Failure makeNew(NativeFile temporary) {
    // mkostemp makes the file private; give it the mode any new file would have had.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return ::fchmod(fdOf(temporary), 0666 & ~mask) == 0 ? 0 : errno;
}

Failure writeAll(NativeFile file, std::string_view text) {
    while (!text.empty()) {
        const ssize_t wrote = ::write(fdOf(file), text.data(), text.size());
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            return wrote < 0 ? errno : EIO;
        }
        text.remove_prefix(static_cast<std::size_t>(wrote));
    }
    return 0;
}

Failure flush(NativeFile file) {
    return ::fsync(fdOf(file)) == 0 ? 0 : errno;
}

Failure truncate(NativeFile file) {
    return ::ftruncate(fdOf(file), 0) == 0 ? 0 : errno;
}

Failure closeFile(NativeFile file) {
    return ::close(fdOf(file)) == 0 ? 0 : errno;
}

Failure replace(const fs::path& temporary, const fs::path& destination,
                bool /*destinationExists*/) {
    return ::rename(temporary.c_str(), destination.c_str()) == 0 ? 0 : errno;
}

void removeFile(const fs::path& path) {
    ::unlink(path.c_str());
}

std::optional<UsualFolder> usualLogFolder() {
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') {
        return std::nullopt;
    }
    return UsualFolder{fs::path(home) / ".local/state/connectivity-monitor", "The user service's"};
}

std::string openInBrowser(const fs::path& page) {
    std::error_code error;
    const fs::path absolute = fs::absolute(page, error);
    std::string argument = (error ? page : absolute).string();
    char program[] = "xdg-open";
    char* const arguments[] = {program, argument.data(), nullptr};
    pid_t child = 0;
    const int spawned = ::posix_spawnp(&child, program, nullptr, nullptr, arguments, environ);
    if (spawned != 0) {
        return std::string("xdg-open, which opens files in the desktop's programs, could not be "
                           "started: ") +
               std::strerror(spawned);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        return {};
    }
    return WIFEXITED(status) ? "xdg-open exited with status " + std::to_string(WEXITSTATUS(status))
                             : std::string("xdg-open was killed by a signal");
}

} // namespace report::os
