// Windows services the monitor calls: the real headers on Windows, our POSIX stand-ins elsewhere.
#pragma once

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <time.h>
#include <wininet.h>

#else

#include <cstdint>

using BOOL = int;
using DWORD = std::uint32_t;
using LPCWSTR = const wchar_t*;

#define FALSE 0
#define TRUE 1
#define FLAG_ICC_FORCE_CONNECTION 0x00000001

// glibc on 64-bit targets already spells its 64-bit time type this way.
#ifndef __time64_t
using __time64_t = std::int64_t; // NOLINT(bugprone-reserved-identifier): the Windows name
#endif

extern "C" {
// TRUE when a TCP connection to the URL's host and port completes within a bounded time.
BOOL InternetCheckConnectionW(LPCWSTR lpszUrl, DWORD dwFlags, DWORD dwReserved);
// Blocks for the given milliseconds, resuming after signals.
void Sleep(DWORD dwMilliseconds);
// The C library's time() and ctime(), under the Windows names.
__time64_t _time64(__time64_t* destTime);     // NOLINT(bugprone-reserved-identifier)
char* _ctime64(const __time64_t* sourceTime); // NOLINT(bugprone-reserved-identifier)
}

#endif
