// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace exitwatch::testing {

/// How the parent sees a child that was forcibly ended: exit code 1 on Windows; on Linux,
/// where SIGKILL ends it, 128 + 9 as a shell reports it.
extern const int killed_status;
/// The error code of an open of a process ID that no process has.
extern const std::uint32_t no_such_process_error;
/// The error code of an open of ID 0, or of an ID that cannot name a process at all.
extern const std::uint32_t invalid_process_id_error;

/// How long a test waits for a child that it expects to end, where it sets no time of its
/// own: far longer than any run takes (a watchdog's 10 s, 13 s at most seen under qemu-user
/// on a busy machine), far shorter than ctest's time-out of a test.
inline constexpr std::chrono::seconds longest_wait{60};

/// A process started by a test. Ended and reaped when destroyed, if it still runs; on Linux
/// with its process group, which holds whatever it started in turn.
class Child {
  public:
    /// Starts `argv` in `working_dir`, with its standard output and error going to `output`.
    static Child start(const std::vector<std::string>& argv,
                       const std::filesystem::path& working_dir,
                       const std::filesystem::path& output);

    Child(Child&& other) noexcept
        : native_(other.native_),
          pid_(other.pid_),
          command_(std::move(other.command_)),
          released_(std::exchange(other.released_, true)) {}
    Child& operator=(Child&&) = delete;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() {
        if (!released_) {
            end();
            wait();
        }
    }

    [[nodiscard]] std::uint32_t pid() const { return pid_; }

    /// Waits for the end and releases the child; returns its exit code (128 + signal on Linux).
    /// A child still running at `until` fails the test, which names it, and is ended.
    int wait(std::chrono::steady_clock::time_point until = std::chrono::steady_clock::now() +
                                                           longest_wait);
    /// The processor time that the child used, in user and kernel mode, known once wait()
    /// has returned: what it did, whatever the time it spent waiting for a processor.
    [[nodiscard]] std::chrono::milliseconds processor_time() const { return processor_time_; }
    /// How often the child gave up the processor to wait (its voluntary context switches),
    /// known once wait() has returned: a wait that sleeps between looks does so once a look.
    /// Windows does not count them: 0 there.
    [[nodiscard]] long sleeps() const { return sleeps_; }
    /// Waits for the end but keeps holding the child, so that its ID still opens; a child
    /// still running after longest_wait fails the test, which names it.
    void wait_for_end_and_hold();
    /// True when the child has not ended yet.
    [[nodiscard]] bool running() const;

  private:
    Child(std::intptr_t native, std::uint32_t pid, std::string command)
        : native_(native), pid_(pid), command_(std::move(command)) {}

    /// Whether the child has ended by `until`, which is a failure of the test when not.
    [[nodiscard]] bool ends_by(std::chrono::steady_clock::time_point until) const;
    /// Ends the child at once, and on Linux its process group too.
    void end() const;

    std::intptr_t native_;
    std::uint32_t pid_;
    std::string command_;
    bool released_ = false;
    std::chrono::milliseconds processor_time_{0};
    long sleeps_ = 0;
};

}  // namespace exitwatch::testing
