// SPDX-License-Identifier: MIT
// Linux modes:
//   watch-self PROGRAM ARGS...         becomes PROGRAM ARGS... followed by its own
//                                      process ID
//   deny ERROR CALLS PROGRAM ARGS...   runs PROGRAM where each of CALLS (comma-separated:
//                                      pidfd_open, pidfd_send_signal, timerfd_create,
//                                      clock_gettime with its 64-bit time twin) fails
//                                      with ERROR (EPERM or ENOSYS)
//   no-vdso PROGRAM ARGS...            runs PROGRAM without the vDSO's address in its
//                                      auxiliary vector, so that its C library reads
//                                      the clock with a system call; PROGRAM's status
//   file-size-limit BYTES PROGRAM ...  runs PROGRAM unable to write files past BYTES
//   timer-slack NS PROGRAM ARGS...     runs PROGRAM with a timer slack of NS nanoseconds,
//                                      as a starter can pass one on
//   in-pid-namespace PROGRAM ARGS...   runs PROGRAM in a PID namespace of its own beside
//                                      a sibling, process 2 there, under the /proc of
//                                      the namespace it came from; 0 when PROGRAM exited
//                                      with 0 and the sibling survived it
//   in-pid-namespace-with-proc ...     the same with a /proc of the new namespace
//   second-thread MS                   sleeps MS milliseconds in a second thread, whose
//                                      ID it writes on a line of its own first
//   threads MS                         sleeps MS milliseconds in each of four threads,
//                                      then exits with 0
//   main-thread-ends MS                ends its main thread at once; a second thread
//                                      sleeps MS milliseconds, and the process exits
//                                      with 0 when it ends
//   exec-in-thread MS PROGRAM ARGS...  a second thread becomes PROGRAM ARGS... after MS
//                                      milliseconds: the process keeps its ID
//   parent-of MS                       starts a child in its own process group that
//                                      sleeps MS milliseconds, writes the child's ID on a
//                                      line of its own, and exits with 0 once the child
//                                      was ended by SIGKILL
//   reuse-id PROGRAM ARGS...           runs PROGRAM ARGS... VICTIM in a PID namespace of
//                                      its own, where VICTIM is process 2; when PROGRAM
//                                      opens /proc/VICTIM for the second time, reaps the
//                                      victim and gives its ID to a new process first; 0
//                                      when PROGRAM exited with 0 and the new process
//                                      survived it
#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/auxv.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include "helper.h"
#include "tests/support/seccomp_filter.h"

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

pid_t start_sleeping_child() {
    const pid_t child = fork();
    if (child == 0) {
        for (;;) {
            pause();
        }
    }
    return child;
}

void sleep_for(const std::string& milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::stoll(milliseconds)));
}

int deny(const std::string& error, const std::string& names, const std::vector<std::string>& argv) {
    std::vector<std::uint32_t> calls;
    for (std::size_t at = 0; at <= names.size();) {
        const std::size_t end = std::min(names.find(',', at), names.size());
        const std::string name = names.substr(at, end - at);
        if (name == "pidfd_open") {
            calls.push_back(SYS_pidfd_open);
        } else if (name == "pidfd_send_signal") {
            calls.push_back(SYS_pidfd_send_signal);
        } else if (name == "timerfd_create") {
            calls.push_back(SYS_timerfd_create);
        } else if (name == "clock_gettime") {
            calls.push_back(SYS_clock_gettime);
#ifdef SYS_clock_gettime64
            calls.push_back(SYS_clock_gettime64);
#endif
        } else {
            return 2;
        }
        at = end + 1;
    }
    const int code = error == "EPERM" ? EPERM : error == "ENOSYS" ? ENOSYS : 0;
    return code != 0 && deny_system_calls(calls, code) ? exec(argv) : 126;
}

/// Starts `argv` traced, and clears AT_SYSINFO_EHDR in the auxiliary vector that
/// the kernel put on its stack, before its first instruction runs: the C library then finds
/// no vDSO and makes a system call for what it would have read there.
int run_without_vdso(const std::vector<std::string>& argv) {
    const pid_t program = fork();
    if (program == 0) {
        ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        _exit(exec(argv));
    }
    int status = 0;
    if (waitpid(program, &status, 0) != program || !WIFSTOPPED(status)) {
        return 126;
    }
    // The vector's entry is the pair (AT_SYSINFO_EHDR, where the vDSO is mapped), in the
    // program's word size, which is this helper's.
    const std::string proc = "/proc/" + std::to_string(program);
    std::ifstream maps(proc + "/maps");
    unsigned long long stack_start = 0;
    unsigned long long stack_end = 0;
    unsigned long long vdso = 0;
    for (std::string line; std::getline(maps, line);) {
        const auto ends_with = [&](std::string_view name) {
            return line.size() > name.size() &&
                   line.compare(line.size() - name.size(), name.size(), name) == 0;
        };
        if (ends_with("[stack]")) {
            std::sscanf(line.c_str(), "%llx-%llx", &stack_start, &stack_end);
        } else if (ends_with("[vdso]")) {
            std::sscanf(line.c_str(), "%llx", &vdso);
        }
    }
    std::string stack(static_cast<std::size_t>(stack_end - stack_start), '\0');
    const int memory = open((proc + "/mem").c_str(), O_RDONLY | O_CLOEXEC);
    const bool read = memory >= 0 && pread64(memory, stack.data(), stack.size(),
                                             static_cast<off64_t>(stack_start)) ==
                                         static_cast<ssize_t>(stack.size());
    close(memory);
    const std::array<unsigned long, 2> entry = {AT_SYSINFO_EHDR, static_cast<unsigned long>(vdso)};
    const std::size_t at = read && vdso != 0
                               ? stack.find(std::string_view(
                                     reinterpret_cast<const char*>(entry.data()), sizeof entry))
                               : std::string::npos;
    const auto value = static_cast<std::uintptr_t>(stack_start + at + sizeof(long));
    const bool cleared =
        at != std::string::npos &&
        ptrace(PTRACE_POKEDATA, program, reinterpret_cast<void*>(value), nullptr) == 0;
    if (!cleared) {
        std::fputs("no-vdso: found no vDSO address to clear\n", stderr);
        kill(program, SIGKILL);
    }
    ptrace(PTRACE_DETACH, program, nullptr, nullptr);
    const int program_exit = exit_code_of(program);
    return cleared ? program_exit : 126;
}

// In sanitizer builds LeakSanitizer cannot stop the world once a PID namespace is
// involved, and its end-of-run check would turn every exit status into a failure: these
// processes end with _exit() and the program runs without the check. Returns in process 1
// of the new namespace, leading a process group of its own so that a signal to "my
// process group" cannot reach the tests outside.
bool enter_pid_namespace(int extra_namespaces) {
    setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
    if (unshare(CLONE_NEWPID | extra_namespaces) != 0) {
        return false;
    }
    const pid_t init = fork();
    if (init != 0) {
        _exit(init < 0 ? 126 : exit_code_of(init));
    }
    setsid();
    // Out of the group that a test ends with its child: ended with its parent instead, and
    // with it everything in its namespace.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    return true;
}

/// In a mount namespace of its own, mounts a /proc of the PID namespace it is in.
bool mount_own_proc() {
    return mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount("proc", "/proc", "proc", 0, nullptr) == 0;
}

int run_in_pid_namespace(const std::vector<std::string>& argv, bool own_proc) {
    if (!enter_pid_namespace(own_proc ? CLONE_NEWNS : 0) || (own_proc && !mount_own_proc())) {
        return 126;
    }
    const pid_t sibling = start_sleeping_child();
    const pid_t program = fork();
    if (program == 0) {
        _exit(exec(argv));
    }
    const int program_exit = exit_code_of(program);
    // A SIGKILL takes effect when its target next runs, which on a busy machine may be a
    // while after the kill() that sent it: where /proc is the namespace's own, so that the
    // program can end the sibling, it is given that while.
    pollfd sibling_end{platform::pidfd_open(sibling), POLLIN, 0};
    if (own_proc && sibling_end.fd >= 0) {
        poll(&sibling_end, 1, 2000);
    }
    close(sibling_end.fd);
    int sibling_status = 0;
    const bool sibling_alive = waitpid(sibling, &sibling_status, WNOHANG) == 0;
    kill(sibling, SIGKILL);
    _exit(sibling_alive && program_exit == 0 ? 0 : 1);
}

// Under qemu-user the process has threads of the emulator's own beside the program's: the
// test is told which one is the program's.
int sleep_in_second_thread(const std::string& milliseconds) {
    std::thread sleeper([&] {
        std::printf("%ld\n", static_cast<long>(syscall(SYS_gettid)));
        std::fflush(stdout);
        sleep_for(milliseconds);
    });
    sleeper.join();
    return 0;
}

int sleep_in_threads(const std::string& milliseconds) {
    std::array<std::thread, 4> sleepers;
    for (std::thread& sleeper : sleepers) {
        sleeper = std::thread(sleep_for, milliseconds);
    }
    for (std::thread& sleeper : sleepers) {
        sleeper.join();
    }
    return 0;
}

// The C library ends the process with 0 when its last thread ends.
int end_main_thread_first(const std::string& milliseconds) {
    std::thread(sleep_for, milliseconds).detach();
    pthread_exit(nullptr);
}

int exec_in_second_thread(const std::string& milliseconds, const std::vector<std::string>& argv) {
    std::thread([&] {
        sleep_for(milliseconds);
        exec(argv);
        _exit(127);
    }).join();
    return 127;
}

int sleep_in_child(const std::string& milliseconds) {
    const pid_t child = fork();
    if (child == 0) {
        sleep_for(milliseconds);
        _exit(0);
    }
    std::printf("%ld\n", static_cast<long>(child));
    std::fflush(stdout);
    int status = 0;
    return waitpid(child, &status, 0) == child && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL
               ? 0
               : 1;
}

/// One byte with room for a descriptor beside it: how a descriptor goes to another process.
struct DescriptorMessage {
    DescriptorMessage() {
        header.msg_iov = &data;
        header.msg_iovlen = 1;
        header.msg_control = control.data();
        header.msg_controllen = control.size();
    }
    DescriptorMessage(const DescriptorMessage&) = delete;
    DescriptorMessage& operator=(const DescriptorMessage&) = delete;
    ~DescriptorMessage() = default;

    alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(int))> control{};
    char byte = 0;
    iovec data{&byte, 1};
    msghdr header{};
};

/// Starts `argv` under a filter that holds each of its opens until `listener` answers it.
pid_t start_with_opens_held(const std::vector<std::string>& argv, int& listener) {
    std::array<int, 2> channel{};
    if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, channel.data()) != 0) {
        return -1;
    }
    const pid_t program = fork();
    if (program == 0) {
        const int held = filter_system_calls({SYS_openat}, SECCOMP_RET_USER_NOTIF,
                                             SECCOMP_FILTER_FLAG_NEW_LISTENER);
        DescriptorMessage message;
        cmsghdr* attached = CMSG_FIRSTHDR(&message.header);
        attached->cmsg_level = SOL_SOCKET;
        attached->cmsg_type = SCM_RIGHTS;
        attached->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(attached), &held, sizeof(int));
        if (held < 0 || sendmsg(channel[1], &message.header, 0) != 1) {
            _exit(126);
        }
        close(held);
        _exit(exec(argv));
    }
    close(channel[1]);
    DescriptorMessage message;
    const bool received =
        recvmsg(channel[0], &message.header, 0) == 1 && CMSG_FIRSTHDR(&message.header) != nullptr;
    close(channel[0]);
    if (!received) {
        return -1;
    }
    std::memcpy(&listener, CMSG_DATA(CMSG_FIRSTHDR(&message.header)), sizeof(int));
    return program;
}

/// The victim is reaped and its ID taken by a new sleeping process, which is returned.
pid_t give_id_to_newcomer(pid_t victim) {
    kill(victim, SIGKILL);
    waitpid(victim, nullptr, 0);
    std::ofstream("/proc/sys/kernel/ns_last_pid") << victim - 1 << std::flush;
    return start_sleeping_child();
}

int run_reusing_victim_id(std::vector<std::string> argv) {
    if (!enter_pid_namespace(CLONE_NEWNS) || !mount_own_proc()) {
        std::fputs("reuse-id: no PID namespace with a /proc of its own\n", stderr);
        _exit(126);
    }
    const pid_t victim = start_sleeping_child();
    const std::string victim_entry = "/proc/" + std::to_string(victim);
    argv.push_back(std::to_string(victim));
    int listener = -1;
    const pid_t program = start_with_opens_held(argv, listener);
    if (program < 0) {
        std::fputs("reuse-id: no seccomp listener\n", stderr);
        _exit(126);
    }
    pid_t newcomer = -1;
    int looks = 0;
    std::array<pollfd, 2> watched{
        {{listener, POLLIN, 0}, {platform::pidfd_open(program), POLLIN, 0}}};
    while (watched[1].revents == 0 && poll(watched.data(), watched.size(), -1) >= 0) {
        seccomp_notif request{};
        if ((watched[0].revents & POLLIN) == 0 ||
            ioctl(listener, SECCOMP_IOCTL_NOTIF_RECV, &request) != 0) {
            continue;
        }
        // The path that the held openat() names, read from the program's memory.
        std::array<char, 64> path{};
        iovec local{path.data(), path.size() - 1};
        iovec remote{reinterpret_cast<void*>(request.data.args[1]), path.size() - 1};
        process_vm_readv(static_cast<pid_t>(request.pid), &local, 1, &remote, 1, 0);
        const std::string_view opened(path.data());
        if (opened.substr(0, victim_entry.size()) == victim_entry &&
            (opened.size() == victim_entry.size() || opened[victim_entry.size()] == '/') &&
            ++looks == 2) {
            newcomer = give_id_to_newcomer(victim);
        }
        seccomp_notif_resp response{};
        response.id = request.id;
        response.flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
        ioctl(listener, SECCOMP_IOCTL_NOTIF_SEND, &response);
    }
    const int program_exit = exit_code_of(program);
    // A SIGKILL takes effect when its target next runs, which on a busy machine may be a
    // while after the kill() that sent it.
    bool survived = false;
    if (newcomer > 0) {
        pollfd newcomer_end{platform::pidfd_open(newcomer), POLLIN, 0};
        survived = poll(&newcomer_end, 1, 2000) == 0;
    }
    std::fprintf(stderr, "reuse-id: %s; the program exited with %d\n",
                 newcomer < 0         ? "the program never looked up the ID a second time"
                 : newcomer != victim ? "the new process did not get the ID"
                 : survived           ? "the new process with the ID survived"
                                      : "the new process with the ID was killed",
                 program_exit);
    _exit(newcomer == victim && survived && program_exit == 0 ? 0 : 1);
}

}  // namespace

int run_system_mode(const std::vector<std::string>& arguments) {
    if (arguments.size() >= 2 && arguments[0] == "watch-self") {
        std::vector<std::string> argv(arguments.begin() + 1, arguments.end());
        argv.push_back(std::to_string(getpid()));
        return exec(argv);
    }
    if (arguments.size() >= 4 && arguments[0] == "deny") {
        return deny(arguments[1], arguments[2], {arguments.begin() + 3, arguments.end()});
    }
    if (arguments.size() >= 2 && arguments[0] == "no-vdso") {
        return run_without_vdso({arguments.begin() + 1, arguments.end()});
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
    if (arguments.size() >= 3 && arguments[0] == "timer-slack") {
        return prctl(PR_SET_TIMERSLACK, std::stoul(arguments[1])) == 0
                   ? exec({arguments.begin() + 2, arguments.end()})
                   : 126;
    }
    if (arguments.size() >= 2 &&
        (arguments[0] == "in-pid-namespace" || arguments[0] == "in-pid-namespace-with-proc")) {
        return run_in_pid_namespace({arguments.begin() + 1, arguments.end()},
                                    arguments[0] == "in-pid-namespace-with-proc");
    }
    if (arguments.size() == 2 && arguments[0] == "second-thread") {
        return sleep_in_second_thread(arguments[1]);
    }
    if (arguments.size() == 2 && arguments[0] == "threads") {
        return sleep_in_threads(arguments[1]);
    }
    if (arguments.size() == 2 && arguments[0] == "main-thread-ends") {
        return end_main_thread_first(arguments[1]);
    }
    if (arguments.size() >= 3 && arguments[0] == "exec-in-thread") {
        return exec_in_second_thread(arguments[1], {arguments.begin() + 2, arguments.end()});
    }
    if (arguments.size() == 2 && arguments[0] == "parent-of") {
        return sleep_in_child(arguments[1]);
    }
    if (arguments.size() >= 2 && arguments[0] == "reuse-id") {
        return run_reusing_victim_id({arguments.begin() + 1, arguments.end()});
    }
    return 2;
}

}  // namespace exitwatch::testing
