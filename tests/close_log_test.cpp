// SPDX-License-Identifier: MIT
#include "exitwatch/close_log.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#ifndef _WIN32
#include <csignal>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "support/scratch_dir.h"

namespace exitwatch {
namespace {

using testing::line_end;
using testing::log_lines;
using testing::planted_names;
using testing::PlantedName;
using testing::ScratchDir;

/// Runs each test inside its own scratch folder, since the log goes to the working folder.
class CloseLogTest : public ::testing::Test {
  protected:
    CloseLogTest() : previous_(std::filesystem::current_path()) {
        std::filesystem::current_path(scratch_.path());
    }
    ~CloseLogTest() override { std::filesystem::current_path(previous_); }

    ScratchDir scratch_;
    std::filesystem::path previous_;
};

TEST_F(CloseLogTest, CreatesTheFileEmptyAndTruncatesAnEarlierRun) {
    {
        std::ofstream earlier(scratch_.log_path());
        earlier << "pidStr: 1\npid: 1\nprocess exit\n";
    }
    CloseLog log;
    ASSERT_TRUE(log.is_open());
    EXPECT_TRUE(std::filesystem::exists(scratch_.log_path()));
    EXPECT_EQ(std::filesystem::file_size(scratch_.log_path()), 0U);
}

// Every line is on disk, for any other reader, as soon as its write returns.
TEST_F(CloseLogTest, EachEntryIsReadableByAnotherReaderAsSoonAsItIsWritten) {
    struct Step {
        std::function<void(CloseLog&)> write;
        std::string line;
    };
    const std::vector<Step> steps = {
        {[](CloseLog& log) { log.write_argument("812"); }, "pidStr: 812"},
        {[](CloseLog& log) { log.write_process_id(812); }, "pid: 812"},
        {[](CloseLog& log) { log.write_process_id(4294967295U); }, "pid: 4294967295"},
        {[](CloseLog& log) { log.write_process_id(0); }, "pid: 0"},
        {[](CloseLog& log) { log.write_open_failure(87); }, "Unable to find process: 87"},
        {[](CloseLog& log) { log.write_open_failure(4294967295U); },
         "Unable to find process: 4294967295"},
        {[](CloseLog& log) { log.write_kill_notice(); }, "Still alive, will kill!!!"},
        {[](CloseLog& log) { log.write_end_marker(); }, "process exit"},
    };
    CloseLog log;
    std::string expected;
    for (const Step& step : steps) {
        step.write(log);
        expected += log_lines(step.line);
        EXPECT_EQ(scratch_.read_log(), expected);
    }
}

TEST_F(CloseLogTest, WritesTheArgumentByteForByte) {
    const std::string arguments[] = {
        "",          " 12 34 ",     "\xff\xfe\x80 \xc3\xa9", "%u %s %n",
        "tab\there", "semi;colon&", "quote\"d'arg",          "*",
    };
    for (const std::string& argument : arguments) {
        CloseLog log;
        log.write_argument(argument);
        EXPECT_EQ(scratch_.read_log(), "pidStr: " + argument + line_end);
    }
}

TEST_F(CloseLogTest, StoresALineFeedInsideTheArgumentLikeALineEnd) {
    CloseLog log;
    log.write_argument("1\n2");
    EXPECT_EQ(scratch_.read_log(), "pidStr: 1" + line_end + "2" + line_end);
}

// Other processes may open the log for reading and for writing while it is open.
TEST_F(CloseLogTest, SharesTheFileForReadingAndWriting) {
    CloseLog log;
    log.write_argument("5");
    std::fstream other(scratch_.log_path(), std::ios::in | std::ios::out | std::ios::binary);
    ASSERT_TRUE(other.is_open());
    std::string first_word;
    other >> first_word;
    EXPECT_EQ(first_word, "pidStr:");
}

#ifndef _WIN32
// Once a write has failed, the entries after it are skipped even where they could be
// written again: nothing is appended behind a broken line.
TEST_F(CloseLogTest, SkipsTheEntriesAfterAFailedWrite) {
    rlimit unlimited{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &unlimited), 0);
    rlimit ten_bytes = unlimited;
    ten_bytes.rlim_cur = 10;
    const auto default_action = std::signal(SIGXFSZ, SIG_IGN);  // the write fails instead
    {
        CloseLog log;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &ten_bytes), 0);
        log.write_argument("812");
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &unlimited), 0);
        log.write_process_id(812);
        log.write_end_marker();
    }
    std::signal(SIGXFSZ, default_action);
    EXPECT_EQ(scratch_.read_log(), "pidStr: 81");
}
#endif

// Whoever may write the folder may have put another name where the log goes: it is left
// as it is, nothing is written through it, and no open waits for a reader of a FIFO. A
// second hard link of another file gives way to a log of this run's.
TEST_F(CloseLogTest, LeavesANamePlantedInPlaceOfTheLogAsItIsAndBreaksASecondHardLink) {
    for (const PlantedName& name : planted_names()) {
        SCOPED_TRACE(name.kind);
        ScratchDir folder;
        if (!name.plant_in(folder).empty()) {
            continue;
        }
        std::filesystem::current_path(folder.path());
        const std::filesystem::path other = PlantedName::other_in(folder);
        const bool other_existed = std::filesystem::exists(other);
        const std::string other_held = ScratchDir::read_file(other);
        {
            CloseLog log;
            EXPECT_EQ(log.is_open(), name.log_made_anew);
            log.write_argument("1");
            log.write_process_id(1);
            log.write_open_failure(2);
            log.write_kill_notice();
            log.write_end_marker();
        }
        EXPECT_EQ(std::filesystem::exists(other), other_existed);
        EXPECT_EQ(ScratchDir::read_file(other), other_held);
        if (name.log_made_anew) {
            EXPECT_EQ(folder.read_log(),
                      log_lines("pidStr: 1", "pid: 1", "Unable to find process: 2",
                                "Still alive, will kill!!!", "process exit"));
        } else {
            EXPECT_FALSE(std::filesystem::is_regular_file(folder.log_path()) &&
                         std::filesystem::file_size(folder.log_path()) == 0);
        }
        std::filesystem::current_path(scratch_.path());
    }
}

#ifndef _WIN32
// Some devices and FIFOs act on an open: a FIFO's reader sees a writer come and go as a
// hang-up.
TEST_F(CloseLogTest, NeverOpensAFifoThatSomeoneReadsInPlaceOfTheLog) {
    ASSERT_EQ(mkfifo(scratch_.log_path().c_str(), 0666), 0);
    const int reader = ::open(scratch_.log_path().c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    EXPECT_FALSE(CloseLog().is_open());
    pollfd reading{reader, POLLIN, 0};
    EXPECT_EQ(poll(&reading, 1, 0), 0) << "the reader saw a writer: " << reading.revents;
    ::close(reader);
}
#endif

}  // namespace
}  // namespace exitwatch
