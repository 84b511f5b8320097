// Writing an output so that a failure never leaves half a file behind, nor replaces a device.
#pragma once

#include <string>
#include <string_view>

namespace report {

// "-" is standard output. A regular file, a new one, or the target of a symlink is written under
// a temporary name in its own folder and renamed over the target; anything else (a device, a
// pipe, /dev/stdout) is written in place. Returns an empty string, or why writing failed.
std::string writeOutput(const std::string& path, std::string_view text);

} // namespace report
