// SPDX-License-Identifier: MIT
// The real program against real processes, the same on every system.
#include <fstream>
#include <thread>

#include "support/watchdog_fixture.h"

namespace exitwatch::testing {
namespace {

using std::chrono::seconds;
using EndToEnd = WatchdogTest;

// Ended means every thread of the process has ended, however many it had and whichever
// ended last.
TEST_P(EndToEnd, ReturnsAsSoonAsAProcessOfAnyShapeEnds) {
    EveryShape runs = watch_every_shape(milliseconds(1500));
    const std::vector<Finished> finished = finish(runs);
    for (std::size_t i = 0; i < runs.shapes.size(); ++i) {
        SCOPED_TRACE(runs.shapes[i].name);
        const Finished& run = finished[i];
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.output, "");
        // 1.5 s, 2.5 s for the process that execs; at most 1.8 and 2.9 s seen on a busy
        // machine. A main thread's end taken for the process's: 0.03 s; waiting out the
        // grace period: 10 s.
        EXPECT_GE(run.took, milliseconds(1000));
        EXPECT_LT(run.took, milliseconds(6000));
        EXPECT_EQ(run.log, ended_in_time_log(std::to_string(runs.victims[i].pid())));
        EXPECT_EQ(runs.victims[i].wait(), 0);
    }
}

// One ten-second run of each shape, side by side, covers the kill, the exit code the
// victim's parent sees, which it sees only once every thread has ended, and the log being
// shared with other readers and writers while the watchdog waits.
TEST_P(EndToEnd, KillsAProcessOfAnyShapeThatOutlivesTheGracePeriodAndSharesItsLogMeanwhile) {
    EveryShape runs = watch_every_shape(milliseconds(60000));
    std::this_thread::sleep_for(seconds(3));
    for (std::size_t i = 0; i < runs.shapes.size(); ++i) {
        SCOPED_TRACE(runs.shapes[i].name);
        EXPECT_TRUE(runs.victims[i].running());
        std::fstream other(runs.folders[i].log_path(),
                           std::ios::in | std::ios::out | std::ios::binary);
        ASSERT_TRUE(other.is_open());
        const std::string so_far(std::istreambuf_iterator<char>(other), {});
        const std::string pid = std::to_string(runs.victims[i].pid());
        EXPECT_EQ(so_far, log_lines("pidStr: " + pid, "pid: " + pid));
    }
    const std::vector<Finished> finished = finish(runs);
    for (std::size_t i = 0; i < runs.shapes.size(); ++i) {
        SCOPED_TRACE(runs.shapes[i].name);
        const Finished& run = finished[i];
        expect_killed_after_grace_period(run, runs.victims[i]);
        // From its first line: 10.2 s at most seen; a missed deadline: 20 s.
        EXPECT_LT(run.since_first_line, milliseconds(13000));
        EXPECT_EQ(run.log, killed_log(std::to_string(runs.victims[i].pid())));
    }
}

// Whoever may write the folder may have put another file's name, a FIFO or a folder where
// the log goes: the watchdog writes nothing through it and leaves it as it is, and watches
// and kills all the same, each planted name side by side. A second hard link gives way to
// this run's log.
TEST_P(EndToEnd, StillKillsOnTimeWhereANameIsPlantedInPlaceOfTheLog) {
    const std::vector<PlantedName> names = planted_names();
    std::vector<ScratchDir> folders(names.size());
    std::vector<std::size_t> planted;
    std::vector<Child> victims;
    std::vector<Child> watchdogs;
    std::vector<Clock::time_point> started;
    std::vector<std::string> others_held;
    const auto other_of = [&](std::size_t i) { return PlantedName::other_in(folders[i]); };
    const auto output_of = [&](std::size_t i) { return outputs_.path() / names[i].kind; };
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (!names[i].plant_in(folders[i]).empty()) {
            continue;
        }
        planted.push_back(i);
        others_held.push_back(ScratchDir::read_file(other_of(i)));
        victims.push_back(start_sleeper(milliseconds(60000)));
        started.push_back(Clock::now());
        watchdogs.push_back(Child::start(watchdog_command({std::to_string(victims.back().pid())}),
                                         folders[i].path(), output_of(i)));
    }
    for (std::size_t run = 0; run < planted.size(); ++run) {
        const std::size_t i = planted[run];
        SCOPED_TRACE(names[i].kind);
        const Finished finished = finish(watchdogs[run], started[run], folders[i], output_of(i));
        expect_killed_after_grace_period(finished, victims[run]);
        // From its first line, where it has a log: 10.2 s at most seen; a hang: 60 s. From
        // its start, Wine's included, where it has none: 18.2 s at most seen, busy.
        EXPECT_LT(finished.since_first_line, milliseconds(names[i].log_made_anew ? 13000 : 40000));
        EXPECT_EQ(ScratchDir::read_file(other_of(i)), others_held[run]);
        if (names[i].log_made_anew) {
            EXPECT_EQ(finished.log, killed_log(std::to_string(victims[run].pid())));
        }
    }
}

// The ID of an ended process still opens while its parent holds on to it.
TEST_P(EndToEnd, ReturnsAtOnceForAProcessThatHasEndedButIsStillHeld) {
    Child victim = start_sleeper(milliseconds(0));
    victim.wait_for_end_and_hold();
    const std::string pid = std::to_string(victim.pid());
    const Finished run = run_watchdog({pid});
    EXPECT_EQ(run.status, 0);
    EXPECT_LT(run.since_first_line, milliseconds(5000));  // 0.4 s at most seen; a full wait: 10 s
    EXPECT_EQ(run.log, ended_in_time_log(pid));
    EXPECT_EQ(victim.wait(), 0);
}

TEST_P(EndToEnd, ReportsEveryArgumentThatNamesNoProcessItCanOpen) {
    struct Case {
        std::vector<std::string> arguments;
        std::string log;
    };
    const std::string invalid = std::to_string(invalid_process_id_error);
    const std::string missing = std::to_string(no_such_process_error);
    const Case cases[] = {
        {{}, ""},
        {{"abc"},
         log_lines("pidStr: abc", "pid: 0", "Unable to find process: " + invalid, "process exit")},
        {{"0"},
         log_lines("pidStr: 0", "pid: 0", "Unable to find process: " + invalid, "process exit")},
        {{"*"},
         log_lines("pidStr: *", "pid: 0", "Unable to find process: " + invalid, "process exit")},
        {{"-1", "2"},
         log_lines("pidStr: -1", "pid: 4294967295", "Unable to find process: " + invalid,
                   "process exit")},
        {{"4294967297"},
         log_lines("pidStr: 4294967297", "pid: 4294967295", "Unable to find process: " + invalid,
                   "process exit")},
        {{"2147483647"},
         log_lines("pidStr: 2147483647", "pid: 2147483647", "Unable to find process: " + missing,
                   "process exit")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments.empty() ? "no argument" : c.arguments[0]);
        {
            std::ofstream earlier(scratch_.log_path());
            earlier << "an earlier run\n";
        }
        const Finished run = run_watchdog(c.arguments);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.output, "");
        EXPECT_LT(run.since_first_line, milliseconds(5000));  // 0.2 s at most seen; a wait: 10 s
        EXPECT_EQ(run.log, c.log);
        EXPECT_TRUE(std::filesystem::exists(scratch_.log_path()));
    }
}

INSTANTIATE_TEST_SUITE_P(EveryWay, EndToEnd, ::testing::ValuesIn(watchdog_launchers()),
                         launcher_name);
INSTANTIATE_TEST_SUITE_P(Sandboxed, EndToEnd, ::testing::ValuesIn(sandbox_launchers()),
                         launcher_name);

}  // namespace
}  // namespace exitwatch::testing
