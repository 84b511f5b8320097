// Writing an output so that a failure never leaves half a file behind, nor replaces a device.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "system.h"

namespace report {

// What an output holds, handed over piece by piece to write, which says 0 or its failure; the
// first failure ends it and is what it returns. So an output larger than memory is written too.
using Write = std::function<core::system::Failure(std::string_view piece)>;
using Pieces = std::function<core::system::Failure(const Write& write)>;

// Opens first, then decides by what was opened. A device, pipe or console is written in place,
// appended to. A regular file is replaced whole: written under a temporary name in its own
// folder, flushed to disk and put in the old one's place, unless that would change its owner or
// mode, part it from its other hard links, or cannot be done because the folder is closed to us;
// then it is overwritten in place, as a shell's > would. A new file is made by the same rename.
// Returns an empty string, or why writing failed, naming the path as given.
std::string writeOutput(const std::filesystem::path& path, const Pieces& pieces);
std::string writeOutput(const std::filesystem::path& path, std::string_view text);

} // namespace report
