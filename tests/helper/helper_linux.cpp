// SPDX-License-Identifier: MIT
// Linux modes:
//   watch-self PROGRAM ARGS...         becomes PROGRAM ARGS... followed by its own
//                                      process ID
//   no-pidfd PROGRAM ARGS...           runs PROGRAM where pidfd_open and
//                                      pidfd_send_signal fail with ENOSYS
//   file-size-limit BYTES PROGRAM ...  runs PROGRAM unable to write files past BYTES
//   in-pid-namespace PROGRAM ARGS...   runs PROGRAM in a PID namespace of its own beside
//                                      a sibling; 0 when PROGRAM exited with 0 and the
//                                      sibling survived it
#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "helper.h"
#include "tests/support/deny_pidfd.h"

namespace exitwatch::testing {
namespace {

int exec(const std::vector<std::string>& argv) {
    std::vector<char*> arguments;
    for (const std::string& argument : argv) {
        arguments.push_back(const_cast<char*>(argument.c_str()));
    }
    arguments.push_back(nullptr);
    execv(arguments[0], arguments.data());
    return 127;
}

int exit_code_of(pid_t child) {
    int status = 0;
    if (waitpid(child, &status, 0) != child) {
        return 126;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// In sanitizer builds LeakSanitizer cannot stop the world once a PID namespace is
// involved, and its end-of-run check would turn every exit status into a failure: these
// processes end with _exit() and the program runs without the check.
int run_in_pid_namespace(const std::vector<std::string>& argv) {
    setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
    if (unshare(CLONE_NEWPID) != 0) {
        return 126;
    }
    const pid_t init = fork();
    if (init != 0) {
        _exit(init < 0 ? 126 : exit_code_of(init));
    }
    // Process 1 of the namespace, leading a process group of its own so that a signal to
    // "my process group" cannot reach the tests outside.
    setsid();
    const pid_t sibling = fork();
    if (sibling == 0) {
        for (;;) {
            pause();
        }
    }
    const pid_t program = fork();
    if (program == 0) {
        _exit(exec(argv));
    }
    const int program_exit = exit_code_of(program);
    int sibling_status = 0;
    const bool sibling_alive = waitpid(sibling, &sibling_status, WNOHANG) == 0;
    kill(sibling, SIGKILL);
    _exit(sibling_alive && program_exit == 0 ? 0 : 1);
}

}  // namespace

int run_system_mode(const std::vector<std::string>& arguments) {
    if (arguments.size() >= 2 && arguments[0] == "watch-self") {
        std::vector<std::string> argv(arguments.begin() + 1, arguments.end());
        argv.push_back(std::to_string(getpid()));
        return exec(argv);
    }
    if (arguments.size() >= 2 && arguments[0] == "no-pidfd") {
        return deny_pidfd_calls() ? exec({arguments.begin() + 1, arguments.end()}) : 126;
    }
    if (arguments.size() >= 3 && arguments[0] == "file-size-limit") {
        const auto bytes = static_cast<rlim_t>(std::stoul(arguments[1]));
        const rlimit limit{bytes, bytes};
        // Without this the first write past the limit would end the program instead of
        // failing; the tests want the failed write.
        std::signal(SIGXFSZ, SIG_IGN);
        return setrlimit(RLIMIT_FSIZE, &limit) == 0 ? exec({arguments.begin() + 2, arguments.end()})
                                                    : 126;
    }
    if (arguments.size() >= 2 && arguments[0] == "in-pid-namespace") {
        return run_in_pid_namespace({arguments.begin() + 1, arguments.end()});
    }
    return 2;
}

}  // namespace exitwatch::testing
