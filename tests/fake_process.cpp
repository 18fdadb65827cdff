// SPDX-License-Identifier: MIT
#include "fake_process.h"

#include "exitwatch/platform/process.h"
#include "support/scratch_dir.h"

namespace exitwatch {
namespace testing {

FakeSystem& fake_system() {
    static FakeSystem system;
    return system;
}

namespace {

std::string current_log() {
    return ScratchDir::read_file("log_close.txt");
}

}  // namespace
}  // namespace testing

namespace platform {

using testing::fake_system;

Process Process::open(std::uint32_t pid) {
    fake_system().calls.push_back("open " + std::to_string(pid));
    return Process(fake_system().open_succeeds ? 1 : none);
}

Process::~Process() {
    if (native_ != none) {
        fake_system().calls.emplace_back("close");
        fake_system().log_at_close = testing::current_log();
    }
}

bool Process::wait_for_exit(std::chrono::milliseconds timeout) const {
    fake_system().calls.push_back("wait " + std::to_string(timeout.count()));
    return fake_system().ends_in_time;
}

void Process::terminate(std::uint32_t exit_code) const {
    fake_system().calls.push_back("terminate " + std::to_string(exit_code));
    fake_system().log_at_terminate = testing::current_log();
}

std::uint32_t last_error() {
    fake_system().calls.emplace_back("last_error");
    fake_system().log_at_last_error = testing::current_log();
    return fake_system().open_error;
}

}  // namespace platform
}  // namespace exitwatch
