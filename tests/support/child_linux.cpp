// SPDX-License-Identifier: MIT
#include "child.h"
#include "watchdog_fixture.h"

#include <cerrno>
#include <csignal>
#include <stdexcept>
#include <utility>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace exitwatch::testing {

const int killed_status = 128 + SIGKILL;
const std::uint32_t no_such_process_error = ESRCH;
const std::uint32_t invalid_process_id_error = EINVAL;

// The emulator comes first, as ctest puts it before the test programs: the kernel is then
// never asked to start another architecture's program, and binfmt_misc is not needed.
std::vector<std::string> program_command(const std::string& program) {
    std::vector<std::string> command = {EXITWATCH_EMULATOR};
    command.push_back(program);
    return command;
}

std::vector<Launcher> watchdog_launchers() {
    const std::vector<std::string> emulator = {EXITWATCH_EMULATOR};
    const std::string no_seccomp =
        emulator.empty() ? ""
                         : "qemu-user refuses seccomp filters: the /proc fallback needs a "
                           "native run";
    std::vector<std::string> no_pidfd = program_command(EXITWATCH_TEST_HELPER);
    no_pidfd.emplace_back("no-pidfd");
    no_pidfd.insert(no_pidfd.end(), emulator.begin(), emulator.end());
    return {{"pidfd", {}}, {"proc", no_pidfd, EXITWATCH_TEST_HELPER, no_seccomp}};
}

Child Child::start(const std::vector<std::string>& argv, const std::filesystem::path& working_dir,
                   const std::filesystem::path& output) {
    std::vector<char*> arguments;
    for (const std::string& argument : argv) {
        arguments.push_back(const_cast<char*>(argument.c_str()));
    }
    arguments.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (out < 0 || in < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0 ||
            chdir(working_dir.c_str()) != 0) {
            _exit(126);
        }
        execv(arguments[0], arguments.data());
        _exit(127);
    }
    return Child(pid, static_cast<std::uint32_t>(pid));
}

Child::Child(Child&& other) noexcept
    : native_(other.native_), pid_(other.pid_), released_(std::exchange(other.released_, true)) {}

Child::~Child() {
    if (!released_) {
        kill(static_cast<pid_t>(pid_), SIGKILL);
        wait();
    }
}

int Child::wait() {
    int status = 0;
    while (waitpid(static_cast<pid_t>(pid_), &status, 0) < 0 && errno == EINTR) {
    }
    released_ = true;
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

void Child::wait_for_end_and_hold() {
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
    }
}

bool Child::running() const {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
}

}  // namespace exitwatch::testing
