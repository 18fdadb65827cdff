// SPDX-License-Identifier: MIT
#include "process.h"

#include <windows.h>

// mingw-w64's start-up code may expand wildcards in the arguments, depending on how its
// runtime was built; the run must see an argument such as * exactly as it was given.
extern "C" {
int _dowildcard = 0;  // NOLINT: the runtime looks this name up
}

namespace exitwatch::platform {
namespace {

HANDLE handle_of(std::intptr_t native) {
    return reinterpret_cast<HANDLE>(native);
}

}  // namespace

Process Process::open(std::uint32_t pid) {
    // Process IDs are multiples of 4, and OpenProcess ignores the two low bits: 297 would
    // open process 296. Such an ID names no process, and is refused as Windows refuses one.
    if ((pid & 3U) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return Process(none);
    }
    HANDLE handle = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid);
    return Process(handle == nullptr ? none : reinterpret_cast<std::intptr_t>(handle));
}

Process::~Process() {
    if (native_ != none) {
        CloseHandle(handle_of(native_));
    }
}

bool Process::wait_for_exit(std::chrono::milliseconds timeout) const {
    return WaitForSingleObject(handle_of(native_), static_cast<DWORD>(timeout.count())) ==
           WAIT_OBJECT_0;
}

void Process::terminate(std::uint32_t exit_code) const {
    TerminateProcess(handle_of(native_), exit_code);
}

std::uint32_t last_error() {
    return GetLastError();
}

}  // namespace exitwatch::platform
