#include "close_log.h"

namespace exitwatch {

// Text mode, so that Windows stores each line feed as CR LF. On Windows the stream opens
// through the C runtime's fopen, which is _fsopen with _SH_DENYNO: other processes may
// read and write the file meanwhile. Linux files have no share modes at all.
CloseLog::CloseLog()
    : file_(file_name, std::ios::out | std::ios::trunc), is_open_(file_.is_open()) {}

template <typename Value>
void CloseLog::write_line(std::string_view label, const Value& value) {
    if (!is_open_) {
        return;
    }
    file_ << label << value << '\n';
    file_.flush();
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
