// SPDX-License-Identifier: MIT
#include "log_file.h"

#include <cstdint>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace exitwatch::platform {
namespace {

/// Opens the name itself, never what a reparse point names; INVALID_HANDLE_VALUE on failure.
HANDLE open_name(const char* name, DWORD disposition) {
    return CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

enum class Found : std::uint8_t { own_file, second_name, other };

/// What the name that `file` opened is: a file of its own, a file with a second name
/// elsewhere, or something else (a reparse point, a folder, no file on a disk).
Found what_is(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info{};
    constexpr DWORD not_a_plain_file = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY;
    if (GetFileType(file) != FILE_TYPE_DISK || GetFileInformationByHandle(file, &info) == 0 ||
        (info.dwFileAttributes & not_a_plain_file) != 0) {
        return Found::other;
    }
    return info.nNumberOfLinks == 1 ? Found::own_file : Found::second_name;
}

/// The log's handle, emptied; INVALID_HANDLE_VALUE where there is no log to take. No
/// device or FIFO has a name in a folder here, so the open itself is the look.
HANDLE open_emptied(const char* name) {
    HANDLE file = open_name(name, OPEN_ALWAYS);
    Found found = file == INVALID_HANDLE_VALUE ? Found::other : what_is(file);
    if (found == Found::second_name) {
        // This folder's name goes, the other file stays, and the log is made anew. The
        // handle goes first: it shares no deletion.
        CloseHandle(file);
        file = DeleteFileA(name) != 0 ? open_name(name, CREATE_NEW) : INVALID_HANDLE_VALUE;
        found = file == INVALID_HANDLE_VALUE ? Found::other : what_is(file);
    }
    if (found == Found::own_file && SetEndOfFile(file) != 0) {
        return file;
    }
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
    return INVALID_HANDLE_VALUE;
}

}  // namespace

std::FILE* open_own_log(const char* name) {
    HANDLE file = open_emptied(name);
    if (file == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_TEXT);
    if (descriptor < 0) {
        CloseHandle(file);
        return nullptr;
    }
    std::FILE* const stream = _fdopen(descriptor, "wt");
    if (stream == nullptr) {
        _close(descriptor);
    }
    return stream;
}

}  // namespace exitwatch::platform
