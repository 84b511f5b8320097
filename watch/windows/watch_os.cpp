// The watcher's system calls on Windows: QueryInterruptTime against QueryUnbiasedInterruptTime,
// the folder claimed by a named mapping, the monitor in a job object without a window, a named
// event for --stop, and the person's command as its own command line.
#include <windows.h>

#include <realtimeapiset.h>
#include <time.h>

#include <stdexcept>
#include <thread>
#include <vector>

#include "monitor.h"
#include "system.h" // wide paths and Windows' own words for a failure
#include "utf8_windows.h"
#include "watch_os.h"
#include "windows_names.h"

namespace watch::os {
namespace {

using namespace std::chrono;
using core::systemMessage;

milliseconds fromHundredNanoseconds(ULONGLONG ticks) {
    return milliseconds{static_cast<long long>(ticks / 10'000)};
}

// Runs on through sleep: QueryInterruptTime (Windows 10), else GetTickCount64, which does too.
milliseconds sinceBoot() {
    using Query = VOID(WINAPI*)(PULONGLONG);
    static const auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"kernelbase.dll"), "QueryInterruptTime")));
    if (query == nullptr) {
        return milliseconds{static_cast<long long>(::GetTickCount64())};
    }
    ULONGLONG ticks = 0;
    query(&ticks);
    return fromHundredNanoseconds(ticks);
}

HANDLE nothing(DWORD access) {
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    return ::CreateFileW(L"NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                         OPEN_EXISTING, 0, nullptr);
}

// A job that ends every process in it when its last handle closes: when the watcher ends, however.
HANDLE killingJob() {
    const HANDLE job = ::CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    ::SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    return job;
}

// A process without a window, its input at the end at once and its output discarded (the
// person's command keeps its own output nowhere either), in a job of its own.
struct Process {
    HANDLE process = nullptr;
    HANDLE job = nullptr;
    DWORD id = 0;
};

std::optional<Process> launch(const std::wstring& application, std::wstring commandLine,
                              const wchar_t* environment, const fs::path& folder,
                              std::string& why) {
    const HANDLE input = nothing(GENERIC_READ);
    const HANDLE output = nothing(GENERIC_WRITE);
    // These two handles alone are inherited, whatever else the watcher holds inheritable.
    HANDLE inherited[] = {input, output};
    SIZE_T size = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<unsigned char> attributes(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
    const bool limited = ::InitializeProcThreadAttributeList(list, 1, 0, &size) &&
                         ::UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                                     inherited, sizeof inherited, nullptr, nullptr);
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = input;
    startup.StartupInfo.hStdOutput = output;
    startup.StartupInfo.hStdError = output;
    startup.lpAttributeList = limited ? list : nullptr;
    PROCESS_INFORMATION started{};
    const BOOL made = ::CreateProcessW(
        application.empty() ? nullptr : application.c_str(), commandLine.data(), nullptr, nullptr,
        TRUE,
        CREATE_NO_WINDOW | CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT |
            (limited ? EXTENDED_STARTUPINFO_PRESENT : 0),
        const_cast<wchar_t*>(environment), folder.c_str(), &startup.StartupInfo, &started);
    const DWORD failure = ::GetLastError();
    if (limited) {
        ::DeleteProcThreadAttributeList(list);
    }
    ::CloseHandle(input);
    ::CloseHandle(output);
    if (!made) {
        why = systemMessage(failure, application);
        return std::nullopt;
    }
    Process process{started.hProcess, killingJob(), started.dwProcessId};
    ::AssignProcessToJobObject(process.job, process.process);
    ::ResumeThread(started.hThread);
    ::CloseHandle(started.hThread);
    return process;
}

std::optional<std::string> exitOf(Process& process) {
    if (process.process == nullptr || ::WaitForSingleObject(process.process, 0) != WAIT_OBJECT_0) {
        return std::nullopt;
    }
    DWORD code = 0;
    ::GetExitCodeProcess(process.process, &code);
    ::CloseHandle(process.process);
    ::CloseHandle(process.job);
    process = {};
    return "exited with status " + std::to_string(code);
}

void end(Process& process) {
    if (process.process != nullptr) {
        ::TerminateJobObject(process.job, 1);
        ::WaitForSingleObject(process.process, 2000);
        ::CloseHandle(process.process);
        ::CloseHandle(process.job);
        process = {};
    }
}

class ProcessChild final : public Child {
  public:
    ~ProcessChild() override { stop(); }
    std::optional<long> start(const fs::path& program, const fs::path& folder,
                              std::string& why) override {
        const std::wstring application = program.native() + L".exe";
        const auto started = launch(application, L"\"" + application + L"\"", nullptr, folder, why);
        if (!started) {
            return std::nullopt;
        }
        process_ = *started;
        return static_cast<long>(process_.id);
    }
    std::optional<std::string> ended() override { return exitOf(process_); }
    void stop() override { end(process_); }

  private:
    Process process_;
};

class LineCommand final : public Command {
  public:
    explicit LineCommand(Process process) : process_(process), started_(steady_clock::now()) {}
    ~LineCommand() override { end(process_); }
    LineCommand(const LineCommand&) = delete;
    LineCommand& operator=(const LineCommand&) = delete;

    std::optional<std::string> ended(milliseconds timeLimit) override {
        if (auto how = exitOf(process_)) {
            return how;
        }
        if (steady_clock::now() - started_ < timeLimit) {
            return std::nullopt;
        }
        end(process_); // its job: whatever it started goes too
        return "still running after " + std::to_string(duration_cast<seconds>(timeLimit).count()) +
               " s: ended";
    }

  private:
    Process process_;
    steady_clock::time_point started_;
};

} // namespace

Readings readClocks() {
    FILETIME now{};
    ::GetSystemTimePreciseAsFileTime(&now);
    const ULONGLONG ticks = (ULONGLONG{now.dwHighDateTime} << 32U) | now.dwLowDateTime;
    constexpr ULONGLONG unixEpoch = 116'444'736'000'000'000ULL; // 1970 in 100 ns since 1601
    const sys_time<milliseconds> wall{fromHundredNanoseconds(ticks - unixEpoch)};
    ULONGLONG unbiased = 0;
    ::QueryUnbiasedInterruptTime(&unbiased);
    return {wall, core::system::offsetAt(floor<seconds>(wall)), fromHundredNanoseconds(unbiased),
            sinceBoot()};
}

fs::path programFolder() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length < path.size()) {
            path.resize(length);
            return fs::path(path).parent_path();
        }
        path.resize(path.size() * 2);
    }
}

seconds monitorCheckBound() {
    return core::monitor::windowsCheckBound;
}

long processId() {
    return static_cast<long>(::GetCurrentProcessId());
}

std::string_view osName() {
    return "windows";
}

std::unique_ptr<Record> Record::open(const fs::path& path, std::string& why, bool& forGood) {
    // Appending only, every write at the end; reading its last byte, and sharing all but its
    // deletion with other programs.
    const HANDLE file = ::CreateFileW(path.c_str(), FILE_APPEND_DATA | FILE_READ_DATA | SYNCHRONIZE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE || ::GetFileType(file) != FILE_TYPE_DISK) {
        const DWORD error = ::GetLastError();
        forGood = file != INVALID_HANDLE_VALUE || error == ERROR_ACCESS_DENIED ||
                  error == ERROR_WRITE_PROTECT || error == ERROR_PATH_NOT_FOUND ||
                  error == ERROR_DIRECTORY;
        why =
            file == INVALID_HANDLE_VALUE ? systemMessage(error, path.native()) : "it is not a file";
        if (file != INVALID_HANDLE_VALUE) {
            ::CloseHandle(file);
        }
        return nullptr;
    }
    // A last line a crash or a full disk cut short: the next line must not run on after it.
    LARGE_INTEGER size{};
    char last = '\n';
    DWORD got = 0;
    OVERLAPPED at{};
    if (::GetFileSizeEx(file, &size) && size.QuadPart > 0) {
        at.Offset = static_cast<DWORD>((size.QuadPart - 1) & 0xffffffff);
        at.OffsetHigh = static_cast<DWORD>((size.QuadPart - 1) >> 32);
        ::ReadFile(file, &last, 1, &got, &at);
    }
    return std::unique_ptr<Record>(new Record(reinterpret_cast<core::system::NativeFile>(file),
                                              path, got == 1 && last != '\n'));
}

Record::~Record() {
    ::CloseHandle(reinterpret_cast<HANDLE>(file_));
}

const std::string_view Record::lineEnd = "\r\n";

long Record::writeAtEnd(std::string_view text) {
    DWORD wrote = 0;
    return ::WriteFile(reinterpret_cast<HANDLE>(file_), text.data(),
                       static_cast<DWORD>(text.size()), &wrote, nullptr) ||
                   wrote > 0
               ? static_cast<long>(wrote)
               : -1;
}

namespace {

// A named mapping of the folder's identity holds the claim and the claimant's process id: the
// system removes it with the last handle, when the watcher ends however it ends.
class FolderClaim final : public Claim {
  public:
    explicit FolderClaim(HANDLE mapping) : mapping_(mapping) {}
    ~FolderClaim() override { ::CloseHandle(mapping_); }
    FolderClaim(const FolderClaim&) = delete;
    FolderClaim& operator=(const FolderClaim&) = delete;

  private:
    HANDLE mapping_;
};

// The process id a claim holds; 0 where it cannot be read (or is not written yet).
DWORD claimant(HANDLE mapping) {
    auto* held = static_cast<volatile DWORD*>(::MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
    const DWORD process = held != nullptr ? *held : 0;
    if (held != nullptr) {
        ::UnmapViewOfFile(const_cast<DWORD*>(held));
    }
    return process;
}

} // namespace

std::unique_ptr<Claim> Claim::make(const fs::path& folder, std::optional<long>& holder,
                                   std::string& why) {
    holder.reset();
    const auto identity = core::system::folderIdentityOf(folder);
    if (!identity) {
        why = systemMessage(::GetLastError(), folder.native());
        return nullptr;
    }
    const HANDLE mapping = ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                                sizeof(DWORD), claimName(*identity).c_str());
    if (mapping == nullptr) {
        why = systemMessage(::GetLastError());
        return nullptr;
    }
    if (::GetLastError() == ERROR_ALREADY_EXISTS) {
        holder = static_cast<long>(claimant(mapping));
        ::CloseHandle(mapping);
        return nullptr;
    }
    auto* mine = static_cast<DWORD*>(::MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0));
    if (mine != nullptr) {
        *mine = ::GetCurrentProcessId();
        ::UnmapViewOfFile(mine);
    }
    return std::make_unique<FolderClaim>(mapping);
}

StopOutcome stopWatcher(const fs::path& folder, seconds wait) {
    const auto identity = core::system::folderIdentityOf(folder);
    const HANDLE mapping =
        identity ? ::OpenFileMappingW(FILE_MAP_READ, FALSE, claimName(*identity).c_str()) : nullptr;
    if (mapping == nullptr) {
        return {false, ""};
    }
    DWORD watcher = claimant(mapping);
    for (int tries = 0; watcher == 0 && tries < 20; ++tries) { // a watcher just starting
        std::this_thread::sleep_for(50ms);
        watcher = claimant(mapping);
    }
    ::CloseHandle(mapping);
    const HANDLE process = watcher != 0 ? ::OpenProcess(SYNCHRONIZE, FALSE, watcher) : nullptr;
    const HANDLE stop =
        watcher != 0 ? ::OpenEventW(EVENT_MODIFY_STATE, FALSE, stopEventName(watcher).c_str())
                     : nullptr;
    StopOutcome outcome{true, ""};
    if (process == nullptr || stop == nullptr || !::SetEvent(stop)) {
        outcome.problem = "cannot ask the watcher to stop: " + systemMessage(::GetLastError());
    } else if (::WaitForSingleObject(process, static_cast<DWORD>(milliseconds(wait).count())) !=
               WAIT_OBJECT_0) {
        outcome.problem = "the watcher (process " + std::to_string(watcher) +
                          ") is still running after " + std::to_string(wait.count()) + " s";
    }
    for (const HANDLE handle : {process, stop}) {
        if (handle != nullptr) {
            ::CloseHandle(handle);
        }
    }
    return outcome;
}

std::unique_ptr<Child> Child::make() {
    return std::make_unique<ProcessChild>();
}

std::string logProblem(const fs::path& folder, const fs::path& log) {
    const DWORD attributes = ::GetFileAttributesW(log.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return "the log is a folder";
    }
    // Asked as the monitor opens it: appending, sharing everything.
    const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    const fs::path target = exists ? log : folder / L".connectivity-watch-probe";
    const HANDLE probe = ::CreateFileW(
        target.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, exists ? OPEN_EXISTING : CREATE_ALWAYS,
        exists ? FILE_ATTRIBUTE_NORMAL
               : FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE,
        nullptr);
    if (probe == INVALID_HANDLE_VALUE) {
        const std::string why = systemMessage(::GetLastError(), target.native());
        return exists ? why : "the folder takes no new file: " + why;
    }
    ::CloseHandle(probe);
    ULARGE_INTEGER available{};
    if (::GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr) &&
        available.QuadPart == 0) {
        return "the disk is full";
    }
    return {};
}

// CreateThread itself: winpthreads hands a detached thread's record to the next thread created
// while the ending one may still write its result into it.
void runDetached(std::function<void()> work) {
    auto* held = new std::function<void()>(std::move(work));
    const HANDLE thread = ::CreateThread(
        nullptr, 0,
        [](void* argument) -> DWORD {
            const std::unique_ptr<std::function<void()>> run(
                static_cast<std::function<void()>*>(argument));
            (*run)();
            return 0;
        },
        held, 0, nullptr);
    if (thread == nullptr) {
        delete held;
        throw std::runtime_error("cannot start a thread: " + systemMessage(::GetLastError()));
    }
    ::CloseHandle(thread);
}

void tell(const std::string& text, bool problem) {
    // A program without a console of its own: its caller's, if it was started from one.
    HANDLE handle = ::GetStdHandle(problem ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    if ((handle == nullptr || handle == INVALID_HANDLE_VALUE) &&
        ::AttachConsole(ATTACH_PARENT_PROCESS)) {
        handle = ::CreateFileW(L"CONOUT$", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               0, nullptr);
    }
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD mode = 0;
    DWORD wrote = 0;
    if (::GetConsoleMode(handle, &mode)) {
        const std::wstring wide = core::wideFrom(text + "\n");
        ::WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &wrote, nullptr);
    } else {
        const std::string line = text + "\r\n";
        ::WriteFile(handle, line.data(), static_cast<DWORD>(line.size()), &wrote, nullptr);
    }
}

std::unique_ptr<Command> Command::start(const std::string& commandLine,
                                        const std::map<std::string, std::string>& environment,
                                        std::string& why) {
    // Windows' environment block, sorted by name, with the event's variables in their places.
    std::map<std::wstring, std::wstring, decltype([](const std::wstring& a, const std::wstring& b) {
                 return ::_wcsicmp(a.c_str(), b.c_str()) < 0;
             })>
        variables;
    wchar_t* block = ::GetEnvironmentStringsW();
    for (const wchar_t* entry = block; *entry != L'\0'; entry += std::wcslen(entry) + 1) {
        const std::wstring_view text = entry;
        const std::size_t equals = text.find(L'=', 1); // "=C:=C:\..." entries start with =
        variables[std::wstring(text.substr(0, equals))] =
            equals == std::wstring_view::npos ? L"" : std::wstring(text.substr(equals + 1));
    }
    ::FreeEnvironmentStringsW(block);
    for (const auto& [name, value] : environment) {
        variables[core::wideFrom(name)] = core::wideFrom(value);
    }
    std::wstring merged;
    for (const auto& [name, value] : variables) {
        merged.append(name).append(L"=").append(value).push_back(L'\0');
    }
    merged.push_back(L'\0');
    const auto started =
        launch(L"", core::wideFrom(commandLine), merged.c_str(), fs::current_path(), why);
    return started ? std::make_unique<LineCommand>(*started) : nullptr;
}

} // namespace watch::os
