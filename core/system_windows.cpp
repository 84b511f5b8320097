// What both programs ask of the system, on Windows: the wide command line, HANDLEs and
// GetLastError, and the console's Unicode output.
#include <array>
#include <ctime>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <shellapi.h>

#include "system.h"
#include "utf8_windows.h"

namespace core::system {
namespace {

std::optional<FileIdentity> diskIdentity(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION facts{};
    if (handle == INVALID_HANDLE_VALUE || ::GetFileType(handle) != FILE_TYPE_DISK ||
        !::GetFileInformationByHandle(handle, &facts)) {
        return std::nullopt;
    }
    return FileIdentity{facts.dwVolumeSerialNumber,
                        (std::uint64_t{facts.nFileIndexHigh} << 32U) | facts.nFileIndexLow};
}

// Asks without opening for reading or writing, so a file held open by another program answers.
std::optional<FileIdentity> pathIdentity(const fs::path& path, bool folder) {
    const HANDLE file =
        ::CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    BY_HANDLE_FILE_INFORMATION facts{};
    const bool isFolder = file != INVALID_HANDLE_VALUE &&
                          ::GetFileInformationByHandle(file, &facts) &&
                          (facts.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    auto identity = isFolder == folder ? diskIdentity(file) : std::nullopt;
    if (file != INVALID_HANDLE_VALUE) {
        ::CloseHandle(file);
    }
    return identity;
}

} // namespace

void prepareProcess() {}

std::vector<std::string> arguments(int /*argc*/, char** /*argv*/) {
    // The ANSI argv turns names outside the code page into '?': the wide command line has them.
    int count = 0;
    wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    std::vector<std::string> utf8;
    for (int i = 0; wide != nullptr && i < count; ++i) {
        utf8.push_back(utf8From(wide[i]));
    }
    ::LocalFree(wide);
    return utf8;
}

fs::path pathOf(const std::string& utf8) {
    return wideFrom(utf8);
}

std::string displayName(const fs::path& path) {
    return utf8From(path.native());
}

Failure lastFailure() {
    return static_cast<Failure>(::GetLastError());
}

std::string describe(Failure failure) {
    return systemMessage(static_cast<DWORD>(failure));
}

bool isAbsent(Failure failure) {
    return failure == ERROR_FILE_NOT_FOUND;
}

std::FILE* openForReading(const fs::path& path) {
    return ::_wfopen(path.c_str(), L"rbN"); // N: never inherited by a program started later
}

std::string writeStandard(std::FILE* stream, std::string_view text) {
    std::fflush(stream);
    const HANDLE handle = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)));
    DWORD mode = 0;
    if (::GetConsoleMode(handle, &mode)) { // a console shows Unicode only through the wide call
        const std::wstring wide = wideFrom(text);
        DWORD wrote = 0;
        return ::WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &wrote,
                               nullptr)
                   ? std::string()
                   : systemMessage(::GetLastError());
    }
    // Written to the handle itself, in Windows' own line ends, so that a failure is Windows' own:
    // the C library calls a pipe whose reader has gone EINVAL, like any other bad write.
    std::string lines;
    lines.reserve(text.size() + text.size() / 32);
    for (const char c : text) {
        if (c == '\n') {
            lines += '\r';
        }
        lines += c;
    }
    for (std::string_view rest = lines; !rest.empty();) {
        DWORD wrote = 0;
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(rest.size(), 1U << 30U));
        if (!::WriteFile(handle, rest.data(), chunk, &wrote, nullptr)) {
            const DWORD failure = ::GetLastError();
            const bool readerGone = failure == ERROR_NO_DATA || failure == ERROR_BROKEN_PIPE ||
                                    failure == ERROR_PIPE_NOT_CONNECTED;
            return readerGone ? std::string() : systemMessage(failure);
        }
        rest.remove_prefix(wrote);
    }
    return {};
}

std::optional<FileIdentity> identityOf(const fs::path& path) {
    return pathIdentity(path, false);
}

std::optional<FileIdentity> identityOf(std::FILE* stream) {
    return diskIdentity(reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream))));
}

std::optional<FileIdentity> identityOf(NativeFile file) {
    return diskIdentity(reinterpret_cast<HANDLE>(file));
}

std::optional<FileIdentity> folderIdentityOf(const fs::path& folder) {
    return pathIdentity(folder, true);
}

std::wstring claimName(const FileIdentity& folder) {
    return L"Local\\ConnectivityWatch.Folder." + std::to_wstring(folder.device) + L"." +
           std::to_wstring(folder.file);
}

// The claim is a named mapping holding its watcher's process id.
std::optional<long> folderWatcher(const fs::path& folder) {
    const auto identity = folderIdentityOf(folder);
    const HANDLE mapping =
        identity ? ::OpenFileMappingW(FILE_MAP_READ, FALSE, claimName(*identity).c_str()) : nullptr;
    if (mapping == nullptr) {
        return std::nullopt;
    }
    auto* held = static_cast<volatile DWORD*>(::MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
    const DWORD process = held != nullptr ? *held : 0;
    if (held != nullptr) {
        ::UnmapViewOfFile(const_cast<DWORD*>(held));
    }
    ::CloseHandle(mapping);
    return static_cast<long>(process);
}

std::chrono::seconds offsetAt(std::chrono::sys_seconds moment) {
    const __time64_t time = moment.time_since_epoch().count();
    tm local{};
    if (::_localtime64_s(&local, &time) != 0) {
        return std::chrono::seconds{0};
    }
    return std::chrono::seconds{::_mkgmtime64(&local) - time};
}

std::string machineName() {
    std::array<wchar_t, 256> name{};
    auto size = static_cast<DWORD>(name.size());
    return ::GetComputerNameExW(ComputerNameDnsHostname, name.data(), &size)
               ? utf8From(std::wstring_view(name.data(), size))
               : std::string();
}

} // namespace core::system
