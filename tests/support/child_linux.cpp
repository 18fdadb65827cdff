// SPDX-License-Identifier: MIT
#include "child.h"
#include "exitwatch/platform/pidfd.h"
#include "watchdog_fixture.h"

#include <cerrno>
#include <csignal>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
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

namespace {

/// The watchdog where each of `calls` fails with `error`, as under a seccomp filter. This
/// machine's own helper installs the filter, so that it answers an emulator's calls too.
Launcher denying(const std::string& name, const std::string& error, const std::string& calls) {
    return {name, {EXITWATCH_NATIVE_HELPER, "deny", error, calls}};
}

/// The helper's arguments for a process whose second thread becomes the helper anew one
/// second in, while the watchdog waits, which then lives `lifetime`.
std::vector<std::string> exec_in_the_wait(milliseconds lifetime) {
    std::vector<std::string> arguments = {"exec-in-thread", "1000"};
    for (const std::string& part : program_command(EXITWATCH_TEST_HELPER)) {
        arguments.push_back(part);
    }
    const std::vector<std::string> sleep = helper_mode("sleep", lifetime);
    arguments.insert(arguments.end(), sleep.begin(), sleep.end());
    return arguments;
}

}  // namespace

std::vector<Launcher> watchdog_launchers() {
    return {{"pidfd", {}}, denying("proc", "ENOSYS", "pidfd_open,pidfd_send_signal")};
}

// The pidfd calls answer EPERM under the default profiles of Docker before 20.10 and of
// containerd before 1.4, and in services with SystemCallErrorNumber=EPERM.
std::vector<Launcher> sandbox_launchers() {
    return {denying("container", "EPERM", "pidfd_open,pidfd_send_signal"),
            denying("open_eperm", "EPERM", "pidfd_open"),
            denying("kill_eperm", "EPERM", "pidfd_send_signal"),
            denying("kill_enosys", "ENOSYS", "pidfd_send_signal"),
            denying("no_timerfd", "EPERM", "timerfd_create")};
}

std::vector<VictimShape> victim_shapes() {
    std::vector<VictimShape> shapes = shapes_of_every_system();
    shapes.push_back({"execs", exec_in_the_wait});
    return shapes;
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
        // A process group of its own, whose parent in the same session keeps it from being
        // orphaned: when the tests' own group is orphaned (a runner started with nohup from
        // a shell that has exited), a child that a test stops is not sent SIGHUP with it.
        // Whatever it starts stays in that group, and is ended with it.
        setpgid(0, 0);
        const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (out < 0 || in < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0 ||
            chdir(working_dir.c_str()) != 0) {
            _exit(126);
        }
        execv(arguments[0], arguments.data());
        _exit(127);
    }
    std::string command;
    for (const std::string& argument : argv) {
        command += (command.empty() ? "" : " ") + argument;
    }
    return Child(pid, static_cast<std::uint32_t>(pid), command);
}

void Child::end() const {
    kill(-static_cast<pid_t>(pid_), SIGKILL);
    kill(static_cast<pid_t>(pid_), SIGKILL);  // in case it had not made its group yet
}

// A pidfd reports the end at once; where there is none, the child is looked at every 10 ms.
bool Child::ends_by(Clock::time_point until) const {
    const int end = platform::pidfd_open(static_cast<pid_t>(pid_));
    for (;;) {
        const bool ended = !running();
        const auto left = std::chrono::ceil<milliseconds>(until - Clock::now()).count();
        if (ended || left <= 0) {
            if (end >= 0) {
                close(end);
            }
            EXPECT_TRUE(ended) << "still running when the test stopped waiting: " << command_;
            return ended;
        }
        pollfd ending{end, POLLIN, 0};
        poll(&ending, 1, static_cast<int>(end >= 0 ? left : std::min<decltype(left)>(left, 10)));
    }
}

int Child::wait(Clock::time_point until) {
    if (!ends_by(until)) {
        end();
    }
    int status = 0;
    rusage usage{};
    while (wait4(static_cast<pid_t>(pid_), &status, 0, &usage) < 0 && errno == EINTR) {
    }
    released_ = true;
    const auto spent = [](const timeval& time) {
        return std::chrono::seconds(time.tv_sec) + std::chrono::microseconds(time.tv_usec);
    };
    processor_time_ =
        std::chrono::duration_cast<milliseconds>(spent(usage.ru_utime) + spent(usage.ru_stime));
    sleeps_ = usage.ru_nvcsw;
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

void Child::wait_for_end_and_hold() {
    (void)ends_by(Clock::now() + longest_wait);
}

bool Child::running() const {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
}

}  // namespace exitwatch::testing
