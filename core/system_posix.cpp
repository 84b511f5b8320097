// What both programs ask of the system, on POSIX: descriptors, errno and stat.
#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/utsname.h>
#include <unistd.h>

#include "system.h"

namespace core::system {
namespace {

FileIdentity identityFrom(const struct stat& facts) {
    return {static_cast<std::uint64_t>(facts.st_dev), static_cast<std::uint64_t>(facts.st_ino)};
}

std::optional<FileIdentity> regularIdentity(int statResult, const struct stat& facts) {
    return statResult == 0 && S_ISREG(facts.st_mode) ? std::optional(identityFrom(facts))
                                                     : std::nullopt;
}

} // namespace

void prepareProcess() {
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}

std::vector<std::string> arguments(int argc, char** argv) {
    return {argv, argv + argc};
}

fs::path pathOf(const std::string& utf8) {
    return utf8;
}

std::string displayName(const fs::path& path) {
    return path.native();
}

Failure lastFailure() {
    return errno;
}

std::string describe(Failure failure) {
    return std::strerror(static_cast<int>(failure));
}

bool isAbsent(Failure failure) {
    return failure == ENOENT;
}

std::FILE* openForReading(const fs::path& path) {
    return std::fopen(path.c_str(), "rbe"); // e: O_CLOEXEC
}

std::string writeStandard(std::FILE* stream, std::string_view text) {
    const bool wrote = std::fwrite(text.data(), 1, text.size(), stream) == text.size();
    return (std::fflush(stream) == 0 && wrote) || errno == EPIPE ? std::string()
                                                                 : std::strerror(errno);
}

std::optional<FileIdentity> identityOf(const fs::path& path) {
    struct stat facts {};
    return regularIdentity(::stat(path.c_str(), &facts), facts);
}

std::optional<FileIdentity> identityOf(std::FILE* stream) {
    struct stat facts {};
    return regularIdentity(::fstat(::fileno(stream), &facts), facts);
}

std::optional<FileIdentity> identityOf(NativeFile file) {
    struct stat facts {};
    return ::fstat(static_cast<int>(file), &facts) == 0 ? std::optional(identityFrom(facts))
                                                        : std::nullopt;
}

std::optional<FileIdentity> folderIdentityOf(const fs::path& folder) {
    struct stat facts {};
    return ::stat(folder.c_str(), &facts) == 0 && S_ISDIR(facts.st_mode)
               ? std::optional(identityFrom(facts))
               : std::nullopt;
}

// The watcher's claim is a flock on the folder: /proc/locks lists its holder, as
//   1: FLOCK  ADVISORY  WRITE 4321 fe:00:10952884 0 EOF
std::optional<long> folderWatcher(const fs::path& folder) {
    struct stat facts {};
    if (::stat(folder.c_str(), &facts) != 0) {
        return std::nullopt;
    }
    std::FILE* locks = openForReading("/proc/locks");
    if (locks == nullptr) {
        return std::nullopt;
    }
    std::array<char, 64> device{};
    std::snprintf(device.data(), device.size(), "%02x:%02x:%llu", ::major(facts.st_dev),
                  ::minor(facts.st_dev), static_cast<unsigned long long>(facts.st_ino));
    std::optional<long> holder;
    std::array<char, 512> line{};
    while (!holder && std::fgets(line.data(), static_cast<int>(line.size()), locks) != nullptr) {
        std::istringstream fields(line.data());
        std::string number, kind, advisory, access, pid, where;
        fields >> number >> kind;
        if (kind == "->") {
            continue; // a process waiting for the lock, not holding it
        }
        fields >> advisory >> access >> pid >> where;
        if (kind == "FLOCK" && where == device.data()) {
            holder = std::strtol(pid.c_str(), nullptr, 10);
        }
    }
    std::fclose(locks);
    return holder;
}

std::chrono::seconds offsetAt(std::chrono::sys_seconds moment) {
    const std::time_t time = moment.time_since_epoch().count();
    std::tm local{};
    return ::localtime_r(&time, &local) != nullptr ? std::chrono::seconds{local.tm_gmtoff}
                                                   : std::chrono::seconds{0};
}

std::string machineName() {
    struct utsname names {};
    return ::uname(&names) == 0 ? std::string(names.nodename) : std::string();
}

} // namespace core::system
