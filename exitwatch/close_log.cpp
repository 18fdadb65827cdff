// SPDX-License-Identifier: MIT
#include "close_log.h"

#include <array>
#include <charconv>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace exitwatch {
namespace {

// The folder may be writable by someone with fewer rights than the watchdog, who may have
// planted the name there: the log is a regular file with no other name, opened without
// following a link and without waiting for a reader, and it is truncated only once that
// is known. Anything else is left as it is, and the run goes on without a log. The stream
// is in text mode, so that Windows stores each line feed as CR LF; other processes may
// read and write the file meanwhile (Linux files have no share modes at all).
#ifdef _WIN32
std::FILE* open_own_log(const char* name) {
    HANDLE file =
        CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    constexpr DWORD not_a_plain_file = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY;
    if (GetFileType(file) != FILE_TYPE_DISK || GetFileInformationByHandle(file, &info) == 0 ||
        (info.dwFileAttributes & not_a_plain_file) != 0 || info.nNumberOfLinks != 1 ||
        SetEndOfFile(file) == 0) {
        CloseHandle(file);
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
#else
std::FILE* open_own_log(const char* name) {
    const int descriptor =
        ::open(name, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (descriptor < 0) {
        return nullptr;
    }
    struct stat status {};
    std::FILE* const stream = fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode) &&
                                      status.st_nlink == 1 && ftruncate(descriptor, 0) == 0
                                  ? fdopen(descriptor, "w")
                                  : nullptr;
    if (stream == nullptr) {
        ::close(descriptor);
    }
    return stream;
}
#endif

}  // namespace

CloseLog::CloseLog() : file_(open_own_log(file_name)) {}

void CloseLog::write_line(std::string_view label, std::string_view value) {
    // A stream that failed once stays failed: the entries after it are skipped too.
    if (!file_ || std::ferror(file_.get()) != 0) {
        return;
    }
    // A line that a failed write cut short gets no line end, so that it never looks whole.
    std::FILE* const file = file_.get();
    if (std::fwrite(label.data(), 1, label.size(), file) == label.size() &&
        std::fwrite(value.data(), 1, value.size(), file) == value.size()) {
        std::fputc('\n', file);
    }
    std::fflush(file);
}

// std::to_chars: unsigned decimal with no locale and no formatted-output machinery.
void CloseLog::write_line(std::string_view label, std::uint32_t number) {
    std::array<char, 10> digits{};
    const char* const end = std::to_chars(digits.data(), digits.data() + digits.size(), number).ptr;
    write_line(label,
               std::string_view(digits.data(), static_cast<std::size_t>(end - digits.data())));
}

void CloseLog::write_argument(std::string_view text) {
    write_line("pidStr: ", text);
}

void CloseLog::write_process_id(std::uint32_t pid) {
    write_line("pid: ", pid);
}

void CloseLog::write_open_failure(std::uint32_t error_code) {
    write_line("Unable to find process: ", error_code);
}

void CloseLog::write_kill_notice() {
    write_line("Still alive, will kill!!!", "");
}

void CloseLog::write_end_marker() {
    write_line("process exit", "");
}

}  // namespace exitwatch
