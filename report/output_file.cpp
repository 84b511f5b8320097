// Outputs replaced whole by rename, which a crash or a full disk cannot leave half done.
#include "output_file.h"

#include <string>
#include <system_error>
#include <utility>

#ifdef _WIN32
#include <io.h>
#include <process.h>
#include <windows.h>

#include "utf8_windows.h"
#else
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace report {
namespace fs = std::filesystem;
namespace {

// What differs between the platforms: handles, failure codes, and the calls that make, ask
// about, write, flush and rename a file. The rules that use them follow, written once.
#ifdef _WIN32

using Native = HANDLE;
using Failure = DWORD; // from GetLastError; 0 is success
const Native noFile = INVALID_HANDLE_VALUE;

Failure lastFailure() {
    return ::GetLastError();
}

std::string describe(Failure failure) {
    return systemMessage(failure);
}

bool isAbsent(Failure failure) {
    return failure == ERROR_FILE_NOT_FOUND;
}

bool isRefusal(Failure failure) {
    return failure == ERROR_ACCESS_DENIED;
}

Native openExisting(const fs::path& path) {
    return ::CreateFileW(path.c_str(), GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

std::optional<FileIdentity> identityOfHandle(Native handle) {
    BY_HANDLE_FILE_INFORMATION facts{};
    if (::GetFileType(handle) != FILE_TYPE_DISK || !::GetFileInformationByHandle(handle, &facts)) {
        return std::nullopt;
    }
    return FileIdentity{facts.dwVolumeSerialNumber,
                        (std::uint64_t{facts.nFileIndexHigh} << 32U) | facts.nFileIndexLow};
}

bool isRegular(Native handle) {
    return ::GetFileType(handle) == FILE_TYPE_DISK;
}

unsigned long linksOf(Native handle) {
    BY_HANDLE_FILE_INFORMATION facts{};
    return ::GetFileInformationByHandle(handle, &facts) ? facts.nNumberOfLinks : 1;
}

fs::path finalPath(Native handle, const fs::path& given) {
    std::wstring path(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        const DWORD length =
            ::GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()), 0);
        if (length == 0) {
            return given;
        }
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(length + 1);
    }
    return given;
}

Native createTemporary(const fs::path& folder, fs::path& temporary) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary = folder / (L".connectivity-report-" + std::to_wstring(::_getpid()) + L"-" +
                              std::to_wstring(attempt) + L".tmp");
        const Native handle = ::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr,
                                            CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != noFile || ::GetLastError() != ERROR_FILE_EXISTS) {
            return handle;
        }
    }
    return noFile;
}

// Windows gives a new file the folder's inherited permissions, as it would give the old one.
Failure makeLike(Native /*temporary*/, Native /*target*/) {
    return 0;
}
Failure makeNew(Native /*temporary*/) {
    return 0;
}

Failure writeAll(Native handle, std::string_view text) {
    while (!text.empty()) {
        DWORD wrote = 0;
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(text.size(), 1U << 30U));
        if (!::WriteFile(handle, text.data(), chunk, &wrote, nullptr)) {
            return ::GetLastError();
        }
        text.remove_prefix(wrote);
    }
    return 0;
}

Failure flush(Native handle) {
    return ::FlushFileBuffers(handle) ? 0 : ::GetLastError();
}

Failure truncate(Native handle) {
    return ::SetFilePointer(handle, 0, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
                   ::SetEndOfFile(handle)
               ? 0
               : ::GetLastError();
}

Failure seekToEnd(Native handle) {
    return ::SetFilePointer(handle, 0, nullptr, FILE_END) != INVALID_SET_FILE_POINTER
               ? 0
               : ::GetLastError();
}

Failure close(Native handle) {
    return ::CloseHandle(handle) ? 0 : ::GetLastError();
}

Failure renameOver(const fs::path& from, const fs::path& to) {
    return ::MoveFileExW(from.c_str(), to.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
               ? 0
               : ::GetLastError();
}

void removeFile(const fs::path& path) {
    ::DeleteFileW(path.c_str());
}

std::optional<FileIdentity> standardOutput() {
    return identityOfHandle(::GetStdHandle(STD_OUTPUT_HANDLE));
}

#else

using Native = int;
using Failure = int; // an errno value; 0 is success
const Native noFile = -1;

Failure lastFailure() {
    return errno;
}

std::string describe(Failure failure) {
    return std::strerror(failure);
}

bool isAbsent(Failure failure) {
    return failure == ENOENT;
}

bool isRefusal(Failure failure) {
    return failure == EACCES || failure == EPERM || failure == EROFS;
}

Native openExisting(const fs::path& path) {
    return ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
}

std::optional<FileIdentity> identityOfHandle(Native fd) {
    struct stat facts {};
    if (::fstat(fd, &facts) != 0) {
        return std::nullopt;
    }
    return FileIdentity{static_cast<std::uint64_t>(facts.st_dev),
                        static_cast<std::uint64_t>(facts.st_ino)};
}

bool isRegular(Native fd) {
    struct stat facts {};
    return ::fstat(fd, &facts) == 0 && S_ISREG(facts.st_mode);
}

unsigned long linksOf(Native fd) {
    struct stat facts {};
    return ::fstat(fd, &facts) == 0 ? static_cast<unsigned long>(facts.st_nlink) : 1;
}

fs::path finalPath(Native /*fd*/, const fs::path& given) {
    char* resolved = ::realpath(given.c_str(), nullptr);
    fs::path path = resolved != nullptr ? fs::path(resolved) : given;
    ::free(resolved); // NOLINT(cppcoreguidelines-no-malloc): realpath's own allocation
    return path;
}

Native createTemporary(const fs::path& folder, fs::path& temporary) {
    std::string pattern = (folder / ".connectivity-report-XXXXXX").string();
    const Native fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    temporary = pattern;
    return fd;
}

// The old file's owner, group and mode, or no replacing: as root, a user's file stays theirs.
Failure makeLike(Native temporary, Native target) {
    struct stat wanted {};
    struct stat made {};
    if (::fstat(target, &wanted) != 0 || ::fstat(temporary, &made) != 0) {
        return errno;
    }
    if ((made.st_uid != wanted.st_uid || made.st_gid != wanted.st_gid) &&
        ::fchown(temporary, wanted.st_uid, wanted.st_gid) != 0) {
        return errno;
    }
    return ::fchmod(temporary, wanted.st_mode & 07777) == 0 ? 0 : errno;
}

// mkostemp makes the file private; give it the mode any new file would have had.
Failure makeNew(Native temporary) {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return ::fchmod(temporary, 0666 & ~mask) == 0 ? 0 : errno;
}

Failure writeAll(Native fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t wrote = ::write(fd, text.data(), text.size());
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

Failure flush(Native fd) {
    return ::fsync(fd) == 0 ? 0 : errno;
}

Failure truncate(Native fd) {
    return ::ftruncate(fd, 0) == 0 ? 0 : errno;
}

Failure seekToEnd(Native fd) {
    return ::lseek(fd, 0, SEEK_END) >= 0 ? 0 : errno;
}

Failure close(Native fd) {
    return ::close(fd) == 0 ? 0 : errno;
}

Failure renameOver(const fs::path& from, const fs::path& to) {
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

void removeFile(const fs::path& path) {
    ::unlink(path.c_str());
}

std::optional<FileIdentity> standardOutput() {
    return isRegular(STDOUT_FILENO) ? identityOfHandle(STDOUT_FILENO) : std::nullopt;
}

#endif

// Closes on every path; close() hands the handle back for a close whose failure counts.
class Handle {
  public:
    explicit Handle(Native native) : native_(native) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() {
        if (native_ != noFile) {
            report::close(native_);
        }
    }
    Native get() const { return native_; }
    bool isOpen() const { return native_ != noFile; }
    Failure close() { return report::close(std::exchange(native_, noFile)); }

  private:
    Native native_;
};

// The first failure of a sequence of steps; later steps are skipped once one has failed.
class Steps {
  public:
    template <typename Step> Steps& then(Step&& step) {
        if (failure_ == 0) {
            failure_ = step();
        }
        return *this;
    }
    Failure failure() const { return failure_; }

  private:
    Failure failure_ = 0;
};

// Follows a chain of symlinks to the file it names, which does not exist yet.
fs::path newFileAt(fs::path path) {
    std::error_code error;
    for (int hops = 0; hops < 40 && fs::is_symlink(fs::symlink_status(path, error)); ++hops) {
        const fs::path link = fs::read_symlink(path, error);
        if (error) {
            break;
        }
        path = link.is_absolute() ? link : path.parent_path() / link;
    }
    return path;
}

fs::path folderOf(const fs::path& path) {
    return path.has_parent_path() ? path.parent_path() : fs::path(".");
}

std::string failed(const fs::path& path, Failure failure) {
#ifdef _WIN32
    const std::string name = utf8From(path.native());
#else
    const std::string& name = path.native();
#endif
    return "cannot write " + name + ": " + describe(failure);
}

// Written where it is, as a shell's > would: truncated first unless it is to be appended to.
std::string writeInPlace(const fs::path& path, Handle& target, std::string_view text, bool append) {
    const bool regular = isRegular(target.get());
    const Failure failure =
        Steps()
            .then([&] {
                return regular ? (append ? seekToEnd(target.get()) : truncate(target.get())) : 0;
            })
            .then([&] { return writeAll(target.get(), text); })
            .then([&] { return regular ? flush(target.get()) : 0; })
            .then([&] { return target.close(); })
            .failure();
    return failure == 0 ? std::string() : failed(path, failure);
}

} // namespace

std::optional<FileIdentity> identityOf(const fs::path& path) {
#ifdef _WIN32
    const Handle file(::CreateFileW(path.c_str(), 0,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return file.isOpen() ? identityOfHandle(file.get()) : std::nullopt;
#else
    struct stat facts {};
    if (::stat(path.c_str(), &facts) != 0 || !S_ISREG(facts.st_mode)) {
        return std::nullopt;
    }
    return FileIdentity{static_cast<std::uint64_t>(facts.st_dev),
                        static_cast<std::uint64_t>(facts.st_ino)};
#endif
}

std::optional<FileIdentity> identityOf(std::FILE* stream) {
#ifdef _WIN32
    return identityOfHandle(reinterpret_cast<Native>(::_get_osfhandle(::_fileno(stream))));
#else
    return isRegular(::fileno(stream)) ? identityOfHandle(::fileno(stream)) : std::nullopt;
#endif
}

std::string writeOutput(const fs::path& path, std::string_view text) {
    Handle target(openExisting(path));
    if (!target.isOpen() && !isAbsent(lastFailure())) {
        return failed(path, lastFailure()); // a symlink loop, a folder, no permission...
    }
    if (target.isOpen()) {
        if (!isRegular(target.get())) {
            return writeInPlace(path, target, text, true); // a device, pipe or console
        }
        const auto identity = identityOfHandle(target.get());
        if (identity && identity == standardOutput()) {
            return writeInPlace(path, target, text, true); // after what we printed there
        }
        if (linksOf(target.get()) > 1) {
            return writeInPlace(path, target, text, false);
        }
    }

    const fs::path destination = target.isOpen() ? finalPath(target.get(), path) : newFileAt(path);
    fs::path temporaryPath;
    Handle temporary(createTemporary(folderOf(destination), temporaryPath));
    if (!temporary.isOpen()) {
        const Failure why = lastFailure();
        // A folder closed to us holding a file open to us: written as > would write it.
        return target.isOpen() && isRefusal(why) ? writeInPlace(path, target, text, false)
                                                 : failed(path, why);
    }
    const Failure unlike =
        target.isOpen() ? makeLike(temporary.get(), target.get()) : makeNew(temporary.get());
    if (unlike != 0) {
        temporary.close();
        removeFile(temporaryPath);
        return target.isOpen() ? writeInPlace(path, target, text, false) : failed(path, unlike);
    }
    const Failure failure = Steps()
                                .then([&] { return writeAll(temporary.get(), text); })
                                .then([&] { return flush(temporary.get()); })
                                .then([&] { return temporary.close(); })
                                .then([&] { return target.isOpen() ? target.close() : 0; })
                                .then([&] { return renameOver(temporaryPath, destination); })
                                .failure();
    if (failure != 0) {
        if (temporary.isOpen()) {
            temporary.close(); // Windows removes no file that is still open
        }
        removeFile(temporaryPath); // nothing half-written stays behind, under either name
        return failed(path, failure);
    }
    return {};
}

} // namespace report
