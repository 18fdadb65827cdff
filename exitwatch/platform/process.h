// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <cstdint>
#include <utility>

namespace exitwatch::platform {

/// An open process that can be waited for and terminated: a HANDLE with SYNCHRONIZE and
/// PROCESS_TERMINATE rights on Windows; on Linux a pidfd, or where the kernel has none an
/// open /proc/PID/stat. Either keeps naming the same process when its ID is taken by
/// another one. Move-only; the destructor releases it, so it is closed exactly once.
class Process {
  public:
    /// Opens process `pid`. Empty on failure; last_error() then tells why.
    /// Windows: OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid); an ID that is not
    /// a multiple of 4, which OpenProcess would round down onto another process, fails with
    /// ERROR_INVALID_PARAMETER and no system call.
    /// Linux: pidfd_open(pid), then a null signal to prove the right to kill; IDs outside
    /// 1..INT_MAX fail with EINVAL and no system call, a process that this user may not
    /// signal fails with EPERM, one that does not exist with ESRCH, the ID of a thread
    /// other than a process's main one with pidfd_open's EINVAL or ENOENT. Where either
    /// call is missing or filtered (ENOSYS, or EPERM that kill(pid, 0) does not confirm),
    /// /proc/PID/stat is opened instead, kill(pid, 0) proves the right (also for a process
    /// that a /proc mounted with hidepid=invisible does not show: EPERM), and a thread's ID
    /// fails with EINVAL; a /proc of another PID namespace than the watchdog's, whose IDs
    /// name other processes than kill()'s, fails every ID with EXDEV and no signal.
    static Process open(std::uint32_t pid);

    Process(Process&& other) noexcept
        : native_(std::exchange(other.native_, none)), kind_(other.kind_) {}
    Process& operator=(Process&& other) noexcept {
        std::swap(native_, other.native_);
        std::swap(kind_, other.kind_);
        return *this;
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    /// Windows: CloseHandle. Linux: close(). The result is of no use to anyone.
    ~Process();

    explicit operator bool() const { return native_ != none; }

    /// Blocks until the process has ended (true, at once if it already had) or until
    /// `timeout` has passed since the call (false). A failed wait returns false too: the
    /// process may still be running. Windows: WaitForSingleObject. Linux: ppoll() on the
    /// pidfd and a CLOCK_MONOTONIC timerfd, so the deadline has no timer slack and a
    /// signal that interrupts the wait moves it neither way; without a timerfd, the least
    /// timer slack there is; without a pidfd, a look at /proc/PID/stat at most 10 ms
    /// apart, a zombie counting as ended once no other thread of it runs. Every pass reads
    /// the clock, so no answer of the system keeps the wait past its deadline. A look that
    /// cannot be taken proves nothing either way; a ppoll() or a pause between looks that
    /// fails otherwise than by being interrupted fails the wait, and so does a clock that
    /// cannot be read.
    [[nodiscard]] bool wait_for_exit(std::chrono::milliseconds timeout) const;

    /// Asks the system to end the process now; does not wait for it to happen.
    /// Windows: TerminateProcess(handle, exit_code). Linux: SIGKILL through the pidfd,
    /// since no process can give another one an exit code there; without a pidfd, SIGKILL
    /// by ID, only while the process with that ID has the start time of the one opened.
    void terminate(std::uint32_t exit_code) const;

  private:
    /// What the native value is, where a system can hold a process in more than one way:
    /// something the system reports the end on (a HANDLE, a pidfd), or something to look at
    /// again and again (Linux's /proc/PID/stat). Known from the open, never asked again.
    enum class Kind : std::uint8_t { waitable, looked_at };

    static constexpr std::intptr_t none = -1;

    explicit Process(std::intptr_t native, Kind kind = Kind::waitable)
        : native_(native), kind_(kind) {}

    std::intptr_t native_;
    Kind kind_;
};

/// The system error code of the calling thread's most recent failed call:
/// GetLastError() on Windows, errno on Linux.
[[nodiscard]] std::uint32_t last_error();

}  // namespace exitwatch::platform
