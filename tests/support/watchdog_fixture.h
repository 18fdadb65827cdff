// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "child.h"
#include "scratch_dir.h"

namespace exitwatch::testing {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

/// What a finished run of the real watchdog left behind.
struct Finished {
    int status;
    milliseconds took;              // from its start until it was seen to have ended
    milliseconds since_first_line;  // from when its log was first seen to start with this
                                    // run's first line; without one, as `took`. The
                                    // watchdog's own time, without its system's or
                                    // emulator's start (Wine's: up to 8 s, busy)
    std::string output;             // standard output and error together: always empty
    std::string log;
    milliseconds processor_time;  // Child::processor_time
    long sleeps;                  // Child::sleeps
};

/// What a watchdog may do while it waits ten seconds, counted, not timed: the processor time
/// it uses and how often it sleeps. Correct code, the most seen on 2 cores, quiet or beside
/// a busy loop: 97 ms natively, 128 ms under the sanitizers, under qemu-user 41 ms with a
/// pidfd and 189 ms without, where each look is emulated; 14 sleeps with a pidfd, 988
/// without, looking every 10 ms. A wait that spins on poll() with no time-out uses 800 to
/// 9,700 ms in the parallel suite, 516 ms at the least where many such watchdogs share the
/// cores; one that pauses 0 ms between looks uses 510 to 830 ms, since each pause still
/// sleeps the timer's slack, and sleeps 50,000 to 108,000 times.
inline constexpr milliseconds idle_wait_processor_time{500};
inline constexpr long idle_wait_sleeps = 5000;

/// The command that starts `program`, one of this build's: through the emulator where the
/// tests run under one (qemu-user, on Linux for another architecture), else the program
/// alone. Under Wine, Windows programs start each other directly.
std::vector<std::string> program_command(const std::string& program);

/// A way to start the watchdog: directly, or through a launcher that changes what the
/// system offers it (on Linux: no pidfds, so that it falls back on /proc); and the program
/// that plays the watched process (on Windows also the helper of the other bitness).
struct Launcher {
    std::string name;
    std::vector<std::string> prefix;
    std::string sleeper = EXITWATCH_TEST_HELPER;
    std::string unavailable{};  // why this way cannot be taken here; empty where it can
};

/// The test helper's arguments for `mode`, which takes how long to live in milliseconds.
inline std::vector<std::string> helper_mode(const std::string& mode, milliseconds lifetime) {
    return {mode, std::to_string(lifetime.count())};
}

/// A shape of process to watch, which the test helper takes on given how long it is to live:
/// its arguments for that.
struct VictimShape {
    std::string name;
    std::vector<std::string> (*arguments)(milliseconds lifetime);
};

/// The shapes of process that every system has: one thread; several; a main thread that
/// has ended while another runs on.
inline std::vector<VictimShape> shapes_of_every_system() {
    return {
        {"one_thread", [](milliseconds lifetime) { return helper_mode("sleep", lifetime); }},
        {"four_threads", [](milliseconds lifetime) { return helper_mode("threads", lifetime); }},
        {"main_thread_ended",
         [](milliseconds lifetime) { return helper_mode("main-thread-ends", lifetime); }},
    };
}

/// The shapes of process users have, which a watchdog must tell ended from running: those
/// of every system, and on Linux also a process whose second thread starts another
/// program, keeping the process's ID.
std::vector<VictimShape> victim_shapes();

/// The log of a run whose process ended within the grace period.
inline std::string ended_in_time_log(const std::string& pid) {
    return log_lines("pidStr: " + pid, "pid: " + pid, "process exit");
}

/// The log of a run that killed its process after the grace period.
inline std::string killed_log(const std::string& pid) {
    return log_lines("pidStr: " + pid, "pid: " + pid, "Still alive, will kill!!!", "process exit");
}

inline void PrintTo(const Launcher& launcher, std::ostream* out) {
    *out << launcher.name;
}

/// Every way this system's tests start the watchdog: on Linux through pidfds, and through
/// /proc where the kernel has no pidfd calls.
std::vector<Launcher> watchdog_launchers();

/// On Linux, the watchdog under the seccomp filters of containers and services, where
/// each takes a way of its own to the same outcomes; none on Windows.
std::vector<Launcher> sandbox_launchers();

/// Starts the real program and the test helper inside a scratch folder of the test's own.
class WatchdogTest : public ::testing::TestWithParam<Launcher> {
  protected:
    void SetUp() override {
        if (!GetParam().unavailable.empty()) {
            GTEST_SKIP() << GetParam().unavailable;
        }
    }

    [[nodiscard]] Child start_sleeper(milliseconds duration) {
        return start(joined(program_command(GetParam().sleeper), helper_mode("sleep", duration)));
    }

    /// The command line of the real program with `arguments`, through this test's launcher.
    [[nodiscard]] static std::vector<std::string> watchdog_command(
        const std::vector<std::string>& arguments) {
        return joined(joined(GetParam().prefix, program_command(EXITWATCH_PROGRAM)), arguments);
    }

    /// The command line of the test helper with `arguments`.
    [[nodiscard]] static std::vector<std::string> helper_command(
        const std::vector<std::string>& arguments) {
        return joined(program_command(EXITWATCH_TEST_HELPER), arguments);
    }

    static std::vector<std::string> joined(std::vector<std::string> first,
                                           const std::vector<std::string>& second) {
        first.insert(first.end(), second.begin(), second.end());
        return first;
    }

    [[nodiscard]] Child start_watchdog(const std::vector<std::string>& arguments) {
        return start(watchdog_command(arguments));
    }

    /// Starts `argv` in the log's folder; its output goes to a file of its own beside it.
    [[nodiscard]] Child start(const std::vector<std::string>& argv) {
        last_output_ = outputs_.path() / ("output-" + std::to_string(started_++) + ".txt");
        return Child::start(argv, scratch_.path(), last_output_);
    }

    /// Waits for the child started last, which must be a watchdog, and collects its traces.
    Finished finish(Child& watchdog, Clock::time_point started) {
        return finish(watchdog, started, scratch_, last_output_);
    }

    /// Whether the log in `folder` starts with a run's first line yet.
    static bool has_first_line(const ScratchDir& folder) {
        return folder.read_log().rfind("pidStr: ", 0) == 0;
    }

    /// Waits for a watchdog that writes its log in `folder` and its output to `output`,
    /// looking every 10 ms.
    static Finished finish(Child& watchdog, Clock::time_point started, const ScratchDir& folder,
                           const std::filesystem::path& output) {
        Clock::time_point first_line = started;
        for (const Clock::time_point until = Clock::now() + longest_wait;
             watchdog.running() && Clock::now() < until;
             std::this_thread::sleep_for(milliseconds(10))) {
            if (first_line == started && has_first_line(folder)) {
                first_line = Clock::now();
            }
        }
        const Clock::time_point ended = Clock::now();
        const int status = watchdog.wait();
        return {status,
                std::chrono::duration_cast<milliseconds>(ended - started),
                std::chrono::duration_cast<milliseconds>(ended - first_line),
                ScratchDir::read_file(output),
                folder.read_log(),
                watchdog.processor_time(),
                watchdog.sleeps()};
    }

    /// Watchdogs on processes of every shape, side by side, each in a folder of its own.
    struct EveryShape {
        std::vector<VictimShape> shapes = victim_shapes();
        std::vector<ScratchDir> folders{shapes.size()};
        std::vector<Child> victims;
        std::vector<Child> watchdogs;
        std::vector<Clock::time_point> started;
    };

    /// Starts a process of each shape that lives `lifetime`, and a watchdog on it at once.
    EveryShape watch_every_shape(milliseconds lifetime) {
        EveryShape runs;
        for (std::size_t i = 0; i < runs.shapes.size(); ++i) {
            const std::filesystem::path output = outputs_.path() / runs.shapes[i].name;
            runs.victims.push_back(Child::start(
                joined(program_command(GetParam().sleeper), runs.shapes[i].arguments(lifetime)),
                runs.folders[i].path(), output.string() + "-victim"));
            runs.started.push_back(Clock::now());
            runs.watchdogs.push_back(
                Child::start(watchdog_command({std::to_string(runs.victims[i].pid())}),
                             runs.folders[i].path(), output.string() + "-watchdog"));
        }
        return runs;
    }

    /// Waits for every watchdog of `runs`, each timed from its start and from its first
    /// line to when it is first seen to have ended, looking every 10 ms: not to when its
    /// turn to be waited for came.
    std::vector<Finished> finish(EveryShape& runs) {
        std::vector<Clock::time_point> ended(runs.watchdogs.size());
        std::vector<Clock::time_point> first_line = runs.started;
        const Clock::time_point until = Clock::now() + longest_wait;
        for (std::size_t left = ended.size(); left > 0 && Clock::now() < until;
             std::this_thread::sleep_for(milliseconds(10))) {
            for (std::size_t i = 0; i < ended.size(); ++i) {
                if (first_line[i] == runs.started[i] && has_first_line(runs.folders[i])) {
                    first_line[i] = Clock::now();
                }
                if (ended[i] == Clock::time_point() && !runs.watchdogs[i].running()) {
                    ended[i] = Clock::now();
                    --left;
                }
            }
        }
        std::vector<Finished> finished;
        for (std::size_t i = 0; i < runs.watchdogs.size(); ++i) {
            finished.push_back(finish(runs.watchdogs[i], runs.started[i], runs.folders[i],
                                      outputs_.path() / (runs.shapes[i].name + "-watchdog")));
            if (ended[i] != Clock::time_point()) {
                finished.back().took =
                    std::chrono::duration_cast<milliseconds>(ended[i] - runs.started[i]);
                finished.back().since_first_line =
                    std::chrono::duration_cast<milliseconds>(ended[i] - first_line[i]);
            }
        }
        return finished;
    }

    /// Runs `command`, which ends in the watchdog's command line, to its end.
    Finished run_to_end(const std::vector<std::string>& command) {
        const Clock::time_point started = Clock::now();
        Child watchdog = start(command);
        return finish(watchdog, started);
    }

    Finished run_watchdog(const std::vector<std::string>& arguments) {
        return run_to_end(watchdog_command(arguments));
    }

    /// The run ended `victim` after the whole grace period, silently and with status 0.
    static void expect_killed_after_grace_period(const Finished& run, Child& victim) {
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.output, "");
        EXPECT_GE(run.took, milliseconds(10000));
        EXPECT_LT(run.processor_time.count(), idle_wait_processor_time.count());
        EXPECT_LT(run.sleeps, idle_wait_sleeps);
        std::printf("a ten-second wait: %ld ms of processor time, %ld sleeps\n",
                    static_cast<long>(run.processor_time.count()), run.sleeps);
        EXPECT_EQ(victim.wait(), killed_status);
    }

    ScratchDir scratch_;
    ScratchDir outputs_;
    std::filesystem::path last_output_;
    int started_ = 0;
};

inline std::string launcher_name(const ::testing::TestParamInfo<Launcher>& info) {
    return info.param.name;
}

}  // namespace exitwatch::testing
