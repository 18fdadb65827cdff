// SPDX-License-Identifier: MIT
#include "exitwatch.h"

#include <chrono>
#include <cstdint>
#include <string_view>

#include "close_log.h"
#include "platform/process.h"
#include "process_id.h"

namespace exitwatch {
namespace {

constexpr std::chrono::milliseconds grace_period{10000};
constexpr std::uint32_t kill_exit_code = 1;

/// Gives the process its grace period and ends it when it outlives it. The process is
/// released when this returns, before the run writes its last line.
void watch(std::uint32_t pid, CloseLog& log) {
    const platform::Process process = platform::Process::open(pid);
    if (!process) {
        // The error code is only worth fetching when it can be written.
        if (log.is_open()) {
            log.write_open_failure(platform::last_error());
        }
        return;
    }
    if (!process.wait_for_exit(grace_period)) {
        log.write_kill_notice();
        process.terminate(kill_exit_code);
    }
}

}  // namespace

int run(int argc, char* argv[]) {
    CloseLog log;
    if (argc < 2) {
        return 0;
    }
    // The runtime keeps the arguments for the whole run: no copy is needed.
    const std::string_view pid_text = argv[1];
    log.write_argument(pid_text);
    const std::uint32_t pid = parse_process_id(pid_text);
    log.write_process_id(pid);
    watch(pid, log);
    log.write_end_marker();
    return 0;
}

}  // namespace exitwatch

int main(int argc, char* argv[]) {
    return exitwatch::run(argc, argv);
}
