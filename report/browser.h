// Showing the page in the person's default browser.
#pragma once

#include <filesystem>
#include <string>

namespace report {

// Asks the desktop to open the file in its default program: ShellExecuteW on Windows, xdg-open
// elsewhere. Returns an empty string, or why it could not.
std::string openInBrowser(const std::filesystem::path& page);

} // namespace report
