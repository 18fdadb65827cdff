// SPDX-License-Identifier: MIT
// The real program on Windows: what only Windows has.
#include <windows.h>

#include <thread>
#include <utility>

#include "support/watchdog_fixture.h"

namespace exitwatch::testing {
namespace {

using WindowsEndToEnd = WatchdogTest;

// Another process holding the log without sharing it costs the entries, not the kill.
TEST_P(WindowsEndToEnd, StillKillsWhenAnotherProcessHoldsTheLogWithoutSharing) {
    Child holder = start(helper_command({"hold-log", "5000"}));
    const std::filesystem::path holder_output = last_output_;
    const Clock::time_point waiting_since = Clock::now();
    while (ScratchDir::read_file(holder_output).find("held") == std::string::npos) {
        ASSERT_LT(Clock::now() - waiting_since, std::chrono::seconds(30));
        std::this_thread::sleep_for(milliseconds(50));
    }
    Child victim = start_sleeper(milliseconds(60000));
    const Finished run = run_watchdog({std::to_string(victim.pid())});
    expect_killed_after_grace_period(run, victim);
    holder.wait();
    EXPECT_EQ(scratch_.read_log(), "");
}

// Windows ignores the two low bits of a process ID when it opens a process: the ID of a
// running process plus 1, 2 or 3 would open that process. Such IDs name none.
TEST_P(WindowsEndToEnd, RefusesAtOnceAnIdThatWindowsWouldRoundOntoARunningProcess) {
    Child victim = start_sleeper(milliseconds(60000));
    ASSERT_EQ(victim.pid() % 4, 0U);
    for (std::uint32_t off_by = 1; off_by <= 3; ++off_by) {
        const std::string id = std::to_string(victim.pid() + off_by);
        SCOPED_TRACE(id);
        const Finished run = run_watchdog({id});
        EXPECT_EQ(run.status, 0);
        EXPECT_LT(run.since_first_line, milliseconds(5000));  // 0.3 s at most seen; a wait: 10 s
        EXPECT_EQ(run.log, log_lines("pidStr: " + id, "pid: " + id, "Unable to find process: 87",
                                     "process exit"));
        EXPECT_TRUE(victim.running());
    }
}

// The manifest asks for no elevation: the program runs with its invoker's rights.
TEST_P(WindowsEndToEnd, CarriesAManifestThatAsksForNoElevation) {
    HMODULE program = LoadLibraryExA(EXITWATCH_PROGRAM, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(program, nullptr);
    HRSRC found = FindResourceA(program, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    ASSERT_NE(found, nullptr);
    const auto* bytes = static_cast<const char*>(LockResource(LoadResource(program, found)));
    const std::string manifest(bytes, SizeofResource(program, found));
    FreeLibrary(program);
    EXPECT_NE(manifest.find(R"(<requestedExecutionLevel level="asInvoker" uiAccess="false"/>)"),
              std::string::npos)
        << manifest;
}

TEST_P(WindowsEndToEnd, CarriesTheProjectVersionAndLicence) {
    const DWORD size = GetFileVersionInfoSizeA(EXITWATCH_PROGRAM, nullptr);
    ASSERT_GT(size, 0U);
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoA(EXITWATCH_PROGRAM, 0, size, info.data()));
    const std::pair<const char*, std::string> expected[] = {
        {"\\StringFileInfo\\040904B0\\FileVersion", EXITWATCH_VERSION},
        {"\\StringFileInfo\\040904B0\\ProductVersion", EXITWATCH_VERSION},
        {"\\StringFileInfo\\040904B0\\OriginalFilename", "exitwatch.exe"},
        {"\\StringFileInfo\\040904B0\\LegalCopyright", EXITWATCH_LEGAL_COPYRIGHT},
    };
    for (const auto& [key, value] : expected) {
        char* found = nullptr;
        UINT length = 0;
        ASSERT_TRUE(VerQueryValueA(info.data(), key, reinterpret_cast<void**>(&found), &length))
            << key;
        EXPECT_EQ(std::string(found), value) << key;
    }
}

INSTANTIATE_TEST_SUITE_P(EveryWay, WindowsEndToEnd, ::testing::ValuesIn(watchdog_launchers()),
                         launcher_name);

}  // namespace
}  // namespace exitwatch::testing
