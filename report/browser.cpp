// The default browser: Windows' shell, or the freedesktop.org xdg-open elsewhere.
#include "browser.h"

#ifdef _WIN32
#include <windows.h>

#include <shellapi.h>

#include "utf8_windows.h"
#else
#include <cerrno>
#include <cstring>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ; // NOLINT(readability-redundant-declaration): POSIX leaves it undeclared
#endif

namespace report {

std::string openInBrowser(const std::filesystem::path& page) {
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(page, error);
    const std::filesystem::path& target = error ? page : absolute;
#ifdef _WIN32
    SHELLEXECUTEINFOW request{};
    request.cbSize = sizeof request;
    request.fMask = SEE_MASK_FLAG_NO_UI; // failures come back to us, not in a dialog
    request.lpVerb = L"open";
    request.lpFile = target.c_str();
    request.nShow = SW_SHOWNORMAL;
    if (::ShellExecuteExW(&request)) {
        return {};
    }
    const DWORD failure = ::GetLastError();
    if (failure == 0) { // the shell's own code only, as for a file type nothing is set to open
        return "the shell refused it (code " +
               std::to_string(reinterpret_cast<INT_PTR>(request.hInstApp)) + ")";
    }
    return systemMessage(failure);
#else
    std::string argument = target.string();
    char program[] = "xdg-open";
    char* const arguments[] = {program, argument.data(), nullptr};
    pid_t child = 0;
    const int spawned = ::posix_spawnp(&child, program, nullptr, nullptr, arguments, environ);
    if (spawned != 0) {
        return std::string("xdg-open: ") + std::strerror(spawned);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        return {};
    }
    return WIFEXITED(status) ? "xdg-open exited with status " + std::to_string(WEXITSTATUS(status))
                             : std::string("xdg-open was killed by a signal");
#endif
}

} // namespace report
