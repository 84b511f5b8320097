// Opens a file as another Windows program would, to show how the monitor shares its log and how
// the report meets a file held open; and acts on the watcher's icon as a person's mouse would.
// usage: share_check open-rw FILE                     exit 0 if FILE opens for reading and writing
//        share_check hold-deny-write FILE HELD RELEASE  holds FILE denying writes, creates HELD,
//                                                       and lets go once RELEASE exists
//        share_check hold-no-delete FILE HELD RELEASE   the same, sharing reading and writing but
//                                                       not deletion, as a spreadsheet holds a CSV
//        share_check icon ACTION...                     menu or select, on the watcher's icon;
//                                                       taskbar: as Explorer says it started
#include <string>

#include <windows.h>

namespace {

bool exists(const wchar_t* path) {
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

int openForReadingAndWriting(const wchar_t* file) {
    HANDLE handle =
        CreateFileW(file, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return static_cast<int>(GetLastError() == ERROR_SHARING_VIOLATION ? 1 : 2);
    }
    CloseHandle(handle);
    return 0;
}

int hold(const wchar_t* file, DWORD sharing, const wchar_t* held, const wchar_t* release) {
    HANDLE handle = CreateFileW(file, GENERIC_READ, sharing, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return 2;
    }
    CloseHandle(CreateFileW(held, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                            nullptr));
    for (int waited = 0; !exists(release) && waited < 60'000; waited += 50) {
        Sleep(50);
    }
    CloseHandle(handle);
    return 0;
}

// What the notification area sends the icon's window, as NOTIFYICON_VERSION_4 has it.
int actOnIcon(int count, wchar_t** actions) {
    const HWND window = FindWindowW(L"ConnectivityWatch", nullptr);
    if (window == nullptr) {
        return 2;
    }
    constexpr UINT iconMessage = WM_APP + 1;
    for (int i = 0; i < count; ++i) {
        const std::wstring action = actions[i];
        if (action == L"taskbar") {
            PostMessageW(HWND_BROADCAST, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
            continue;
        }
        const UINT event = action == L"menu" ? WM_CONTEXTMENU : NIN_SELECT;
        PostMessageW(window, iconMessage, MAKEWPARAM(20, 20), MAKELPARAM(event, 1));
        Sleep(100); // a double-click's two selections
    }
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    if (mode == L"open-rw" && argc == 3) {
        return openForReadingAndWriting(argv[2]);
    }
    if (mode == L"hold-deny-write" && argc == 5) {
        return hold(argv[2], FILE_SHARE_READ, argv[3], argv[4]);
    }
    if (mode == L"hold-no-delete" && argc == 5) {
        return hold(argv[2], FILE_SHARE_READ | FILE_SHARE_WRITE, argv[3], argv[4]);
    }
    if (mode == L"icon" && argc > 2) {
        return actOnIcon(argc - 2, argv + 2);
    }
    return 3;
}
