// SPDX-License-Identifier: MIT
#include "close_log.h"

#include <array>
#include <charconv>

#include "platform/log_file.h"

namespace exitwatch {

CloseLog::CloseLog() : file_(platform::open_own_log(file_name)) {}

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
