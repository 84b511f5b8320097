// UTF-8 and the UTF-16 of Windows' wide-character interfaces, each way, and Windows' own words
// for a failure.
#pragma once
#ifdef _WIN32

#include <string>
#include <string_view>

#include <windows.h>

namespace core {

inline std::string utf8From(std::wstring_view wide) {
    if (wide.empty()) {
        return {};
    }
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), size,
                          nullptr, nullptr);
    return text;
}

inline std::wstring wideFrom(std::string_view utf8) {
    if (utf8.empty()) {
        return {};
    }
    const int size =
        ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(),
                          size);
    return wide;
}

// The system's sentence for a GetLastError code, in UTF-8, without its closing full stop; a
// placeholder for a name (%1) is filled with the name given, never left as it is.
inline std::string systemMessage(DWORD failure, std::wstring_view name = L"the file") {
    wchar_t* text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, failure, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message = length > 0 ? std::wstring(text, length) : std::wstring();
    ::LocalFree(text);
    for (std::size_t at = message.find(L"%1"); at != std::wstring::npos;
         at = message.find(L"%1", at + name.size())) {
        message.replace(at, 2, name);
    }
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' ||
                                message.back() == L'.' || message.back() == L' ')) {
        message.pop_back();
    }
    return message.empty() ? "system error " + std::to_string(failure) : utf8From(message);
}

} // namespace core

#endif
