// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string_view>

namespace exitwatch {

/// The watchdog's only report: "log_close.txt" in the current working directory.
///
/// The constructor creates the file, or empties it where it is a regular file with no
/// other name, and makes it anew where it has a second name elsewhere (that file stays as
/// it is); a link, a FIFO, a device or a folder in its place is left as it is and never
/// opened, and the log stays closed (platform::open_own_log). The destructor closes it.
/// Each entry is one line, flushed before the write returns, so a reader sees it at once
/// and the kill notice is in the file before the kill. The file is shared: other
/// processes may read and write it while it is open. When it cannot be opened every entry
/// is skipped silently; once a write has failed, so are the entries after it, and the
/// entry it cut short ends without a line end.
class CloseLog {
  public:
    static constexpr const char* file_name = "log_close.txt";

    CloseLog();

    [[nodiscard]] bool is_open() const { return file_ != nullptr; }

    /// "pidStr: " and the first argument, byte for byte.
    void write_argument(std::string_view text);
    /// "pid: " and the process ID parsed from it.
    void write_process_id(std::uint32_t pid);
    /// "Unable to find process: " and the system error code of the failed open.
    void write_open_failure(std::uint32_t error_code);
    /// "Still alive, will kill!!!"
    void write_kill_notice();
    /// "process exit": the watchdog's work is over.
    void write_end_marker();

  private:
    struct Closer {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };

    void write_line(std::string_view label, std::string_view value);
    void write_line(std::string_view label, std::uint32_t number);

    std::unique_ptr<std::FILE, Closer> file_;
};

}  // namespace exitwatch
