// The watcher's loop on Windows: the watching on the main thread, waiting on the named event that
// --stop sets; the icon in the notification area on a thread of its own with its hidden window
// (its picture and tooltip the state, its menu the report, the folder, the start at sign-in and a
// way to stop, a balloon for each change), so that an open menu or a slow shell holds up nothing.
#include <windows.h>

#include <shellapi.h>
#include <shlobj.h>

#include <atomic>
#include <memory>
#include <mutex>

#include "../session.h"
#include "status.h"
#include "utf8_windows.h"
#include "watch_os.h"
#include "windows_names.h"

namespace watch::os {
namespace {

constexpr UINT iconMessage = WM_APP + 1;
constexpr UINT balloonMessage = WM_APP + 2; // lParam: a Balloon the icon's thread takes over
constexpr UINT stateMessage = WM_APP + 3;   // lParam: an IconState likewise
constexpr UINT quitMessage = WM_APP + 4;
constexpr UINT iconId = 1;
enum Command : UINT { outageReport = 1, logFolder, startAtSignIn, stopMonitoring, about };
enum Picture : WORD { online = 101, offline = 102, unwritable = 103 }; // the resource ids
// The most the icon's thread waits, at signing out, for the watching to record its stop.
constexpr DWORD stopRecordedWithin = 8000;

template <std::size_t N> void copyInto(wchar_t (&field)[N], const std::string& utf8) {
    const std::wstring text = core::wideFrom(utf8);
    const std::size_t length = std::min(text.size(), N - 1);
    text.copy(field, length);
    field[length] = L'\0';
}

struct Balloon {
    bool down;
    std::string title;
    std::string text;
    Desktop::Told told;
};

struct IconState {
    Picture picture;
    std::string tooltip;
};

class TrayLoop final : public Loop, public Desktop {
  public:
    TrayLoop(const fs::path& folder, std::string_view version)
        : folder_(folder), version_(version),
          stop_(
              ::CreateEventW(nullptr, TRUE, FALSE, stopEventName(::GetCurrentProcessId()).c_str())),
          // Never closed: a diagnosis thread may still set it as the program ends.
          wake_(::CreateEventW(nullptr, FALSE, FALSE, nullptr)),
          ready_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          ended_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        thread_ = ::CreateThread(
            nullptr, 0,
            [](void* self) -> DWORD {
                static_cast<TrayLoop*>(self)->iconThread();
                return 0;
            },
            this, 0, nullptr);
        // The window is made on its thread; a desktop that never comes is no desktop.
        if (thread_ != nullptr) {
            ::WaitForSingleObject(ready_, 5000);
        }
    }

    ~TrayLoop() override {
        ::SetEvent(ended_); // the stop is recorded: signing out may go on
        const HWND window = window_.load();
        if (window != nullptr && ::PostMessageW(window, quitMessage, 0, 0)) {
            ::WaitForSingleObject(thread_, 2000);
        }
        if (thread_ != nullptr) {
            ::CloseHandle(thread_);
        }
        ::CloseHandle(stop_);
    }
    TrayLoop(const TrayLoop&) = delete;
    TrayLoop& operator=(const TrayLoop&) = delete;

    Desktop& desktop() override { return *this; }

    std::function<void()> waker() override {
        return [wake = wake_] { ::SetEvent(wake); };
    }

    std::string run(Session& session) override {
        const HANDLE events[] = {stop_, wake_};
        for (;;) {
            const DWORD woken = ::WaitForMultipleObjects(2, events, FALSE,
                                                         static_cast<DWORD>(servicePeriod.count()));
            if (woken == WAIT_OBJECT_0) {
                const std::scoped_lock lock(mutex_);
                return stopReason_.empty() ? "asked to stop" : stopReason_;
            }
            session.service();
        }
    }

    void show(const Change& change, const std::string& title, const std::string& text,
              Told told) override {
        auto balloon = std::make_unique<Balloon>(
            Balloon{change.kind == Change::Kind::down, title, text, std::move(told)});
        if (!post(balloonMessage, balloon.get())) {
            balloon->told("not shown: no notification area");
            return;
        }
        static_cast<void>(balloon.release()); // the icon's thread owns it now
    }

    void stateChanged(const State& state, const std::string& tooltip) override {
        const Picture picture = state.kind == State::Kind::online    ? online
                                : state.kind == State::Kind::offline ? offline
                                                                     : unwritable;
        auto changed = std::make_unique<IconState>(IconState{picture, tooltip});
        if (post(stateMessage, changed.get())) {
            static_cast<void>(changed.release());
        }
    }

  private:
    bool post(UINT message, void* payload) {
        const HWND window = window_.load();
        return window != nullptr &&
               ::PostMessageW(window, message, 0, reinterpret_cast<LPARAM>(payload)) != FALSE;
    }

    void iconThread() {
        const HINSTANCE instance = ::GetModuleHandleW(nullptr);
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = windowProcedure;
        windowClass.hInstance = instance;
        windowClass.lpszClassName = L"ConnectivityWatch";
        ::RegisterClassW(&windowClass);
        taskbarCreated_ = ::RegisterWindowMessageW(L"TaskbarCreated");
        // Hidden, and top-level: only such a window hears that Explorer started again.
        const HWND window =
            ::CreateWindowExW(0, windowClass.lpszClassName, L"Connectivity watch", WS_OVERLAPPED, 0,
                              0, 0, 0, nullptr, nullptr, instance, nullptr);
        if (window != nullptr) {
            ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
            icon_.cbSize = sizeof icon_;
            icon_.hWnd = window;
            icon_.uID = iconId;
            icon_.uCallbackMessage = iconMessage;
            icon_.uVersion = NOTIFYICON_VERSION_4;
        }
        window_ = window;
        ::SetEvent(ready_);
        MSG message{};
        while (window != nullptr && ::GetMessageW(&message, nullptr, 0, 0) > 0) {
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
    }

    void place(DWORD how) {
        shown_ = ::Shell_NotifyIconW(how, &icon_) != FALSE || (how == NIM_MODIFY && shown_);
        if (how == NIM_ADD && shown_) {
            ::Shell_NotifyIconW(NIM_SETVERSION, &icon_);
        }
    }

    void showBalloon(const Balloon& balloon) {
        if (!shown_) {
            balloon.told("not shown: no notification area");
            return;
        }
        NOTIFYICONDATAW data = icon_;
        data.uFlags = NIF_INFO;
        copyInto(data.szInfoTitle, balloon.title);
        copyInto(data.szInfo, balloon.text);
        data.dwInfoFlags = (balloon.down ? NIIF_WARNING : NIIF_INFO) | NIIF_RESPECT_QUIET_TIME;
        balloon.told(::Shell_NotifyIconW(NIM_MODIFY, &data)
                         ? "shown"
                         : "not shown: the notification area refused it");
    }

    void showState(const IconState& state) {
        const int size = ::GetSystemMetrics(SM_CXSMICON);
        icon_.hIcon = static_cast<HICON>(::LoadImageW(::GetModuleHandleW(nullptr),
                                                      MAKEINTRESOURCEW(state.picture), IMAGE_ICON,
                                                      size, size, LR_DEFAULTCOLOR));
        copyInto(icon_.szTip, state.tooltip);
        icon_.uFlags = NIF_ICON | NIF_TIP | NIF_MESSAGE | NIF_SHOWTIP;
        place(shown_ ? NIM_MODIFY : NIM_ADD);
    }

    void menu(POINT at) {
        const HMENU popup = ::CreatePopupMenu();
        ::AppendMenuW(popup, MF_STRING | MF_GRAYED, about,
                      core::wideFrom("Connectivity monitor " + version_).c_str());
        // What --status says, read from the record as the menu opens: the files left out, as
        // the log folder is an item of its own.
        const auto status = statusOf(
            folder_, std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now()));
        for (const std::string& line : statusLines(status)) {
            if (!line.starts_with("Record: ") && !line.starts_with("Log: ")) {
                ::AppendMenuW(popup, MF_STRING | MF_GRAYED, about, core::wideFrom(line).c_str());
            }
        }
        ::AppendMenuW(popup, MF_SEPARATOR, 0, nullptr);
        ::AppendMenuW(popup, MF_STRING, outageReport, L"Outage report");
        ::AppendMenuW(popup, MF_STRING, logFolder, L"Log folder");
        if (const auto links = signInLinks()) { // an install's, not a copy from the .zip
            const bool on = ::GetFileAttributesW(links->second.c_str()) != INVALID_FILE_ATTRIBUTES;
            ::AppendMenuW(popup, MF_STRING | (on ? MF_CHECKED : MF_UNCHECKED), startAtSignIn,
                          L"Start monitoring when I sign in");
        }
        ::AppendMenuW(popup, MF_SEPARATOR, 0, nullptr);
        ::AppendMenuW(popup, MF_STRING, stopMonitoring, L"Stop monitoring");
        ::SetMenuDefaultItem(popup, outageReport, FALSE);
        ::SetForegroundWindow(icon_.hWnd); // so the menu closes when the person clicks elsewhere
        ::TrackPopupMenu(popup, TPM_RIGHTBUTTON, at.x, at.y, 0, icon_.hWnd, nullptr);
        ::PostMessageW(icon_.hWnd, WM_NULL, 0, 0);
        ::DestroyMenu(popup);
    }

    // The page written and opened, as the Start menu's entry does it: once per click, however
    // many selections a double-click makes, and not again while one is still being made.
    void openReport() {
        const ULONGLONG now = ::GetTickCount64();
        const bool making = report_ != nullptr && ::WaitForSingleObject(report_, 0) == WAIT_TIMEOUT;
        if (making || (lastReport_ != 0 && now - lastReport_ < 2ULL * ::GetDoubleClickTime())) {
            return;
        }
        lastReport_ = now;
        if (report_ != nullptr) {
            ::CloseHandle(report_);
            report_ = nullptr;
        }
        const std::wstring script = (programFolder() / L"outage-report.cmd").native();
        const std::wstring folder = L"\"" + folder_.native() + L"\"";
        SHELLEXECUTEINFOW run{};
        run.cbSize = sizeof run;
        run.fMask = SEE_MASK_NOCLOSEPROCESS;
        run.hwnd = icon_.hWnd;
        run.lpVerb = L"open";
        run.lpFile = script.c_str();
        run.lpParameters = folder.c_str();
        run.lpDirectory = folder_.c_str();
        run.nShow = SW_SHOWNORMAL;
        if (::ShellExecuteExW(&run)) {
            report_ = run.hProcess;
        }
    }

    void command(UINT which) {
        switch (which) {
        case outageReport:
            openReport();
            break;
        case logFolder:
            ::ShellExecuteW(icon_.hWnd, L"explore", folder_.c_str(), nullptr, nullptr,
                            SW_SHOWNORMAL);
            break;
        case startAtSignIn:
            toggleStartAtSignIn();
            break;
        case stopMonitoring:
            askToStop("stopped from the notification area");
            break;
        default:
            break;
        }
    }

    void askToStop(const std::string& reason) {
        {
            const std::scoped_lock lock(mutex_);
            stopReason_ = reason;
        }
        ::SetEvent(stop_);
    }

    LRESULT handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        // Explorer started again (its notification area is new), or the screen's scale changed:
        // the icon placed anew, whether or not the old one is still there.
        if (message == taskbarCreated_) {
            ::Shell_NotifyIconW(NIM_DELETE, &icon_);
            place(NIM_ADD);
            return 0;
        }
        switch (message) {
        case iconMessage:
            if (LOWORD(lParam) == WM_CONTEXTMENU) {
                menu({static_cast<short>(LOWORD(wParam)), static_cast<short>(HIWORD(wParam))});
            } else if (LOWORD(lParam) == NIN_SELECT || LOWORD(lParam) == NIN_KEYSELECT) {
                command(outageReport);
            }
            return 0;
        case balloonMessage: {
            const std::unique_ptr<Balloon> balloon(reinterpret_cast<Balloon*>(lParam));
            showBalloon(*balloon);
            return 0;
        }
        case stateMessage: {
            const std::unique_ptr<IconState> state(reinterpret_cast<IconState*>(lParam));
            showState(*state);
            return 0;
        }
        case quitMessage:
            ::EndMenu(); // a menu still open closes, and its loop returns
            if (shown_) {
                ::Shell_NotifyIconW(NIM_DELETE, &icon_);
                shown_ = false;
            }
            ::DestroyWindow(window);
            return 0;
        case WM_DESTROY:
            ::PostQuitMessage(0);
            return 0;
        case WM_COMMAND:
            command(LOWORD(wParam));
            return 0;
        case WM_QUERYENDSESSION:
            return TRUE;
        case WM_ENDSESSION:
            // The process ends once this returns: the watching records its stop first.
            if (wParam != FALSE) {
                askToStop("signing out or shutting down");
                ::WaitForSingleObject(ended_, stopRecordedWithin);
            }
            return 0;
        default:
            return ::DefWindowProcW(window, message, wParam, lParam);
        }
    }

    static LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam) {
        auto* loop = reinterpret_cast<TrayLoop*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
        return loop != nullptr ? loop->handle(window, message, wParam, lParam)
                               : ::DefWindowProcW(window, message, wParam, lParam);
    }

    // The installer's Start menu shortcut that starts monitoring, and its copy in the Startup
    // folder that starts it at sign-in; nothing where there is no such shortcut to copy.
    static std::optional<std::pair<fs::path, fs::path>> signInLinks() {
        wchar_t programs[MAX_PATH] = {};
        wchar_t startup[MAX_PATH] = {};
        if (::SHGetFolderPathW(nullptr, CSIDL_PROGRAMS, nullptr, 0, programs) != S_OK ||
            ::SHGetFolderPathW(nullptr, CSIDL_STARTUP, nullptr, 0, startup) != S_OK) {
            return std::nullopt;
        }
        const std::wstring link = L"Connectivity monitor.lnk";
        const fs::path monitoring = fs::path(programs) / L"Connectivity Monitor" / link;
        if (::GetFileAttributesW(monitoring.c_str()) == INVALID_FILE_ATTRIBUTES) {
            return std::nullopt;
        }
        return std::pair{monitoring, fs::path(startup) / link};
    }

    // On: the Start menu's shortcut copied to the Startup folder, as the installer puts it there;
    // off: that copy removed. The choice is kept where the next install reads it.
    static void toggleStartAtSignIn() {
        const auto links = signInLinks();
        if (!links) {
            return;
        }
        const bool on = ::GetFileAttributesW(links->second.c_str()) != INVALID_FILE_ATTRIBUTES;
        const bool done =
            on ? ::DeleteFileW(links->second.c_str()) != FALSE
               : ::CopyFileW(links->first.c_str(), links->second.c_str(), FALSE) != FALSE;
        if (done) {
            const DWORD autostart = on ? 0 : 1;
            ::RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\ConnectivityMonitor", L"Autostart",
                              REG_DWORD, &autostart, sizeof autostart);
        }
    }

    fs::path folder_;
    std::string version_;
    HANDLE stop_;
    HANDLE wake_;
    HANDLE ready_;
    HANDLE ended_;
    HANDLE thread_ = nullptr;
    std::atomic<HWND> window_ = nullptr;
    std::mutex mutex_;
    std::string stopReason_; // set by the icon's thread, read by the watching's
    // The icon's thread's alone:
    UINT taskbarCreated_ = 0;
    NOTIFYICONDATAW icon_{};
    bool shown_ = false;
    HANDLE report_ = nullptr;
    ULONGLONG lastReport_ = 0;
};

} // namespace

std::unique_ptr<Loop> Loop::make(const fs::path& folder, std::string_view version) {
    return std::make_unique<TrayLoop>(folder, version);
}

} // namespace watch::os
