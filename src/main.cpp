// Console monitor of Internet reachability: probes a fixed address each cycle and logs failures.
#include <cctype>
#include <csignal>
#include <fstream>
#include <iostream>
#ifdef _MSC_VER
#include <share.h>
#endif

#include "windows_services.h"

int main() {
#ifdef SIGPIPE
    // A reader that closes our standard output must not end the monitoring with it.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    const LPCWSTR url = L"https://www.google.com";
    std::ofstream logFile;
    char answer = '\0';

    for (;;) {
        const __time64_t now = _time64(nullptr);
        const char* const timeText = _ctime64(&now);
        const bool isConnected = InternetCheckConnectionW(url, FLAG_ICC_FORCE_CONNECTION, 0) != 0;

#ifdef _MSC_VER
        logFile.open("connectivityLog.txt", std::ios::out | std::ios::app, _SH_DENYNO);
#else
        // MinGW's and POSIX libraries have no share argument; neither denies other openers.
        logFile.open("connectivityLog.txt", std::ios::out | std::ios::app);
#endif
        std::cout << "Do you want to quit? y/Y ";
        std::cin >> answer;
        // As unsigned char: toupper is undefined for negative values other than EOF.
        if (std::toupper(static_cast<unsigned char>(answer)) == 'Y') {
            break;
        }
        if (!isConnected) {
            logFile << "internet connection test failed on "
                    << (timeText != nullptr ? timeText : "(time unavailable)\n");
        }
        logFile.close();
        Sleep(30000);
    }
    return 0;
}
