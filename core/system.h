// What both programs ask of the operating system, one interface with a POSIX and a Windows build:
// the command line, standard output, files read and told apart by identity, and failures in the
// system's own words.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace core::system {

namespace fs = std::filesystem;

// Which file something is, whatever path, symlink or hard link leads to it.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t file = 0;
    bool operator==(const FileIdentity&) const = default;
};

// A handle of the system's: a descriptor or a HANDLE.
using NativeFile = std::intptr_t;
inline constexpr NativeFile noFile = -1;
// errno or GetLastError; 0 is success.
using Failure = long;

// --- The process ---

// Before anything else: a reader that goes away or a file-size limit is a failure to report,
// never a signal that ends the program.
void prepareProcess();
// The command line as UTF-8, whole even where the system's code page could not hold a name.
std::vector<std::string> arguments(int argc, char** argv);
// A path as the person wrote it (UTF-8), and back.
fs::path pathOf(const std::string& utf8);
std::string displayName(const fs::path& path);

// --- Failures ---

// The last call's failure: errno, or on Windows GetLastError.
Failure lastFailure();
// In the system's own words, without a closing full stop.
std::string describe(Failure failure);
bool isAbsent(Failure failure); // no such file

// --- Reading and telling files apart ---

// Opens a file for reading in binary mode, never inherited by a program started later; null and
// lastFailure() where it cannot be opened.
std::FILE* openForReading(const fs::path& path);
// Writes all of text to standard output or error; a console shows it as Unicode. Returns an empty
// string, or why it could not; a reader that has gone away is no failure.
std::string writeStandard(std::FILE* stream, std::string_view text);
// The regular file a path leads to now, or an open stream or handle reads or writes; nothing for
// a file that does not exist (yet), a device, a pipe, a console, or where it cannot be asked.
std::optional<FileIdentity> identityOf(const fs::path& path);
std::optional<FileIdentity> identityOf(std::FILE* stream);
std::optional<FileIdentity> identityOf(NativeFile file);
// A folder's identity, which moving or renaming it keeps.
std::optional<FileIdentity> folderIdentityOf(const fs::path& folder);

// --- The watcher's claim on its folder, and this machine ---

// The process of the watcher holding a folder's claim (0 where its number cannot be read);
// nothing where none does. Only looks, so it never stands in the way of a watcher starting.
std::optional<long> folderWatcher(const fs::path& folder);
#ifdef _WIN32
// The claim's name: by the folder's identity, not its spelling, so one folder has one name
// however it is reached and wherever it is moved.
std::wstring claimName(const FileIdentity& folder);
#endif
// The local clock's offset from UTC at a moment, as the C library's zone rules give it.
std::chrono::seconds offsetAt(std::chrono::sys_seconds moment);
// This machine's name on the network ("kitchen-pc"); empty where it has none.
std::string machineName();

} // namespace core::system
