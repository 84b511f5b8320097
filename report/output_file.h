// Writing an output so that a failure never leaves half a file behind, nor replaces a device.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace report {

// Which file something is, whatever path, symlink or hard link leads to it.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t file = 0;
    bool operator==(const FileIdentity&) const = default;
};

// The regular file a path leads to now, or an open stream reads or writes; nothing for a file
// that does not exist (yet), a device, a pipe, a console, or where it cannot be asked.
std::optional<FileIdentity> identityOf(const std::filesystem::path& path);
std::optional<FileIdentity> identityOf(std::FILE* stream);

// Opens first, then decides by what was opened. A device, pipe or console is written in place.
// So is the file standard output is open on, appended to after what it already holds. A regular
// file is replaced whole: written under a temporary name in its own folder, flushed to disk and
// renamed over the old one, unless the rename would change its owner or mode, part it from its
// other hard links, or cannot be made because the folder is closed to us; then it is overwritten
// in place, as a shell's > would. A new file is made by the same rename. Returns an empty string,
// or why writing failed, naming the path as given.
std::string writeOutput(const std::filesystem::path& path, std::string_view text);

} // namespace report
