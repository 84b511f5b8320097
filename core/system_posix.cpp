// What both programs ask of the system, on POSIX: descriptors, errno and stat.
#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
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

} // namespace core::system
