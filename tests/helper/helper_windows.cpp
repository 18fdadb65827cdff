// SPDX-License-Identifier: MIT
// Windows modes:
//   hold-log MS           opens log_close.txt in its folder without sharing it, says "held"
//                         on its standard output, and keeps it for MS milliseconds
//   threads MS            sleeps MS milliseconds in each of four threads, then exits with 0
//   main-thread-ends MS   ends its main thread at once; a second thread sleeps MS
//                         milliseconds, and the process exits with 0 when it ends
#include <windows.h>

#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "helper.h"

namespace exitwatch::testing {
namespace {

DWORD WINAPI sleep_for(void* milliseconds) {
    Sleep(*static_cast<const DWORD*>(milliseconds));
    return 0;
}

int sleep_in_threads(DWORD milliseconds) {
    std::array<HANDLE, 4> sleepers{};
    for (HANDLE& sleeper : sleepers) {
        sleeper = CreateThread(nullptr, 0, sleep_for, &milliseconds, 0, nullptr);
        if (sleeper == nullptr) {
            return 126;
        }
    }
    WaitForMultipleObjects(static_cast<DWORD>(sleepers.size()), sleepers.data(), TRUE, INFINITE);
    for (HANDLE sleeper : sleepers) {
        CloseHandle(sleeper);
    }
    return 0;
}

// The process ends with the exit code of its last thread.
int end_main_thread_first(DWORD milliseconds) {
    static DWORD lifetime = milliseconds;  // the main thread's stack goes with it
    HANDLE sleeper = CreateThread(nullptr, 0, sleep_for, &lifetime, 0, nullptr);
    if (sleeper == nullptr) {
        return 126;
    }
    CloseHandle(sleeper);
    ExitThread(0);
}

}  // namespace

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
    if (arguments.size() == 2 && arguments[0] == "threads") {
        return sleep_in_threads(static_cast<DWORD>(std::stoul(arguments[1])));
    }
    if (arguments.size() == 2 && arguments[0] == "main-thread-ends") {
        return end_main_thread_first(static_cast<DWORD>(std::stoul(arguments[1])));
    }
    return 2;
}

}  // namespace exitwatch::testing
