// What only the report asks of Windows: standard output's file, outputs replaced with
// ReplaceFileW, and the shell for the browser.
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <windows.h>

#include <shellapi.h>
#include <shlobj.h>

#include "report_os.h"
#include "utf8_windows.h"

namespace report::os {
namespace {

using core::systemMessage;
using core::utf8From;
using core::system::identityOf;
using core::system::lastFailure;

HANDLE handleOf(NativeFile file) {
    return reinterpret_cast<HANDLE>(file);
}

NativeFile fileOf(HANDLE handle) {
    return reinterpret_cast<NativeFile>(handle);
}

} // namespace

std::FILE* standardInput() {
    // Text mode would turn CR LF into LF and stop at the first Ctrl+Z byte.
    ::_setmode(::_fileno(stdin), _O_BINARY);
    return stdin;
}

bool isStandardOutput(const fs::path& path) {
    const auto output = identityOf(reinterpret_cast<NativeFile>(::GetStdHandle(STD_OUTPUT_HANDLE)));
    return output && output == identityOf(path);
}

bool sameFile(const fs::path& first, const fs::path& second) {
    const DWORD firstAttributes = ::GetFileAttributesW(first.c_str());
    const DWORD secondAttributes = ::GetFileAttributesW(second.c_str());
    if (firstAttributes != INVALID_FILE_ATTRIBUTES || secondAttributes != INVALID_FILE_ATTRIBUTES) {
        const auto identity = identityOf(first);
        return identity && identity == identityOf(second);
    }
    // Neither exists: made for a moment at the first name, gone again when closed.
    const HANDLE made = ::CreateFileW(
        first.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (made == INVALID_HANDLE_VALUE) {
        std::error_code error;
        return fs::weakly_canonical(fs::absolute(first, error), error) ==
               fs::weakly_canonical(fs::absolute(second, error), error);
    }
    const auto identity = identityOf(second);
    const bool same = identity && identity == identityOf(fileOf(made));
    ::CloseHandle(made);
    return same;
}

bool isRefusal(Failure failure) {
    return failure == ERROR_ACCESS_DENIED;
}

NativeFile openExisting(const fs::path& path) {
    return fileOf(::CreateFileW(path.c_str(), GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool isRegular(NativeFile file) {
    return ::GetFileType(handleOf(file)) == FILE_TYPE_DISK;
}

unsigned long linksOf(NativeFile file) {
    BY_HANDLE_FILE_INFORMATION facts{};
    return ::GetFileInformationByHandle(handleOf(file), &facts) ? facts.nNumberOfLinks : 1;
}

fs::path finalPath(NativeFile file, const fs::path& given) {
    std::wstring path(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        const DWORD length = ::GetFinalPathNameByHandleW(handleOf(file), path.data(),
                                                         static_cast<DWORD>(path.size()), 0);
        if (length == 0) {
            return given;
        }
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(length + 1);
    }
    return given;
}

NativeFile createTemporary(const fs::path& folder, fs::path& temporary) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary = folder / (L".connectivity-report-" + std::to_wstring(::_getpid()) + L"-" +
                              std::to_wstring(attempt) + L".tmp");
        const HANDLE handle = ::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr,
                                            CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE || ::GetLastError() != ERROR_FILE_EXISTS) {
            return fileOf(handle);
        }
    }
    return noFile;
}

// ReplaceFileW gives the replacement the old file's permissions and attributes itself; a new
// file has the folder's inherited permissions, as any new file there would.
Failure makeLike(NativeFile /*temporary*/, NativeFile /*target*/) {
    return 0;
}
Failure makeNew(NativeFile /*temporary*/) {
    return 0;
}

Failure writeAll(NativeFile file, std::string_view text) {
    while (!text.empty()) {
        DWORD wrote = 0;
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(text.size(), 1U << 30U));
        if (!::WriteFile(handleOf(file), text.data(), chunk, &wrote, nullptr)) {
            return lastFailure();
        }
        text.remove_prefix(wrote);
    }
    return 0;
}

Failure flush(NativeFile file) {
    return ::FlushFileBuffers(handleOf(file)) ? 0 : lastFailure();
}

Failure truncate(NativeFile file) {
    return ::SetFilePointer(handleOf(file), 0, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
                   ::SetEndOfFile(handleOf(file))
               ? 0
               : lastFailure();
}

Failure closeFile(NativeFile file) {
    return ::CloseHandle(handleOf(file)) ? 0 : lastFailure();
}

Failure replace(const fs::path& temporary, const fs::path& destination, bool destinationExists) {
    if (destinationExists) {
        // A file another program holds open without delete sharing cannot be replaced: asked
        // first, as some ReplaceFileW builds leave a backup of their own behind when it fails.
        const HANDLE deletable = ::CreateFileW(
            destination.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (deletable == INVALID_HANDLE_VALUE) {
            return lastFailure();
        }
        ::CloseHandle(deletable);
        return ::ReplaceFileW(destination.c_str(), temporary.c_str(), nullptr,
                              REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)
                   ? 0
                   : lastFailure();
    }
    return ::MoveFileExW(temporary.c_str(), destination.c_str(), MOVEFILE_WRITE_THROUGH)
               ? 0
               : lastFailure();
}

void removeFile(const fs::path& path) {
    ::DeleteFileW(path.c_str());
}

std::optional<UsualFolder> usualLogFolder() {
    wchar_t* documents = nullptr;
    const bool found =
        SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_Documents, 0, nullptr, &documents));
    std::optional<UsualFolder> usual;
    if (found) {
        usual = UsualFolder{fs::path(documents) / L"Connectivity Monitor", "The installer's"};
    }
    ::CoTaskMemFree(documents);
    return usual;
}

std::string openInBrowser(const fs::path& page) {
    std::error_code error;
    const fs::path absolute = fs::absolute(page, error);
    const fs::path& target = error ? page : absolute;
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
    const std::string advice = "; open " + utf8From(target.native()) + " yourself";
    if (failure == 0 || failure == ERROR_NO_ASSOCIATION || failure == ERROR_BAD_EXE_FORMAT) {
        return "Windows has no program set to open .html files, or the one set cannot start" +
               (failure == 0 ? std::string()
                             : " (" + systemMessage(failure, target.native()) + ")") +
               advice;
    }
    return systemMessage(failure, target.native()) + advice;
}

} // namespace report::os
