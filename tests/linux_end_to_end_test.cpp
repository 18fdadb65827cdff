// The real program against real processes: what only Linux has, and the faults it must
// survive there.
#include <csignal>
#include <fstream>
#include <thread>

#include <unistd.h>

#include "support/watchdog_fixture.h"

namespace exitwatch::testing {
namespace {

using std::chrono::seconds;
using LinuxEndToEnd = WatchdogTest;

const std::vector<std::string> as_nobody = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                            "--clear-groups"};

std::vector<std::string> joined(std::vector<std::string> first,
                                const std::vector<std::string>& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// A process this user may not end fails at the open, as an access-denied open on Windows,
// instead of a ten-second wait for a kill that cannot work.
TEST_P(LinuxEndToEnd, RefusesAnotherUsersProcessAtOnce) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to start the watchdog as another user";
    }
    Child victim = start_sleeper(milliseconds(60000));
    std::filesystem::permissions(scratch_.path(), std::filesystem::perms::all);
    const std::string pid = std::to_string(victim.pid());
    const Clock::time_point started = Clock::now();
    Child watchdog = start(joined(as_nobody, watchdog_command({pid})));
    const Finished run = finish(watchdog, started);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, "");
    EXPECT_LT(run.took, milliseconds(5000));
    EXPECT_EQ(run.log,
              log_lines("pidStr: " + pid, "pid: " + pid,
                        "Unable to find process: " + std::to_string(EPERM), "process exit"));
    EXPECT_TRUE(victim.running());
}

TEST_P(LinuxEndToEnd, WatchingItselfEndsItselfAfterTheKillNotice) {
    const Clock::time_point started = Clock::now();
    Child watchdog =
        start(joined(GetParam().prefix, {EXITWATCH_TEST_HELPER, "watch-self", EXITWATCH_PROGRAM}));
    const std::string pid = std::to_string(watchdog.pid());
    const Finished run = finish(watchdog, started);
    EXPECT_EQ(run.status, killed_status);
    EXPECT_GE(run.took, milliseconds(10000));
    EXPECT_EQ(run.log, log_lines("pidStr: " + pid, "pid: " + pid, "Still alive, will kill!!!"));
}

TEST_P(LinuxEndToEnd, StillKillsWhenTheLogCannotBeCreated) {
    std::filesystem::create_directory(scratch_.log_path());
    Child victim = start_sleeper(milliseconds(60000));
    const Finished run = run_watchdog({std::to_string(victim.pid())});
    expect_killed_after_grace_period(run, victim);
    EXPECT_TRUE(std::filesystem::is_empty(scratch_.log_path()));
}

// Root may write anywhere, so the folder that cannot be written is tried as another user.
TEST_P(LinuxEndToEnd, StillKillsWhenTheFolderIsReadOnly) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to start the processes as another user";
    }
    using std::filesystem::perms;
    std::filesystem::permissions(scratch_.path(), perms::owner_all | perms::group_read |
                                                      perms::group_exec | perms::others_read |
                                                      perms::others_exec);
    Child victim = start(joined(as_nobody, {EXITWATCH_TEST_HELPER, "sleep", "60000"}));
    std::this_thread::sleep_for(milliseconds(200));  // until setpriv has become the helper
    const Clock::time_point started = Clock::now();
    Child watchdog = start(joined(as_nobody, watchdog_command({std::to_string(victim.pid())})));
    const Finished run = finish(watchdog, started);
    expect_killed_after_grace_period(run, victim);
    EXPECT_FALSE(std::filesystem::exists(scratch_.log_path()));
}

// A write that fails half way (the file size limit) stops the log, not the run.
TEST_P(LinuxEndToEnd, StillKillsWhenAWriteFailsAfterTheOpen) {
    Child victim = start_sleeper(milliseconds(60000));
    const std::string pid = std::to_string(victim.pid());
    const Clock::time_point started = Clock::now();
    Child watchdog =
        start(joined({EXITWATCH_TEST_HELPER, "file-size-limit", "10"}, watchdog_command({pid})));
    const Finished run = finish(watchdog, started);
    expect_killed_after_grace_period(run, victim);
    EXPECT_EQ(run.log, killed_log(pid).substr(0, 10));
}

// Being stopped and continued during the wait moves the deadline neither way.
TEST_P(LinuxEndToEnd, KeepsItsDeadlineWhenStoppedAndContinued) {
    Child victim = start_sleeper(milliseconds(60000));
    const std::string pid = std::to_string(victim.pid());
    const Clock::time_point started = Clock::now();
    Child watchdog = start_watchdog({pid});
    std::this_thread::sleep_for(seconds(2));
    kill(static_cast<pid_t>(watchdog.pid()), SIGSTOP);
    std::this_thread::sleep_for(seconds(3));
    kill(static_cast<pid_t>(watchdog.pid()), SIGCONT);
    const Finished run = finish(watchdog, started);
    expect_killed_after_grace_period(run, victim);
    EXPECT_LT(run.took, milliseconds(12000));
    EXPECT_EQ(run.log, killed_log(pid));
}

// Processes that end right on the deadline, many at once: each run is one of the two
// outcomes, whole, and the victim's end agrees with its log.
TEST_P(LinuxEndToEnd, AProcessEndingOnTheDeadlineGivesOneOfTheTwoOutcomes) {
    constexpr std::size_t runs = 12;
    std::vector<ScratchDir> folders(runs);
    std::vector<Child> victims;
    std::vector<Child> watchdogs;
    for (std::size_t i = 0; i < runs; ++i) {
        const auto outputs = outputs_.path() / std::to_string(i);
        victims.push_back(
            Child::start({EXITWATCH_TEST_HELPER, "sleep", std::to_string(9995 + 1 * i)},
                         folders[i].path(), outputs.string() + "-victim"));
        watchdogs.push_back(Child::start(watchdog_command({std::to_string(victims.back().pid())}),
                                         folders[i].path(), outputs.string() + "-watchdog"));
    }
    for (std::size_t i = 0; i < runs; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(watchdogs[i].wait(), 0);
        const std::string pid = std::to_string(victims[i].pid());
        const std::string log = folders[i].read_log();
        const int victim_status = victims[i].wait();
        if (log == killed_log(pid)) {
            EXPECT_TRUE(victim_status == killed_status || victim_status == 0);
        } else {
            EXPECT_EQ(log, ended_in_time_log(pid));
            EXPECT_EQ(victim_status, 0);
        }
    }
}

// IDs that are no process must never reach a signal call, where 0 and negative IDs mean
// process groups or every process. Tried inside a PID namespace of its own, where a
// mistake can only hit a sibling that the helper then finds gone.
TEST_P(LinuxEndToEnd, SignalsNothingForIdsThatAreNoProcess) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root for a PID namespace";
    }
    for (const char* id :
         {"0", "-1", "-2", "2147483648", "4294967294", "4294967295", "4294967296", "99999999999"}) {
        SCOPED_TRACE(id);
        Child guard =
            start(joined({EXITWATCH_TEST_HELPER, "in-pid-namespace"}, watchdog_command({id})));
        EXPECT_EQ(guard.wait(), 0) << "the sibling did not survive";
        EXPECT_NE(scratch_.read_log().find("Unable to find process: " + std::to_string(EINVAL)),
                  std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryWay, LinuxEndToEnd, ::testing::ValuesIn(watchdog_launchers()),
                         launcher_name);

}  // namespace
}  // namespace exitwatch::testing
