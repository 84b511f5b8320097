// The watcher's loop on Windows: a hidden window of its own with the icon in the notification
// area (its picture and tooltip the state, its menu the report, the folder, the start at sign-in
// and a way to stop), the balloon that tells of a change, and the named event --stop sets.
#include <windows.h>

#include <shellapi.h>
#include <shlobj.h>

#include "../session.h"
#include "utf8_windows.h"
#include "watch_os.h"
#include "windows_names.h"

namespace watch::os {
namespace {

constexpr UINT iconMessage = WM_APP + 1;
constexpr UINT iconId = 1;
enum Command : UINT { outageReport = 1, logFolder, startAtSignIn, stopMonitoring, about };
enum Picture : WORD { online = 101, offline = 102, unwritable = 103 }; // the resource ids

template <std::size_t N> void copyInto(wchar_t (&field)[N], const std::string& utf8) {
    const std::wstring text = core::wideFrom(utf8);
    const std::size_t length = std::min(text.size(), N - 1);
    text.copy(field, length);
    field[length] = L'\0';
}

class TrayLoop final : public Loop, public Desktop {
  public:
    TrayLoop(const fs::path& folder, std::string_view version)
        : folder_(folder), version_(version),
          stop_(
              ::CreateEventW(nullptr, TRUE, FALSE, stopEventName(::GetCurrentProcessId()).c_str())),
          // Never closed: a diagnosis thread may still set it as the program ends.
          wake_(::CreateEventW(nullptr, FALSE, FALSE, nullptr)),
          taskbarCreated_(::RegisterWindowMessageW(L"TaskbarCreated")) {
        const HINSTANCE instance = ::GetModuleHandleW(nullptr);
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = windowProcedure;
        windowClass.hInstance = instance;
        windowClass.lpszClassName = L"ConnectivityWatch";
        ::RegisterClassW(&windowClass);
        // Hidden, and top-level: only such a window hears that Explorer started again.
        window_ = ::CreateWindowExW(0, windowClass.lpszClassName, L"Connectivity watch",
                                    WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr, instance, nullptr);
        if (window_ != nullptr) {
            ::SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        }
        icon_.cbSize = sizeof icon_;
        icon_.hWnd = window_;
        icon_.uID = iconId;
        icon_.uCallbackMessage = iconMessage;
        icon_.uVersion = NOTIFYICON_VERSION_4;
    }

    ~TrayLoop() override {
        if (shown_) {
            ::Shell_NotifyIconW(NIM_DELETE, &icon_);
        }
        if (window_ != nullptr) {
            ::DestroyWindow(window_);
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
        session_ = &session;
        const HANDLE events[] = {stop_, wake_};
        while (stopReason_.empty()) {
            const DWORD woken = ::MsgWaitForMultipleObjects(
                2, events, FALSE, static_cast<DWORD>(servicePeriod.count()), QS_ALLINPUT);
            if (woken == WAIT_OBJECT_0) {
                return "asked to stop";
            }
            MSG message{};
            while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                ::TranslateMessage(&message);
                ::DispatchMessageW(&message);
            }
            if (stopReason_.empty()) {
                session.service();
            }
        }
        return stopReason_;
    }

    std::string show(const Change& change, const std::string& title,
                     const std::string& text) override {
        if (!shown_) {
            return "not shown: no notification area";
        }
        NOTIFYICONDATAW balloon = icon_;
        balloon.uFlags = NIF_INFO;
        copyInto(balloon.szInfoTitle, title);
        copyInto(balloon.szInfo, text);
        balloon.dwInfoFlags = (change.kind == Change::Kind::down ? NIIF_WARNING : NIIF_INFO) |
                              NIIF_RESPECT_QUIET_TIME;
        return ::Shell_NotifyIconW(NIM_MODIFY, &balloon)
                   ? "shown"
                   : "not shown: the notification area refused it";
    }

    void stateChanged(const State& state) override {
        const Picture picture = state.kind == State::Kind::online    ? online
                                : state.kind == State::Kind::offline ? offline
                                                                     : unwritable;
        const int size = ::GetSystemMetrics(SM_CXSMICON);
        icon_.hIcon =
            static_cast<HICON>(::LoadImageW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(picture),
                                            IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
        copyInto(icon_.szTip, stateText(state, readClocks().stamp()));
        icon_.uFlags = NIF_ICON | NIF_TIP | NIF_MESSAGE | NIF_SHOWTIP;
        place(shown_ ? NIM_MODIFY : NIM_ADD);
    }

  private:
    void place(DWORD how) {
        if (window_ == nullptr) {
            return; // no desktop to show an icon on
        }
        shown_ = ::Shell_NotifyIconW(how, &icon_) != FALSE || (how == NIM_MODIFY && shown_);
        if (how == NIM_ADD && shown_) {
            ::Shell_NotifyIconW(NIM_SETVERSION, &icon_);
        }
    }

    void menu(POINT at) {
        const HMENU popup = ::CreatePopupMenu();
        ::AppendMenuW(popup, MF_STRING | MF_GRAYED, about,
                      core::wideFrom("Connectivity monitor " + version_).c_str());
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
        ::SetForegroundWindow(window_); // so the menu closes when the person clicks elsewhere
        ::TrackPopupMenu(popup, TPM_RIGHTBUTTON, at.x, at.y, 0, window_, nullptr);
        ::PostMessageW(window_, WM_NULL, 0, 0);
        ::DestroyMenu(popup);
    }

    void command(UINT which) {
        const std::wstring folder = L"\"" + folder_.native() + L"\"";
        switch (which) {
        case outageReport: // as the Start menu's entry: the page written and opened
            ::ShellExecuteW(window_, L"open", (programFolder() / L"outage-report.cmd").c_str(),
                            folder.c_str(), folder_.c_str(), SW_SHOWNORMAL);
            break;
        case logFolder:
            ::ShellExecuteW(window_, L"explore", folder_.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
            break;
        case startAtSignIn:
            toggleStartAtSignIn();
            break;
        case stopMonitoring:
            stopReason_ = "stopped from the notification area";
            break;
        default:
            break;
        }
    }

    LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == taskbarCreated_) { // Explorer started again: its notification area is new
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
        case WM_COMMAND:
            command(LOWORD(wParam));
            return 0;
        case WM_QUERYENDSESSION:
            return TRUE;
        case WM_ENDSESSION:
            // The process ends once this returns: the stop is recorded now.
            if (wParam != FALSE && session_ != nullptr) {
                stopReason_ = "signing out or shutting down";
                session_->end(stopReason_);
            }
            return 0;
        default:
            return ::DefWindowProcW(window_, message, wParam, lParam);
        }
    }

    static LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam) {
        auto* loop = reinterpret_cast<TrayLoop*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
        return loop != nullptr ? loop->handle(message, wParam, lParam)
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
    UINT taskbarCreated_;
    HWND window_ = nullptr;
    NOTIFYICONDATAW icon_{};
    bool shown_ = false;
    Session* session_ = nullptr;
    std::string stopReason_;
};

} // namespace

std::unique_ptr<Loop> Loop::make(const fs::path& folder, std::string_view version) {
    return std::make_unique<TrayLoop>(folder, version);
}

} // namespace watch::os
