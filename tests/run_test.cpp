// SPDX-License-Identifier: MIT
#include "exitwatch/exitwatch.h"

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_process.h"
#include "support/scratch_dir.h"

namespace exitwatch {
namespace {

using testing::fake_system;
using testing::log_lines;
using testing::ScratchDir;

struct RunCase {
    const char* name;
    std::vector<std::string> arguments;  // after the program's own path
    bool open_succeeds;
    std::uint32_t open_error;
    bool ends_in_time;
    std::vector<std::string> expected_calls;
    std::string expected_log;
};

class RunTest : public ::testing::Test {
  protected:
    RunTest() : previous_(std::filesystem::current_path()) {
        std::filesystem::current_path(scratch_.path());
    }
    ~RunTest() override { std::filesystem::current_path(previous_); }

    /// Runs the watchdog with `arguments` against the fake system configured by `c`.
    int run_with(const RunCase& c) {
        fake_system() = {};
        fake_system().open_succeeds = c.open_succeeds;
        fake_system().open_error = c.open_error;
        fake_system().ends_in_time = c.ends_in_time;
        std::vector<std::string> storage = {"exitwatch"};
        storage.insert(storage.end(), c.arguments.begin(), c.arguments.end());
        std::vector<char*> argv;
        for (std::string& argument : storage) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        return run(static_cast<int>(storage.size()), argv.data());
    }

    void write_earlier_log() const {
        std::ofstream earlier(scratch_.log_path());
        earlier << "left over from an earlier run\n";
    }

    ScratchDir scratch_;
    std::filesystem::path previous_;
};

const std::vector<std::string> ended_in_time = {"open 812", "wait 10000", "close"};
const std::vector<std::string> killed = {"open 812", "wait 10000", "terminate 1", "close"};

// Each kind of run: the calls made, in order and with their arguments, and the log left.
TEST_F(RunTest, EachKindOfRunMakesItsCallsAndLeavesItsLog) {
    const RunCase cases[] = {
        {"no argument", {}, true, 0, true, {}, ""},
        {"the process ends in time",
         {"812"},
         true,
         0,
         true,
         ended_in_time,
         log_lines("pidStr: 812", "pid: 812", "process exit")},
        {"further arguments are ignored",
         {"812", "999", "x"},
         true,
         0,
         true,
         ended_in_time,
         log_lines("pidStr: 812", "pid: 812", "process exit")},
        {"the process outlives the grace period",
         {"812"},
         true,
         0,
         false,
         killed,
         log_lines("pidStr: 812", "pid: 812", "Still alive, will kill!!!", "process exit")},
        {"the open fails",
         {"812"},
         false,
         5,
         true,
         {"open 812", "last_error"},
         log_lines("pidStr: 812", "pid: 812", "Unable to find process: 5", "process exit")},
        {"text that is no number opens ID 0",
         {"abc"},
         false,
         87,
         true,
         {"open 0", "last_error"},
         log_lines("pidStr: abc", "pid: 0", "Unable to find process: 87", "process exit")},
        {"an empty argument",
         {""},
         false,
         87,
         true,
         {"open 0", "last_error"},
         log_lines("pidStr: ", "pid: 0", "Unable to find process: 87", "process exit")},
        {"a minus sign wraps",
         {"-1"},
         false,
         87,
         true,
         {"open 4294967295", "last_error"},
         log_lines("pidStr: -1", "pid: 4294967295", "Unable to find process: 87", "process exit")},
        {"a number above the range saturates",
         {"4294967297"},
         true,
         0,
         false,
         {"open 4294967295", "wait 10000", "terminate 1", "close"},
         log_lines("pidStr: 4294967297", "pid: 4294967295", "Still alive, will kill!!!",
                   "process exit")},
        {"the argument is logged unchanged",
         {" +7 x"},
         true,
         0,
         true,
         {"open 7", "wait 10000", "close"},
         log_lines("pidStr:  +7 x", "pid: 7", "process exit")},
    };
    for (const RunCase& c : cases) {
        SCOPED_TRACE(c.name);
        write_earlier_log();
        EXPECT_EQ(run_with(c), 0);
        EXPECT_EQ(fake_system().calls, c.expected_calls);
        EXPECT_TRUE(std::filesystem::exists(scratch_.log_path()));
        EXPECT_EQ(scratch_.read_log(), c.expected_log);
    }
}

TEST_F(RunTest, TheKillNoticeIsOnDiskBeforeTheKillAndTheHandleClosedBeforeTheEnd) {
    run_with({"", {"812"}, true, 0, false, {}, ""});
    EXPECT_EQ(fake_system().log_at_terminate,
              log_lines("pidStr: 812", "pid: 812", "Still alive, will kill!!!"));
    EXPECT_EQ(fake_system().log_at_close, fake_system().log_at_terminate);
}

// A write between the failed open and the error code could replace the code with its own.
TEST_F(RunTest, ReadsTheErrorCodeRightAfterTheFailedOpen) {
    run_with({"", {"812"}, false, 5, true, {}, ""});
    EXPECT_EQ(fake_system().log_at_last_error, log_lines("pidStr: 812", "pid: 812"));
}

// Without a log the process is still watched and killed, and no error code is fetched.
TEST_F(RunTest, WithoutALogTheProcessIsStillWatchedAndKilled) {
    std::filesystem::create_directory(scratch_.log_path());
    const RunCase cases[] = {
        {"killed", {"812"}, true, 0, false, killed, ""},
        {"ends in time", {"812"}, true, 0, true, ended_in_time, ""},
        {"the open fails", {"812"}, false, 3, true, {"open 812"}, ""},
    };
    for (const RunCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(run_with(c), 0);
        EXPECT_EQ(fake_system().calls, c.expected_calls);
        EXPECT_TRUE(std::filesystem::is_empty(scratch_.log_path()));
    }
}

}  // namespace
}  // namespace exitwatch
