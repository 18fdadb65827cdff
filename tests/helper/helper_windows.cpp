// SPDX-License-Identifier: MIT
// Windows modes:
//   hold-log MS   opens log_close.txt in its folder without sharing it, says "held" on its
//                 standard output, and keeps it for MS milliseconds
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "helper.h"

namespace exitwatch::testing {

int run_system_mode(const std::vector<std::string>& arguments) {
    if (arguments.size() == 2 && arguments[0] == "hold-log") {
        HANDLE log = CreateFileA("log_close.txt", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (log == INVALID_HANDLE_VALUE) {
            return 126;
        }
        std::puts("held");
        std::fflush(stdout);
        Sleep(static_cast<DWORD>(std::stoul(arguments[1])));
        CloseHandle(log);
        return 0;
    }
    return 2;
}

}  // namespace exitwatch::testing
