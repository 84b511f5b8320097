// What the report asks of the operating system, one interface with a POSIX and a Windows build.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace report::system {

namespace fs = std::filesystem;

// Which file something is, whatever path, symlink or hard link leads to it.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t file = 0;
    bool operator==(const FileIdentity&) const = default;
};

// --- The process ---

// Before anything else: a reader that goes away or a file-size limit is a failure to report,
// never a signal that ends the program with a temporary left behind.
void prepareProcess();
// The command line as UTF-8, whole even where the system's code page could not hold a name.
std::vector<std::string> arguments(int argc, char** argv);
// A path as the person wrote it (UTF-8), and back.
fs::path pathOf(const std::string& utf8);
std::string displayName(const fs::path& path);

// --- Standard streams and the log ---

// Opens the log for reading in binary mode: line ends and Ctrl+Z bytes are the reader's to see.
std::FILE* openForReading(const fs::path& path);
// Standard input as the log, in binary mode.
std::FILE* standardInput();
// Writes all of text to standard output or error; a console shows it as Unicode. Returns an empty
// string, or why it could not; a reader that has gone away is no failure.
std::string writeStandard(std::FILE* stream, std::string_view text);
// The regular file a path leads to now, or an open stream reads or writes; nothing for a file that
// does not exist (yet), a device, a pipe, a console, or where it cannot be asked.
std::optional<FileIdentity> identityOf(const fs::path& path);
std::optional<FileIdentity> identityOf(std::FILE* stream);
// Whether a path leads to whatever standard output is: its file, pipe, terminal or device.
bool isStandardOutput(const fs::path& path);
// Whether two paths name one file, even where neither exists yet: then the file system itself
// is asked (a file made at the first is looked for at the second, and removed), so a name that
// differs only in case is the same file where the file system says so.
bool sameFile(const fs::path& first, const fs::path& second);

// --- Files written whole ---

// A handle of the system's: a descriptor or a HANDLE.
using NativeFile = std::intptr_t;
inline constexpr NativeFile noFile = -1;
// errno or GetLastError; 0 is success.
using Failure = long;

Failure lastFailure();
std::string describe(Failure failure);
bool isAbsent(Failure failure);  // no such file
bool isRefusal(Failure failure); // permission, or a read-only file system

NativeFile openExisting(const fs::path& path); // for writing, never created
bool isRegular(NativeFile file);
std::optional<FileIdentity> identityOf(NativeFile file);
unsigned long linksOf(NativeFile file);
// Where an open file really is, symlinks resolved; given where that cannot be said.
fs::path finalPath(NativeFile file, const fs::path& given);
// A new file of ours in folder, its name in temporary.
NativeFile createTemporary(const fs::path& folder, fs::path& temporary);
// A replacement that would change the old file's owner, group or mode fails here, so the old file
// is written in place instead; a new file gets the mode any new file would have had.
Failure makeLike(NativeFile temporary, NativeFile target);
Failure makeNew(NativeFile temporary);
Failure writeAll(NativeFile file, std::string_view text);
Failure flush(NativeFile file);
Failure truncate(NativeFile file);
Failure closeFile(NativeFile file);
// The temporary takes the destination's place in one step; an existing destination keeps what
// the system keeps for a replaced file (on Windows its permissions and attributes too).
Failure replace(const fs::path& temporary, const fs::path& destination, bool destinationExists);
void removeFile(const fs::path& path);

// --- The desktop ---

// Asks the desktop to open the file in its default program. Returns an empty string, or why it
// could not, in words a person can act on.
std::string openInBrowser(const fs::path& page);

} // namespace report::system
