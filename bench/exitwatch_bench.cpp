// SPDX-License-Identifier: MIT
// Measures exitwatch beside what a user would pick instead, on this machine, in one run:
// how fast each notices that a process has ended (also where pidfds are missing), how
// exactly it keeps a 10-second deadline, what a run costs and how large the program is.
// Prints Markdown tables; no pass or fail.
//
//   exitwatch_bench [--quick] EXITWATCH [PROGRAM...]
//
// Each PROGRAM, another build of exitwatch (the Windows program, the other architectures'),
// is only measured for its size.
#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include "exitwatch/platform/pidfd.h"
#include "tests/support/seccomp_filter.h"

namespace {

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::duration<double, std::milli>;
constexpr std::chrono::seconds grace_period{10};

struct Settings {
    std::string exitwatch;
    std::vector<std::string> other_builds;  // only measured for their size
    int latency_runs = 20;
    int deadline_runs = 5;
    int startup_runs = 300;
};

/// A child of the benchmark: started at `started`, its end seen through `wait4`.
struct Run {
    pid_t pid = -1;
    Clock::time_point started;
};

struct Reaped {
    Clock::time_point at;
    rusage usage{};
};

/// How a watcher runs: as it is, where the pidfd calls fail as on kernels before 5.3, or
/// where timerfd_create fails as under some seccomp filters.
enum class Filter { none, no_pidfds, no_timerfd };

bool apply(Filter filter) {
    switch (filter) {
        case Filter::no_pidfds:
            return exitwatch::testing::deny_pidfd_calls();
        case Filter::no_timerfd:
            return exitwatch::testing::deny_system_calls({SYS_timerfd_create}, EPERM);
        default:
            return true;
    }
}

/// How a watcher is started: under a filter, and with a timer slack passed on (in ns; 0:
/// the benchmark's own, 50 us by default), as systemd's TimerSlackNSec= does.
struct Start {
    Filter filter = Filter::none;
    unsigned long timer_slack = 0;
};

/// Starts `argv` in `folder` as `how` says. Where `traced_pids` names a file, the child's
/// ID is written to it first, so that the kernel traces what its program does; it starts
/// its program only then, since that takes a while, and only then its time counts.
Run spawn(const std::vector<std::string>& argv, const std::string& folder, Start how = {},
          const std::string& traced_pids = "") {
    std::vector<char*> arguments;
    for (const std::string& argument : argv) {
        arguments.push_back(const_cast<char*>(argument.c_str()));
    }
    arguments.push_back(nullptr);
    std::array<int, 2> gate{};
    if (pipe2(gate.data(), O_CLOEXEC) != 0) {
        return {};
    }
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        char opened = 0;
        close(gate[1]);
        if (how.timer_slack != 0) {
            prctl(PR_SET_TIMERSLACK, how.timer_slack);
        }
        if (read(gate[0], &opened, 1) == 0 && chdir(folder.c_str()) == 0 && apply(how.filter)) {
            execvp(arguments[0], arguments.data());
        }
        _exit(127);
    }
    close(gate[0]);
    if (!traced_pids.empty()) {  // appended, without the seek to the end of an ofstream
        const int traced = open(traced_pids.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        dprintf(traced, "%d\n", static_cast<int>(pid));
        close(traced);
    }
    const Clock::time_point started = Clock::now();
    close(gate[1]);  // the child goes on when the pipe is closed
    return {pid, started};
}

/// A child that sleeps for `duration` and ends, or never ends by itself.
Run spawn_victim(std::chrono::microseconds duration) {
    const Clock::time_point started = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        std::this_thread::sleep_for(duration);
        _exit(0);
    }
    return {pid, started};
}

/// Reaps the given children, noting when each was reaped and what it used.
std::map<pid_t, Reaped> reap(std::vector<pid_t> children) {
    std::map<pid_t, Reaped> reaped;
    while (!children.empty()) {
        int status = 0;
        rusage usage{};
        const pid_t pid = wait4(-1, &status, 0, &usage);
        if (pid < 0) {
            break;
        }
        reaped[pid] = {Clock::now(), usage};
        children.erase(std::remove(children.begin(), children.end(), pid), children.end());
    }
    return reaped;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string scratch_folder() {
    std::string pattern = "/tmp/exitwatch-bench-XXXXXX";
    return mkdtemp(pattern.data());
}

/// min / median / max of a series, in milliseconds or plain numbers.
struct Series {
    std::vector<double> values;

    void add(double value) { values.push_back(value); }
    [[nodiscard]] std::string summary(const char* format) const {
        if (values.empty()) {
            return "n/a";
        }
        std::vector<double> sorted = values;
        std::sort(sorted.begin(), sorted.end());
        const double median = sorted.size() % 2 == 1
                                  ? sorted[sorted.size() / 2]
                                  : (sorted[sorted.size() / 2 - 1] + sorted[sorted.size() / 2]) / 2;
        std::array<char, 128> text{};
        const std::string three = std::string(format) + " / " + format + " / " + format;
        std::snprintf(text.data(), text.size(), three.c_str(), sorted.front(), median,
                      sorted.back());
        return text.data();
    }
};

double milliseconds_between(Clock::time_point from, Clock::time_point to) {
    return Milliseconds(to - from).count();
}

double kibibytes(const rusage& usage) {
    return static_cast<double>(usage.ru_maxrss);
}

double context_switches(const rusage& usage) {
    return static_cast<double>(usage.ru_nvcsw + usage.ru_nivcsw);
}

struct Results {
    std::map<std::string, Series> latency, rss, resident, switches, inside, outside, startup;
};

/// The most memory that a process has held resident so far (VmHWM), in KiB: its own pages,
/// unlike a child's peak RSS, which also counts those it shared with its parent before it
/// started its program. Empty when it cannot be read.
std::optional<double> resident_peak(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::stod(line.substr(6));
        }
    }
    return std::nullopt;
}

/// A process ends after 0.2 to 0.5 s, watched at once by exitwatch (also without pidfds,
/// looking at /proc at most 10 ms apart), pidwait and tail.
void measure_exit_latency(const Settings& settings, Results& results) {
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> lifetime_ms(200, 500);
    for (int run = 0; run < settings.latency_runs; ++run) {
        const std::string folder = scratch_folder();
        const Run victim = spawn_victim(std::chrono::milliseconds(lifetime_ms(random)));
        const std::string pid = std::to_string(victim.pid);
        std::ofstream(folder + "/victim.pid") << pid << '\n';
        std::filesystem::create_directory(folder + "/fallback");  // a log of its own
        const std::map<std::string, Run> watchers = {
            {"exitwatch", spawn({settings.exitwatch, pid}, folder)},
            {"exitwatch, /proc fallback",
             spawn({settings.exitwatch, pid}, folder + "/fallback", {Filter::no_pidfds})},
            {"pidwait -F", spawn({"pidwait", "-F", folder + "/victim.pid"}, folder)},
            {"tail --pid", spawn({"tail", "--pid=" + pid, "-f", "/dev/null"}, folder)},
        };
        std::vector<pid_t> children = {victim.pid};
        for (const auto& [name, watcher] : watchers) {
            children.push_back(watcher.pid);
        }
        const std::map<pid_t, Reaped> reaped = reap(children);
        for (const auto& [name, watcher] : watchers) {
            const Reaped& end = reaped.at(watcher.pid);
            results.latency[name].add(milliseconds_between(reaped.at(victim.pid).at, end.at));
            results.rss[name].add(kibibytes(end.usage));
            results.switches[name].add(context_switches(end.usage));
        }
        std::filesystem::remove_all(folder);
    }
}

/// The child that coreutils' timeout started, once it is there.
pid_t child_of(pid_t parent) {
    const std::string path =
        "/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) + "/children";
    for (int look = 0; look < 1000; ++look) {
        const std::string children = read_file(path);
        if (!children.empty()) {
            return static_cast<pid_t>(std::stol(children));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return -1;
}

bool write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path);
    out << text << std::flush;
    return static_cast<bool>(out);
}

/// The kernel's own record of when chosen processes enter write() or writev(), whichever
/// their C library writes a line with (glibc's stdio the one, musl's the other), on
/// CLOCK_MONOTONIC:
/// stamped as each call is made, so that no observer's wait for a processor lengthens or
/// shortens the time between two of them, and without stopping the processes. A trace
/// instance of the benchmark's own, removed at the end, leaves the system's trace alone;
/// it needs root and a kernel that traces system calls.
class WriteTrace {
  public:
    WriteTrace() {
        for (const char* tracefs : {"/sys/kernel/tracing", "/sys/kernel/debug/tracing"}) {
            if (std::filesystem::exists(std::string(tracefs) + "/instances")) {
                instance_ = std::string(tracefs) + "/instances/exitwatch-bench";
                break;
            }
        }
        if (instance_.empty()) {  // tracefs is not mounted: for this run only
            mounted_ = scratch_folder();
            instance_ = mounted_ + "/instances/exitwatch-bench";
            if (mount("nodev", mounted_.c_str(), "tracefs", 0, nullptr) != 0) {
                instance_.clear();
            }
        }
        // Only the benchmark itself at first: an empty list would trace every process.
        ready_ = !instance_.empty() && (rmdir(instance_.c_str()) == 0 || errno == ENOENT) &&
                 mkdir(instance_.c_str(), 0700) == 0 &&
                 write_file(instance_ + "/trace_clock", "mono") &&
                 write_file(pids_file(), std::to_string(getpid())) &&
                 write_file(instance_ + "/events/syscalls/sys_enter_write/enable", "1") &&
                 write_file(instance_ + "/events/syscalls/sys_enter_writev/enable", "1");
    }
    WriteTrace(const WriteTrace&) = delete;
    WriteTrace& operator=(const WriteTrace&) = delete;
    ~WriteTrace() {
        if (!instance_.empty()) {
            rmdir(instance_.c_str());
        }
        if (!mounted_.empty()) {
            umount2(mounted_.c_str(), MNT_DETACH);
            rmdir(mounted_.c_str());
        }
    }

    [[nodiscard]] bool ready() const { return ready_; }
    /// The file a process writes its ID to, to have its writes traced from then on.
    [[nodiscard]] std::string pids_file() const { return instance_ + "/set_event_pid"; }

    /// When each traced process has entered write() or writev() so far, in order (ms).
    [[nodiscard]] std::map<pid_t, std::vector<double>> writes() const {
        // "exitwatch-812  [001] .....  2406.722030: sys_writev(fd: 3, vec: ..., vlen: 2)"
        std::map<pid_t, std::vector<double>> writes;
        std::ifstream trace(instance_ + "/trace");
        for (std::string line; std::getline(trace, line);) {
            std::size_t call = line.find(": sys_write(");
            if (call == std::string::npos) {
                call = line.find(": sys_writev(");
            }
            const std::size_t cpu = line.find(" [");
            if (line[0] == '#' || call == std::string::npos || cpu == std::string::npos) {
                continue;
            }
            const std::size_t time = line.rfind(' ', call) + 1;
            writes[std::stoi(line.substr(line.rfind('-', cpu) + 1))].push_back(
                std::stod(line.substr(time, call - time)) * 1000);
        }
        return writes;
    }

  private:
    std::string mounted_;
    std::string instance_;
    bool ready_ = false;
};

/// The time from the watchdog's write of its "pid: " line to its write of the kill notice,
/// less the grace period, in milliseconds: the wait as the watchdog made it, from the
/// kernel's trace of its writes. The notice is the first write after a pause of more than
/// half the grace period, which only the wait makes. Empty when there is no notice.
std::optional<double> traced_overshoot(const std::vector<double>& writes) {
    const double grace = Milliseconds(grace_period).count();
    for (std::size_t line = 1; line < writes.size(); ++line) {
        if (writes[line] - writes[line - 1] > grace / 2) {
            return writes[line] - writes[line - 1] - grace;
        }
    }
    return std::nullopt;
}

/// exitwatch on processes that never end, in each way it keeps its deadline (a timerfd;
/// ppoll()'s own time-out where timerfd_create fails; looks at /proc), the last two also
/// started with a timer slack of 50 ms, which would make their time-outs that late, beside
/// timeout -s KILL 10 on another one. From inside: the kernel's trace of the watchdog's
/// writes. From outside: each victim's death, seen on a pidfd, against the moment its
/// watcher started.
void measure_deadline(const Settings& settings, Results& results) {
    constexpr unsigned long slack = 50'000'000;
    const std::vector<std::pair<std::string, Start>> ways = {
        {"exitwatch", {}},
        {"exitwatch, no timerfd", {Filter::no_timerfd}},
        {"exitwatch, /proc fallback", {Filter::no_pidfds}},
        {"exitwatch, no timerfd, 50 ms slack passed on", {Filter::no_timerfd, slack}},
        {"exitwatch, /proc fallback, 50 ms slack passed on", {Filter::no_pidfds, slack}}};
    const WriteTrace trace;
    if (!trace.ready()) {
        std::printf(
            "- deadline, inside: n/a, no system call trace here (it needs root and a "
            "kernel that traces system calls)\n\n");
    }
    struct Watched {
        Run victim;
        Run watchdog;
        Clock::time_point victim_died{};
    };
    for (int run = 0; run < settings.deadline_runs; ++run) {
        const std::string folder = scratch_folder();
        // timeout first: finding its child takes a moment, which must not delay the
        // watchdogs' starts, from which their deadlines are measured.
        const Run timeout = spawn({"timeout", "-s", "KILL", "10", "sleep", "60"}, folder);
        const pid_t timeout_victim = child_of(timeout.pid);
        std::vector<pollfd> ends{{exitwatch::platform::pidfd_open(timeout_victim), POLLIN, 0}};
        std::vector<Watched> watched;
        for (const auto& [way, how] : ways) {
            const std::string own = folder + "/" + std::to_string(watched.size());
            std::filesystem::create_directory(own);
            const Run victim = spawn_victim(std::chrono::hours(1));
            watched.push_back({victim, spawn({settings.exitwatch, std::to_string(victim.pid)}, own,
                                             how, trace.ready() ? trace.pids_file() : "")});
            ends.push_back({exitwatch::platform::pidfd_open(victim.pid), POLLIN, 0});
        }
        Clock::time_point timeout_victim_died{};
        const Clock::time_point give_up = Clock::now() + 2 * grace_period;
        bool resident_read = false;
        const auto all_ended = [&] {
            return std::all_of(ends.begin(), ends.end(),
                               [](const pollfd& end) { return end.fd < 0; });
        };
        while (!all_ended() && Clock::now() < give_up) {
            poll(ends.data(), ends.size(), 1000);
            const Clock::time_point now = Clock::now();
            if (!std::exchange(resident_read, true)) {  // a second into the wait
                for (std::size_t way = 0; way < ways.size(); ++way) {
                    if (const auto peak = resident_peak(watched[way].watchdog.pid)) {
                        results.resident[ways[way].first].add(*peak);
                    }
                }
            }
            for (std::size_t slot = 0; slot < ends.size(); ++slot) {
                if (ends[slot].fd >= 0 && ends[slot].revents != 0) {
                    (slot == 0 ? timeout_victim_died : watched[slot - 1].victim_died) = now;
                    close(std::exchange(ends[slot].fd, -1));
                }
            }
        }
        std::vector<pid_t> children = {timeout.pid};
        for (const Watched& way : watched) {
            kill(way.victim.pid, SIGKILL);  // in case the watchdog failed it
            children.insert(children.end(), {way.victim.pid, way.watchdog.pid});
        }
        const std::map<pid_t, Reaped> reaped = reap(children);
        const auto writes = trace.writes();
        const auto overshoot = [](Clock::time_point from, Clock::time_point to) {
            return milliseconds_between(from + grace_period, to);
        };
        for (std::size_t way = 0; way < ways.size(); ++way) {
            const Watched& run_of = watched[way];
            results.outside[ways[way].first].add(
                overshoot(run_of.watchdog.started, run_of.victim_died));
            const auto traced = writes.find(run_of.watchdog.pid);
            if (traced != writes.end()) {
                if (const auto inside = traced_overshoot(traced->second)) {
                    results.inside[ways[way].first].add(*inside);
                }
            }
        }
        results.outside["timeout -s KILL 10"].add(overshoot(timeout.started, timeout_victim_died));
        const rusage& usage = reaped.at(watched.front().watchdog.pid).usage;
        results.rss["exitwatch, 10 s run"].add(kibibytes(usage));
        results.switches["exitwatch, 10 s run"].add(context_switches(usage));
        std::filesystem::remove_all(folder);
    }
}

/// A run with no argument (it only creates the log) beside /bin/true; and a child of the
/// benchmark that ends without starting any program, whose peak RSS, the pages it shares
/// with the benchmark, is part of every child's peak before it starts its program.
void measure_startup(const Settings& settings, Results& results) {
    for (int run = 0; run < settings.latency_runs; ++run) {
        const Run alone = spawn_victim(std::chrono::microseconds(0));
        results.rss["the benchmark's child alone (the floor)"].add(
            kibibytes(reap({alone.pid}).at(alone.pid).usage));
    }
    const std::string folder = scratch_folder();
    for (int run = 0; run < settings.startup_runs; ++run) {
        for (const auto& [name, argv] : {std::pair<std::string, std::vector<std::string>>{
                                             "exitwatch, no argument", {settings.exitwatch}},
                                         {"/bin/true", {"/bin/true"}}}) {
            const Run started = spawn(argv, folder);
            const std::map<pid_t, Reaped> reaped = reap({started.pid});
            results.startup[name].add(
                milliseconds_between(started.started, reaped.at(started.pid).at));
        }
    }
    std::filesystem::remove_all(folder);
}

void print_header(const Settings& settings) {
    utsname system{};
    uname(&system);
    std::string cpu = "unknown";
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);) {
        if (line.rfind("model name", 0) == 0) {
            cpu = line.substr(line.find(':') + 2);
            break;
        }
    }
    const std::time_t now = std::time(nullptr);
    std::array<char, 64> date{};
    std::strftime(date.data(), date.size(), "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
    std::printf("exitwatch benchmark, %s\n\n", date.data());
    std::printf("- machine: %s, %u cores, %s %s\n", cpu.c_str(),
                std::thread::hardware_concurrency(), system.sysname, system.machine);
    std::printf("- kernel: %s\n", system.release);
    std::printf("- runs: %d exit, %d deadline, %d start-up\n\n", settings.latency_runs,
                settings.deadline_runs, settings.startup_runs);
}

/// The executable on the search path that a command runs, as execvp() finds it.
std::string on_path(const std::string& command) {
    std::string directories = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
    for (std::size_t start = 0, end = 0; end != std::string::npos; start = end + 1) {
        end = directories.find(':', start);
        const std::string candidate = directories.substr(start, end - start) + "/" + command;
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return {};
}

/// A build of exitwatch named by its folder, its build preset: "linux-arm64/exitwatch".
std::string build_name(const std::filesystem::path& program) {
    return (program.parent_path().filename() / program.filename()).string();
}

/// The size of each program on disk: each build of exitwatch is one static file; the other
/// tools need the shared libraries that they name besides.
void print_sizes(const Settings& settings) {
    std::vector<std::pair<std::string, std::string>> programs = {
        {build_name(settings.exitwatch) + ", measured here", settings.exitwatch}};
    for (const std::string& build : settings.other_builds) {
        programs.emplace_back(build_name(build), build);
    }
    for (const char* tool : {"pidwait", "tail", "timeout"}) {
        programs.emplace_back(std::string(tool) + " (dynamic)", on_path(tool));
    }
    std::printf("| program | bytes |\n|---|---|\n");
    for (const auto& [name, path] : programs) {
        std::error_code unknown;
        const auto bytes = std::filesystem::file_size(path, unknown);
        std::printf("| %s | %s |\n", name.c_str(), unknown ? "n/a" : std::to_string(bytes).c_str());
    }
    std::printf("\n");
}

void print_table(const Results& results) {
    std::printf("| figure | tool | min / median / max |\n|---|---|---|\n");
    const auto rows = [](const char* figure, const std::map<std::string, Series>& by_tool,
                         const char* format) {
        for (const auto& [tool, series] : by_tool) {
            std::printf("| %s | %s | %s |\n", figure, tool.c_str(), series.summary(format).c_str());
        }
    };
    rows("exit latency (ms)", results.latency, "%.3f");
    rows("deadline, inside: kill notice - pid line - 10 s, the kernel's stamps (ms)",
         results.inside, "%.3f");
    rows("deadline, outside: victim's death - start - 10 s (ms)", results.outside, "%.3f");
    rows("peak RSS (KiB)", results.rss, "%.0f");
    rows("resident while waiting, VmHWM (KiB)", results.resident, "%.0f");
    rows("context switches", results.switches, "%.0f");
    rows("start-up to reaped (ms)", results.startup, "%.3f");
}

}  // namespace

int main(int argc, char* argv[]) {
    Settings settings;
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    std::vector<std::string> programs;
    for (const std::string& argument : arguments) {
        if (argument == "--quick") {
            settings.latency_runs = 2;
            settings.deadline_runs = 1;
            settings.startup_runs = 20;
        } else {
            programs.push_back(std::filesystem::absolute(argument));
        }
    }
    if (programs.empty()) {
        std::fprintf(stderr, "usage: exitwatch_bench [--quick] EXITWATCH [PROGRAM...]\n");
        return 2;
    }
    settings.exitwatch = programs[0];
    settings.other_builds.assign(programs.begin() + 1, programs.end());
    print_header(settings);
    print_sizes(settings);
    Results results;
    measure_exit_latency(settings, results);
    measure_deadline(settings, results);
    measure_startup(settings, results);
    print_table(results);
    return 0;
}
