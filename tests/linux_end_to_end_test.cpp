// SPDX-License-Identifier: MIT
// The real program against real processes: what only Linux has, and the faults it must
// survive there.
#include <algorithm>
#include <csignal>
#include <thread>

#include <unistd.h>

#include "exitwatch/platform/pidfd.h"
#include "support/watchdog_fixture.h"

namespace exitwatch::testing {
namespace {

using std::chrono::seconds;

class LinuxEndToEnd : public WatchdogTest {
  protected:
    /// The command line of this machine's own test helper, which runs natively also where
    /// the tests run under an emulator, with `arguments`.
    [[nodiscard]] static std::vector<std::string> native_helper_command(
        const std::vector<std::string>& arguments) {
        return joined({EXITWATCH_NATIVE_HELPER}, arguments);
    }

    /// `command` run as user nobody. The build tree may lie in a folder that only its owner
    /// can enter, so this build's programs are replaced by copies that anyone can reach.
    std::vector<std::string> as_nobody(std::vector<std::string> command) {
        using std::filesystem::perms;
        const perms anyone_may_run = perms::owner_all | perms::group_read | perms::group_exec |
                                     perms::others_read | perms::others_exec;
        std::filesystem::permissions(programs_.path(), anyone_may_run);
        // The native helper and the emulated one have the same name.
        const std::string programs[] = {EXITWATCH_PROGRAM, EXITWATCH_TEST_HELPER,
                                        EXITWATCH_NATIVE_HELPER};
        for (std::string& argument : command) {
            const auto* program = std::find(std::begin(programs), std::end(programs), argument);
            if (program != std::end(programs)) {
                const auto copy =
                    programs_.path() / (std::to_string(program - programs) + "-" +
                                        std::filesystem::path(argument).filename().string());
                std::filesystem::copy_file(argument, copy,
                                           std::filesystem::copy_options::skip_existing);
                std::filesystem::permissions(copy, anyone_may_run);
                argument = copy.string();
            }
        }
        return joined({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"},
                      command);
    }

    /// The first line that the child started last writes, once it has written it.
    [[nodiscard]] std::string first_line_of_last_output() const {
        for (int look = 0; look < 500; ++look, std::this_thread::sleep_for(milliseconds(10))) {
            const std::string output = ScratchDir::read_file(last_output_);
            if (output.find('\n') != std::string::npos) {
                return output.substr(0, output.find('\n'));
            }
        }
        ADD_FAILURE() << "nothing written to " << last_output_;
        return "";
    }

    ScratchDir programs_;
};

/// Whether the launcher's filter fails `call`, one of the pidfd calls.
bool denies(const Launcher& launcher, const std::string& call) {
    return std::any_of(
        launcher.prefix.begin(), launcher.prefix.end(),
        [&](const std::string& part) { return part.find(call) != std::string::npos; });
}

/// What only a sandbox's filter can change: whom the watchdog may end at all.
class LinuxRefusals : public LinuxEndToEnd {
  protected:
    /// The run refused `id` at once with `error`, silently, and `process` runs on.
    static void expect_refused_at_once(const Finished& run, const std::string& id, int error,
                                       const Child& process) {
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.output, "");
        EXPECT_LT(run.took, milliseconds(5000));  // 0.5 s at most seen; a full wait: 10 s
        EXPECT_EQ(run.log,
                  log_lines("pidStr: " + id, "pid: " + id,
                            "Unable to find process: " + std::to_string(error), "process exit"));
        EXPECT_TRUE(process.running());
    }
};

/// What only the /proc path does: the kill by ID, guarded by the start time.
class ProcPath : public LinuxEndToEnd {};

// A process this user may not end fails at the open, as an access-denied open on Windows,
// instead of a ten-second wait for a kill that cannot work.
TEST_P(LinuxRefusals, RefusesAnotherUsersProcessAtOnce) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to start the watchdog as another user";
    }
    Child victim = start_sleeper(milliseconds(60000));
    std::filesystem::permissions(scratch_.path(), std::filesystem::perms::all);
    const std::string pid = std::to_string(victim.pid());
    expect_refused_at_once(run_to_end(as_nobody(watchdog_command({pid}))), pid, EPERM, victim);
    // Where /proc shows no other user's process (hidepid=invisible, systemd's
    // ProtectProc=invisible), the process is still told from one that does not exist.
    const std::vector<std::string> hiding_proc = {
        "/usr/bin/unshare",
        "--mount",
        "--propagation",
        "private",
        "/bin/sh",
        "-c",
        "mount -t proc -o hidepid=invisible proc /proc && exec \"$@\"",
        "sh"};
    if (Child probe = start(joined(hiding_proc, {"/bin/true"})); probe.wait() != 0) {
        GTEST_SKIP() << "no /proc with hidepid=invisible here: "
                     << ScratchDir::read_file(last_output_);
    }
    expect_refused_at_once(run_to_end(joined(hiding_proc, as_nobody(watchdog_command({pid})))), pid,
                           EPERM, victim);
}

// kill() takes the ID of any thread for its whole process, whose ID is another one: such
// an ID is refused at once, whichever way the watchdog opens.
TEST_P(LinuxRefusals, RefusesTheIdOfAThreadThatIsNotItsProcesssMainOne) {
    Child process = start(helper_command({"second-thread", "60000"}));
    const std::string thread = first_line_of_last_output();
    ASSERT_NE(thread, std::to_string(process.pid()));
    // Where pidfd_open is asked, its own answer, which Linux 6.9 changed from EINVAL to
    // ENOENT; else the /proc path's, EINVAL.
    int error = EINVAL;
    if (!denies(GetParam(), "pidfd_open") &&
        platform::pidfd_open(static_cast<pid_t>(std::stoi(thread))) < 0) {
        error = errno;
    }
    expect_refused_at_once(run_watchdog({thread}), thread, error, process);
}

// The process may end, be reaped and its ID go to a new process between the watchdog's
// last look and its kill. Without a pidfd it signals by ID only while the process with
// that ID started when the one it opened did; the helper makes the swap happen right there.
TEST_P(ProcPath, NeverKillsANewProcessThatTookTheIdJustBeforeTheKill) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root for a PID namespace and /proc/sys/kernel/ns_last_pid";
    }
    const Finished run =
        run_to_end(joined(native_helper_command({"reuse-id"}), watchdog_command({})));
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.log, killed_log("2"));  // the victim is process 2 of its namespace
}

// A /proc of another PID namespace (unshare --pid without --mount-proc) shows other
// processes under the IDs that kill() takes for this namespace's: every ID is refused at
// once, and process 2 of the namespace, the helper's sibling, lives on. Under a /proc of
// its own the same run watches that process and ends it. The helper is this machine's
// own: under qemu-user, the emulator's own thread would take ID 2.
TEST_P(ProcPath, RefusesEveryIdWhereProcIsAnotherPidNamespaces) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root for a PID namespace";
    }
    const Finished refused =
        run_to_end(joined(native_helper_command({"in-pid-namespace"}), watchdog_command({"2"})));
    EXPECT_EQ(refused.status, 0) << "the sibling did not survive";
    EXPECT_LT(refused.took, milliseconds(5000));  // 0.1 s at most seen; a wait: 10 s
    EXPECT_EQ(refused.log,
              log_lines("pidStr: 2", "pid: 2", "Unable to find process: " + std::to_string(EXDEV),
                        "process exit"));
    const Finished watched = run_to_end(
        joined(native_helper_command({"in-pid-namespace-with-proc"}), watchdog_command({"2"})));
    EXPECT_EQ(watched.status, 1) << "1: the sibling was ended";
    EXPECT_EQ(watched.log, killed_log("2"));
}

// Without a pidfd the kill goes by ID, and an ID is never a process group's: a process
// that does not lead its group is ended alone, and its group's leader, here its parent,
// lives on.
TEST_P(ProcPath, EndsTheProcessItWatchesAndNoOtherOfItsGroup) {
    Child parent = start(helper_command({"parent-of", "20000"}));
    const std::string child = first_line_of_last_output();
    const Finished run = run_watchdog({child});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.log, killed_log(child));
    EXPECT_EQ(parent.wait(), 0) << "1: the child outlived the kill; 137: the parent was killed";
}

// The grace period counts the time the machine runs, not the time since it booted, which
// also counts the time it was suspended: a boot-time clock far ahead does not shorten it.
TEST_P(LinuxEndToEnd, KeepsTheWholeGracePeriodWhenTheBootTimeClockIsFarAhead) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root for a time namespace";
    }
    const std::vector<std::string> boot_time_ahead = {"/usr/bin/unshare", "--time", "--boottime",
                                                      "3600"};
    if (Child probe = start(joined(boot_time_ahead, {"/bin/true"})); probe.wait() != 0) {
        GTEST_SKIP() << "no time namespace here: " << ScratchDir::read_file(last_output_);
    }
    Child victim = start_sleeper(milliseconds(60000));
    const std::string pid = std::to_string(victim.pid());
    const Finished run = run_to_end(joined(boot_time_ahead, watchdog_command({pid})));
    expect_killed_after_grace_period(run, victim);
    EXPECT_EQ(run.log, killed_log(pid));
}

// Without a vDSO the clock is read with a system call, which a seccomp filter may refuse
// (older container profiles refused the 64-bit time calls of 32-bit C libraries). A clock
// that cannot be read fails the wait as a failed pause does: the kill notice and the kill
// at once, never a kill at once without the notice, a spin, or a wait without end.
TEST_P(LinuxEndToEnd, KillsAtOnceWhenTheClockCannotBeRead) {
    // With a timerfd, and without one, where ppoll()'s own time-out keeps the deadline.
    for (const char* denied : {"clock_gettime", "clock_gettime,timerfd_create"}) {
        SCOPED_TRACE(denied);
        Child victim = start_sleeper(milliseconds(60000));
        const std::string pid = std::to_string(victim.pid());
        const std::vector<std::string> no_clock =
            joined(joined(native_helper_command({"deny", "EPERM", denied}), GetParam().prefix),
                   native_helper_command({"no-vdso"}));
        const Finished run =
            run_to_end(joined(no_clock, joined(program_command(EXITWATCH_PROGRAM), {pid})));
        EXPECT_EQ(run.status, 0) << run.output;
        EXPECT_LT(run.took, milliseconds(5000));  // 0.1 s at most seen; a spin or poll: 60 s
        EXPECT_LT(run.processor_time.count(), idle_wait_processor_time.count());
        EXPECT_EQ(run.log, killed_log(pid));
        EXPECT_EQ(victim.wait(), killed_status);
    }
}

TEST_P(LinuxEndToEnd, WatchingItselfEndsItselfAfterTheKillNotice) {
    const Clock::time_point started = Clock::now();
    Child watchdog = start(joined(helper_command({"watch-self"}), watchdog_command({})));
    const std::string pid = std::to_string(watchdog.pid());
    const Finished run = finish(watchdog, started);
    EXPECT_EQ(run.status, killed_status);
    EXPECT_GE(run.took, milliseconds(10000));
    EXPECT_EQ(run.log, log_lines("pidStr: " + pid, "pid: " + pid, "Still alive, will kill!!!"));
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
    Child victim = start(as_nobody(helper_command({"sleep", "60000"})));
    std::this_thread::sleep_for(milliseconds(200));  // until setpriv has become the helper
    const Finished run = run_to_end(as_nobody(watchdog_command({std::to_string(victim.pid())})));
    expect_killed_after_grace_period(run, victim);
    EXPECT_FALSE(std::filesystem::exists(scratch_.log_path()));
}

// A write that fails half way (the file size limit) stops the log, not the run.
TEST_P(LinuxEndToEnd, StillKillsWhenAWriteFailsAfterTheOpen) {
    Child victim = start_sleeper(milliseconds(60000));
    const std::string pid = std::to_string(victim.pid());
    const Finished run =
        run_to_end(joined(helper_command({"file-size-limit", "10"}), watchdog_command({pid})));
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
    EXPECT_LT(run.took, milliseconds(12000));  // 10.4 s at most seen; moved by the stop: 13 s
    EXPECT_EQ(run.log, killed_log(pid));
}

// The kernel lets the time-outs of ppoll() and clock_nanosleep(), which keep the deadline
// without a timerfd and on the /proc path, run late by the timer slack that the starter
// passes on (systemd's TimerSlackNSec=): the watchdog takes the least there is, 1 ns,
// before it waits. Counted, not timed: the benchmark times the deadline with such a slack.
TEST_P(LinuxEndToEnd, WaitsWithTheLeastTimerSlackWhateverItsStarterPassedOn) {
    Child victim = start_sleeper(milliseconds(3000));
    const std::string pid = std::to_string(victim.pid());
    const Clock::time_point started = Clock::now();
    Child watchdog =
        start(joined(helper_command({"timer-slack", "50000000"}), watchdog_command({pid})));
    const std::filesystem::path slack_file =
        "/proc/" + std::to_string(watchdog.pid()) + "/timerslack_ns";
    std::string slack;
    for (; watchdog.running() && slack != "1\n"; std::this_thread::sleep_for(milliseconds(10))) {
        const std::string read = ScratchDir::read_file(slack_file);
        slack = read.empty() ? slack : read;
    }
    const Finished run = finish(watchdog, started);
    if (slack.empty()) {
        GTEST_SKIP() << "cannot read " << slack_file << " (it needs CAP_SYS_NICE)";
    }
    EXPECT_EQ(slack, "1\n") << "the slack it waited with, in ns";
    EXPECT_EQ(run.log, ended_in_time_log(pid));
    EXPECT_EQ(victim.wait(), 0);
}

// Processes that end right on the deadline, many at once: each run is one of the two
// outcomes, whole, and the victim's end agrees with its log.
TEST_P(LinuxEndToEnd, AProcessEndingOnTheDeadlineGivesOneOfTheTwoOutcomes) {
    constexpr std::size_t runs = 24;
    std::vector<ScratchDir> folders(runs);
    std::vector<Child> victims;
    std::vector<Child> watchdogs;
    for (std::size_t i = 0; i < runs; ++i) {
        const auto outputs = outputs_.path() / std::to_string(i);
        victims.push_back(Child::start(helper_command({"sleep", std::to_string(9995 + 1 * i)}),
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
        Child guard = start(joined(helper_command({"in-pid-namespace"}), watchdog_command({id})));
        EXPECT_EQ(guard.wait(), 0) << "the sibling did not survive";
        EXPECT_NE(scratch_.read_log().find("Unable to find process: " + std::to_string(EINVAL)),
                  std::string::npos);
    }
}

/// The launchers under which the watchdog takes the /proc path.
std::vector<Launcher> proc_path_launchers() {
    std::vector<Launcher> launchers = watchdog_launchers();
    const std::vector<Launcher> sandboxes = sandbox_launchers();
    launchers.insert(launchers.end(), sandboxes.begin(), sandboxes.end());
    launchers.erase(
        std::remove_if(launchers.begin(), launchers.end(),
                       [](const Launcher& launcher) { return !denies(launcher, "pidfd_"); }),
        launchers.end());
    return launchers;
}

INSTANTIATE_TEST_SUITE_P(EveryWay, LinuxEndToEnd, ::testing::ValuesIn(watchdog_launchers()),
                         launcher_name);
INSTANTIATE_TEST_SUITE_P(EveryWay, LinuxRefusals, ::testing::ValuesIn(watchdog_launchers()),
                         launcher_name);
INSTANTIATE_TEST_SUITE_P(Sandboxed, LinuxRefusals, ::testing::ValuesIn(sandbox_launchers()),
                         launcher_name);
INSTANTIATE_TEST_SUITE_P(WithoutPidfds, ProcPath, ::testing::ValuesIn(proc_path_launchers()),
                         launcher_name);

}  // namespace
}  // namespace exitwatch::testing
