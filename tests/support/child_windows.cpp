// SPDX-License-Identifier: MIT
#include <windows.h>

#include <stdexcept>

#include "child.h"
#include "watchdog_fixture.h"

namespace exitwatch::testing {

const int killed_status = 1;
const std::uint32_t no_such_process_error = ERROR_INVALID_PARAMETER;
const std::uint32_t invalid_process_id_error = ERROR_INVALID_PARAMETER;

std::vector<std::string> program_command(const std::string& program) {
    return {program};
}

namespace {

/// Why the test helper `program` does not run here, in the system's words; empty where it
/// does. Tried, not guessed: Wine on a kernel that does not run 32-bit x86 code cannot
/// start a 32-bit program, nor can a 64-bit Windows without WOW64. Given no mode, the
/// helper answers 2; Wine reports 0 for a 32-bit program that it could not start.
std::string why_helper_does_not_run(const std::string& program) {
    const ScratchDir folder;
    const auto output = folder.path() / "output.txt";
    try {
        Child probe = Child::start({program}, folder.path(), output);
        const int status = probe.wait();
        return status == 2 ? ""
                           : "it exited with " + std::to_string(status) + " instead of 2. " +
                                 ScratchDir::read_file(output);
    } catch (const std::runtime_error& failed) {
        return failed.what();
    }
}

}  // namespace

// On 64-bit Windows the 32-bit program runs under WOW64 and mostly watches 64-bit
// processes: each build also watches the other build's helper, where that can run here.
std::vector<Launcher> watchdog_launchers() {
    std::vector<Launcher> launchers = {{"direct", {}}};
    const std::string other_bitness = EXITWATCH_OTHER_BITNESS_HELPER;
    if (!other_bitness.empty()) {
        static const std::string why_not = why_helper_does_not_run(other_bitness);
        launchers.push_back(
            {sizeof(void*) == 8 ? "watching_x86" : "watching_x64",
             {},
             other_bitness,
             why_not.empty() ? "" : "the other bitness's helper does not run here: " + why_not});
    }
    return launchers;
}

std::vector<Launcher> sandbox_launchers() {
    return {};
}

std::vector<VictimShape> victim_shapes() {
    return shapes_of_every_system();
}

namespace {

HANDLE handle_of(std::intptr_t native) {
    return reinterpret_cast<HANDLE>(native);
}

/// Quotes one argument so that the runtime's command-line split gives it back unchanged.
std::string quoted(const std::string& argument) {
    std::string result = "\"";
    std::size_t backslashes = 0;
    for (const char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        result.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        result += c;
    }
    result.append(backslashes * 2, '\\');
    return result + "\"";
}

}  // namespace

Child Child::start(const std::vector<std::string>& argv, const std::filesystem::path& working_dir,
                   const std::filesystem::path& output) {
    std::string command_line;
    for (const std::string& argument : argv) {
        command_line += (command_line.empty() ? "" : " ") + quoted(argument);
    }
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE out = CreateFileW(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             &inheritable, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = out;
    startup.hStdError = out;
    PROCESS_INFORMATION started{};
    const BOOL created = CreateProcessA(nullptr, command_line.data(), nullptr, nullptr, TRUE, 0,
                                        nullptr, working_dir.string().c_str(), &startup, &started);
    const DWORD error = created ? ERROR_SUCCESS : GetLastError();
    CloseHandle(out);
    if (!created) {
        throw std::runtime_error("cannot start " + command_line + ": error " +
                                 std::to_string(error));
    }
    CloseHandle(started.hThread);
    return Child(reinterpret_cast<std::intptr_t>(started.hProcess), started.dwProcessId,
                 command_line);
}

void Child::end() const {
    TerminateProcess(handle_of(native_), 9);
}

bool Child::ends_by(Clock::time_point until) const {
    const auto left = std::chrono::ceil<milliseconds>(until - Clock::now()).count();
    const DWORD timeout = left > 0 ? static_cast<DWORD>(left) : 0;
    const bool ended = WaitForSingleObject(handle_of(native_), timeout) == WAIT_OBJECT_0;
    EXPECT_TRUE(ended) << "still running when the test stopped waiting: " << command_;
    return ended;
}

int Child::wait(Clock::time_point until) {
    if (!ends_by(until)) {
        end();
    }
    WaitForSingleObject(handle_of(native_), INFINITE);
    DWORD exit_code = 0;
    GetExitCodeProcess(handle_of(native_), &exit_code);
    FILETIME created{};
    FILETIME ended{};
    FILETIME kernel{};
    FILETIME user{};
    if (GetProcessTimes(handle_of(native_), &created, &ended, &kernel, &user)) {
        const auto ticks = [](const FILETIME& time) {  // of 100 ns
            return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
        };
        processor_time_ = std::chrono::milliseconds((ticks(kernel) + ticks(user)) / 10000);
    }
    CloseHandle(handle_of(native_));
    released_ = true;
    return static_cast<int>(exit_code);
}

void Child::wait_for_end_and_hold() {
    (void)ends_by(Clock::now() + longest_wait);
}

bool Child::running() const {
    return WaitForSingleObject(handle_of(native_), 0) == WAIT_TIMEOUT;
}

}  // namespace exitwatch::testing
