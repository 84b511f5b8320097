// Atomic replacement by rename, which a crash or a full disk cannot leave half done.
#include "output_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace report {
namespace fs = std::filesystem;
namespace {

std::string failure(const fs::path& path, const std::string& reason) {
    return "cannot write " + path.string() + ": " + reason;
}

// 0, or the errno of the write that failed.
int writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
#ifdef _WIN32
        const int wrote = ::_write(
            fd, text.data(), static_cast<unsigned>(std::min<std::size_t>(text.size(), 1 << 30)));
#else
        const ssize_t wrote = ::write(fd, text.data(), text.size());
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
#endif
        if (wrote <= 0) {
            return wrote < 0 ? errno : EIO;
        }
        text.remove_prefix(static_cast<std::size_t>(wrote));
    }
    return 0;
}

// Closes fd; keeps the first failure, or reports the close's own.
int closeKeeping(int fd, int failure) {
#ifdef _WIN32
    const bool closed = ::_close(fd) == 0;
#else
    const bool closed = ::close(fd) == 0;
#endif
    return failure != 0 || closed ? failure : errno;
}

// Follows a chain of symlinks to the file it names, which need not exist yet.
fs::path finalTarget(fs::path path, std::error_code& error) {
    std::error_code absent; // a path that does not exist yet is no error here
    for (int hops = 0; hops < 40 && fs::is_symlink(fs::symlink_status(path, absent)); ++hops) {
        const fs::path link = fs::read_symlink(path, error);
        if (error) {
            break;
        }
        path = link.is_absolute() ? link : path.parent_path() / link;
    }
    return path;
}

// Not a regular file and not absent: devices and pipes are written as they are, never replaced.
bool writesInPlace(const std::string& given, const fs::path& target) {
    if (given.rfind("/dev/", 0) == 0 || given.rfind("/proc/", 0) == 0) {
        return true;
    }
    std::error_code error;
    const fs::file_status status = fs::status(target, error);
    return fs::exists(status) && !fs::is_regular_file(status);
}

// Appended, never truncated or created: /dev/stdout may lead to the very file the shell redirected
// our output to, and truncating it there would wipe what was already written.
std::string writeInPlace(const fs::path& path, std::string_view text) {
#ifdef _WIN32
    const int fd = ::_open(path.string().c_str(), _O_WRONLY | _O_APPEND | _O_BINARY);
#else
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
#endif
    if (fd < 0) {
        return failure(path, std::strerror(errno));
    }
    const int problem = closeKeeping(fd, writeAll(fd, text));
    return problem == 0 ? std::string() : failure(path, std::strerror(problem));
}

#ifdef _WIN32
int createTemporary(const fs::path& folder, const fs::path& name, fs::path& temporary) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string hidden = ".";
        hidden.append(name.string()).append(".").append(std::to_string(::_getpid()));
        temporary = folder / hidden.append("-").append(std::to_string(attempt)).append(".tmp");
        const int fd = ::_wopen(temporary.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY,
                                _S_IREAD | _S_IWRITE);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return -1;
}
bool replace(const fs::path& from, const fs::path& to) {
    return ::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}
#else
int createTemporary(const fs::path& folder, const fs::path& name, fs::path& temporary) {
    std::string hidden = ".";
    std::string pattern = (folder / hidden.append(name.string()).append(".XXXXXX")).string();
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    temporary = pattern;
    if (fd >= 0) {
        // mkostemp makes the file private; give it the mode a new file would have had.
        const mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(fd, 0666 & ~mask);
    }
    return fd;
}
bool replace(const fs::path& from, const fs::path& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}
#endif

} // namespace

std::string writeOutput(const std::string& path, std::string_view text) {
    if (path == "-") {
        const bool wrote = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
        return std::fflush(stdout) == 0 && wrote ? std::string()
                                                 : failure("standard output", std::strerror(errno));
    }
    std::error_code error;
    const fs::path target = finalTarget(fs::path(path), error);
    if (error) {
        return failure(path, error.message());
    }
    if (writesInPlace(path, target)) {
        return writeInPlace(path, text);
    }
    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    fs::path temporary;
    const int fd = createTemporary(folder, target.filename(), temporary);
    if (fd < 0) {
        return failure(path, std::strerror(errno));
    }
    int problem = writeAll(fd, text);
#ifndef _WIN32
    // On disk before the rename, so a crash leaves the old file or the new one, never an empty one.
    if (problem == 0 && ::fsync(fd) != 0) {
        problem = errno;
    }
    // An existing file keeps its permissions.
    struct stat existing {};
    if (problem == 0 && ::stat(target.c_str(), &existing) == 0) {
        ::fchmod(fd, existing.st_mode & 07777);
    }
#endif
    problem = closeKeeping(fd, problem);
    if (problem == 0 && !replace(temporary, target)) {
        problem = errno;
    }
    if (problem != 0) {
        fs::remove(temporary, error); // nothing half-written stays behind, under either name
        return failure(path, std::strerror(problem));
    }
    return {};
}

} // namespace report
