// What only the report asks of the operating system, one interface with a POSIX and a Windows
// build: standard input as the log, outputs told apart and written whole, and the browser.
#pragma once

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "system.h"

namespace report::os {

namespace fs = std::filesystem;
using core::system::Failure;
using core::system::FileIdentity;
using core::system::NativeFile;
using core::system::noFile;

// --- Standard streams ---

// Standard input as the log, in binary mode.
std::FILE* standardInput();
// Whether a path leads to whatever standard output is: its file, pipe, terminal or device.
bool isStandardOutput(const fs::path& path);
// Whether two paths name one file, even where neither exists yet: then the file system itself
// is asked (a file made at the first is looked for at the second, and removed), so a name that
// differs only in case is the same file where the file system says so.
bool sameFile(const fs::path& first, const fs::path& second);

// --- Files written whole ---

bool isRefusal(Failure failure); // permission, or a read-only file system

NativeFile openExisting(const fs::path& path); // for writing, never created
bool isRegular(NativeFile file);
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

// --- Where logs usually are ---

// The folder the installed monitor logs in, and whose it is: "the installer's" (Connectivity
// Monitor in Documents), "the user service's" (~/.local/state/connectivity-monitor).
struct UsualFolder {
    fs::path folder;
    std::string whose;
};
std::optional<UsualFolder> usualLogFolder();

// --- The desktop ---

// Asks the desktop to open the file in its default program. Returns an empty string, or why it
// could not, in words a person can act on.
std::string openInBrowser(const fs::path& page);

} // namespace report::os
