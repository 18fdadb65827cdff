// SPDX-License-Identifier: MIT
#include "pidfd.h"
#include "process.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <climits>
#include <csignal>
#include <optional>
#include <string_view>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

namespace exitwatch::platform {
namespace {

/// CLOCK_MONOTONIC, which the timers and pauses below take their times on, read here:
/// std::chrono::steady_clock::now() is compiled into the C++ library, which the program
/// does not link where it is built on another C library. Empty where the clock cannot be
/// read (no vDSO, and a filter that refuses the call): a wait without the time can neither
/// keep its deadline nor tell that it has passed, and fails.
struct Clock {
    using duration = std::chrono::nanoseconds;
    using time_point = std::chrono::time_point<Clock>;

    static std::optional<time_point> now() {
        timespec now{};
        if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
            return std::nullopt;
        }
        return time_point(std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec));
    }
};
using Deadline = Clock::time_point;

constexpr std::chrono::milliseconds longest_look_interval{10};
// Without a timer, ppoll()'s own time-out ends the wait, and the kernel lets a time-out run
// late by a thousandth of its length (a two-hundredth for a niced process), and by the
// thread's timer slack at least. So each poll waits half the time left, which its slack
// cannot carry past the deadline, until only this much is left, which the last poll waits
// out whole: eleven polls in ten seconds, the last one late by the timer slack alone.
constexpr std::chrono::milliseconds last_stretch{10};

/// Owns a file descriptor that lives only within one operation. Closing it leaves errno
/// alone, so that a failure that is reported later is the one that happened.
class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd& operator=(Fd&&) = delete;
    ~Fd() {
        if (fd_ >= 0) {
            const int error = errno;
            ::close(fd_);
            errno = error;
        }
    }
    [[nodiscard]] int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }

  private:
    int fd_;
};

/// A time on the clock (since its epoch) or a length of time, as the system calls take it.
timespec to_timespec(Clock::duration time) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(time);
    const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(time - seconds);
    return {static_cast<time_t>(seconds.count()), static_cast<long>(nanoseconds.count())};
}

/// A timerfd that turns readable at `deadline`; invalid when the system has none to spare.
/// Unlike ppoll()'s own time-out it carries no slack.
Fd deadline_timer(Deadline deadline) {
    Fd timer{timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC)};
    const itimerspec expiry{{0, 0}, to_timespec(deadline.time_since_epoch())};
    if (timer && timerfd_settime(timer.get(), TFD_TIMER_ABSTIME, &expiry, nullptr) != 0) {
        return Fd{-1};
    }
    return timer;
}

/// How long the next ppoll() without a timer waits: half the time left, or the last stretch.
timespec next_poll_timeout(Deadline now, Deadline deadline) {
    const Clock::duration left = std::max(deadline - now, Clock::duration::zero());
    return to_timespec(left > last_stretch ? left / 2 : left);
}

/// The clock is read on every pass, with or without a timer: a ppoll() that is
/// interrupted again and again ends at the deadline all the same.
bool wait_for_pidfd(int pidfd, Deadline deadline) {
    const Fd timer = deadline_timer(deadline);
    std::array<pollfd, 2> watched{{{pidfd, POLLIN, 0}, {timer.get(), POLLIN, 0}}};
    for (std::optional<Deadline> now = Clock::now(); now && *now < deadline; now = Clock::now()) {
        const timespec timeout = next_poll_timeout(*now, deadline);
        const int ready =
            ppoll(watched.data(), watched.size(), timer ? nullptr : &timeout, nullptr);
        if (ready < 0 && errno != EINTR) {
            return false;
        }
        if (watched[0].revents != 0) {
            return (watched[0].revents & (POLLIN | POLLHUP)) != 0;
        }
        if (watched[1].revents != 0) {
            return false;
        }
    }
    return false;
}

struct ProcStat {
    pid_t pid;
    char state;                     // of the process's main thread
    long threads;                   // of the process, an ended main thread among them
    unsigned long long start_time;  // clock ticks after boot
};

/// `text` up to the first `end`, or all of it where there is none.
std::string_view up_to(std::string_view text, char end) {
    return {text.data(), std::min(text.find(end), text.size())};
}

/// Field `number` (counted from 1) of /proc/PID/stat, given the text behind the command
/// name, which starts with field 3. Empty when there is no such field.
std::string_view stat_field(std::string_view behind_name, int number) {
    for (int field = 3; field < number; ++field) {
        const std::size_t blank = behind_name.find(' ');
        if (blank == std::string_view::npos) {
            return {};
        }
        behind_name.remove_prefix(blank + 1);
    }
    return up_to(behind_name, ' ');
}

template <typename Number>
bool parse_whole(std::string_view text, Number& number) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    return error == std::errc() && end == text.data() + text.size();
}

/// Reads a held /proc/PID/stat afresh. Empty with errno set when it cannot be read;
/// ESRCH means the process it was opened for is gone, and an empty or garbled text is an
/// EINVAL, never an errno left by an earlier call.
std::optional<ProcStat> read_stat(int file) {
    std::array<char, 1024> buffer{};
    const ssize_t length = pread(file, buffer.data(), buffer.size(), 0);
    if (length < 0) {
        return std::nullopt;
    }
    const std::string_view text(buffer.data(), static_cast<std::size_t>(length));
    // The command name in parentheses may hold blanks and parentheses of its own. Without
    // one the text behind it is empty, and so is every field looked for there.
    const std::size_t name_end = text.rfind(") ");
    std::string_view behind_name = text;
    behind_name.remove_prefix(name_end == std::string_view::npos ? text.size() : name_end + 2);
    ProcStat stat{};
    if (!parse_whole(up_to(text, ' '), stat.pid) ||
        !parse_whole(stat_field(behind_name, 20), stat.threads) ||
        !parse_whole(stat_field(behind_name, 22), stat.start_time)) {
        errno = EINVAL;
        return std::nullopt;
    }
    stat.state = behind_name.front();
    return stat;
}

/// A failed open inside /proc means that the process is not there (any more).
int open_in_proc(int directory, const char* path, int flags) {
    const int file = ::openat(directory, path, flags | O_RDONLY | O_CLOEXEC);
    if (file < 0 && errno == ENOENT) {
        errno = ESRCH;
    }
    return file;
}

/// The folder /proc/PID; -1 with errno ESRCH when no process or thread has that ID.
Fd open_proc_directory(pid_t pid) {
    constexpr std::string_view proc = "/proc/";
    std::array<char, proc.size() + 10 + 1> path{};  // the zeroed array ends the path
    std::to_chars(std::copy(proc.begin(), proc.end(), path.data()), &path.back(), pid);
    return Fd{open_in_proc(AT_FDCWD, path.data(), O_DIRECTORY)};
}

/// The stat file in a /proc/PID folder; -1 with errno as for open_in_proc().
Fd open_stat(const Fd& directory) {
    return Fd{directory ? open_in_proc(directory.get(), "stat", 0) : -1};
}

/// The process that the thread of a /proc/PID folder belongs to (its Tgid); -1 with errno
/// when that cannot be read.
pid_t process_of_thread(const Fd& directory) {
    const Fd status{open_in_proc(directory.get(), "status", 0)};
    std::array<char, 512> buffer{};
    const ssize_t length = status ? pread(status.get(), buffer.data(), buffer.size(), 0) : -1;
    std::string_view text(buffer.data(), static_cast<std::size_t>(std::max<ssize_t>(length, 0)));
    constexpr std::string_view label = "\nTgid:\t";
    const std::size_t at = text.find(label);
    text.remove_prefix(at == std::string_view::npos ? text.size() : at + label.size());
    pid_t process = -1;
    if (length >= 0 && !parse_whole(up_to(text, '\n'), process)) {
        errno = EINVAL;
    }
    return process;
}

/// The state is the main thread's: a main thread that has ended reads Z while the other
/// threads of its process run on. The process has ended once that thread is the last.
bool has_ended(const std::optional<ProcStat>& stat) {
    if (!stat) {
        return errno == ESRCH;
    }
    return stat->state == 'X' || (stat->state == 'Z' && stat->threads <= 1);
}

/// Whether /proc names processes as kill() does: by the IDs of the watchdog's own PID
/// namespace. One mounted for another namespace (unshare --pid without --mount-proc, a
/// sandbox or container given the host's) shows other processes under the same IDs, and
/// its /proc/self names this process by another ID, or by none. EXDEV when it is not
/// this namespace's, or cannot be told to be.
bool proc_is_of_own_namespace() {
    std::array<char, 16> self{};
    const ssize_t length = readlink("/proc/self", self.data(), self.size());
    pid_t named = 0;
    if (length > 0 &&
        parse_whole(std::string_view(self.data(), static_cast<std::size_t>(length)), named) &&
        named == getpid()) {
        return true;
    }
    errno = EXDEV;
    return false;
}

/// The /proc path's open: /proc/PID/stat of a process that this user may signal, where
/// /proc is of this PID namespace. Other threads than a process's main one have /proc
/// entries too, and kill() takes their IDs for their whole process: such an ID fails with
/// EINVAL, as pidfd_open answers for it on the kernels that have it up to 6.8 (later ones
/// say ENOENT).
int open_proc_file(pid_t pid) {
    if (!proc_is_of_own_namespace()) {
        return -1;
    }
    const Fd directory = open_proc_directory(pid);
    // /proc mounted with hidepid=invisible (systemd's ProtectProc=invisible) has no entry
    // for another user's process, which kill() still tells from one that does not exist.
    if (!directory && errno == ESRCH) {
        kill(pid, 0);
        return -1;
    }
    Fd stat = open_stat(directory);
    const pid_t process = stat ? process_of_thread(directory) : -1;
    if (process != pid) {
        if (process > 0) {
            errno = EINVAL;
        }
        return -1;
    }
    if (kill(pid, 0) != 0 && errno == EPERM) {
        return -1;
    }
    return stat.release();
}

/// Looks at the process at most longest_look_interval apart, so that its end is noticed
/// within that time; the first looks come sooner for processes that end at once. A look
/// that fails otherwise than with ESRCH is no answer, and the next one is taken as usual.
/// A pause that cannot be taken fails the wait: going on without it would be a busy loop.
bool poll_proc_file(int stat, Deadline deadline) {
    std::chrono::milliseconds pause{1};
    for (;;) {
        if (has_ended(read_stat(stat))) {
            return true;
        }
        const std::optional<Deadline> now = Clock::now();
        if (!now || *now >= deadline) {
            return false;
        }
        const timespec wake = to_timespec(std::min(*now + pause, deadline).time_since_epoch());
        const int slept = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr);
        if (slept != 0 && slept != EINTR) {
            return false;
        }
        pause = std::min(pause * 2, longest_look_interval);
    }
}

/// Signals by ID only while that ID still names the held process: same start time.
void kill_proc_file(int stat) {
    const std::optional<ProcStat> held = read_stat(stat);
    if (!held || has_ended(held)) {
        return;
    }
    const Fd by_id_file = open_stat(open_proc_directory(held->pid));
    const std::optional<ProcStat> by_id = by_id_file ? read_stat(by_id_file.get()) : std::nullopt;
    if (by_id && by_id->start_time == held->start_time) {
        kill(held->pid, SIGKILL);
    }
}

}  // namespace

Process Process::open(std::uint32_t pid) {
    // 0 and negative IDs mean process groups or every process to kill(): never pass them on.
    if (pid == 0 || pid > INT_MAX) {
        errno = EINVAL;
        return Process(none);
    }
    const auto id = static_cast<pid_t>(pid);
    Fd pidfd{pidfd_open(id)};
    // A pidfd opens for any visible process; only a signal tells whether we may end it.
    // ESRCH there: the process has ended since the open, and the wait says so at once.
    if (pidfd && (pidfd_send_signal(pidfd.get(), 0) == 0 || errno == ESRCH)) {
        return Process(pidfd.release(), Kind::waitable);
    }
    // pidfd_open checks no permission, so EPERM from it, like ENOSYS, comes from a seccomp
    // filter or a security module. From pidfd_send_signal either may come from one too,
    // and then a pidfd that cannot kill is of no use. /proc serves in both cases, and its
    // own check of the right to signal refuses another user's process with EPERM.
    if (errno == ENOSYS || errno == EPERM) {
        return Process(open_proc_file(id), Kind::looked_at);
    }
    return Process(none);
}

Process::~Process() {
    if (native_ != none) {
        ::close(static_cast<int>(native_));
    }
}

bool Process::wait_for_exit(std::chrono::milliseconds timeout) const {
    // The kernel lets ppoll()'s and clock_nanosleep()'s time-outs run late by the timer
    // slack, which the starter passes on (50 us by default; systemd's TimerSlackNSec=, a
    // prctl() of its own): the wait takes the least there is. Where that is refused, the
    // inherited slack stays, and the wait with it.
    prctl(PR_SET_TIMERSLACK, 1UL);
    const std::optional<Deadline> now = Clock::now();
    if (!now) {
        return false;
    }
    const Deadline deadline = *now + timeout;
    const int fd = static_cast<int>(native_);
    return kind_ == Kind::looked_at ? poll_proc_file(fd, deadline) : wait_for_pidfd(fd, deadline);
}

void Process::terminate(std::uint32_t /*exit_code*/) const {
    const int fd = static_cast<int>(native_);
    if (kind_ == Kind::looked_at) {
        kill_proc_file(fd);
    } else {
        pidfd_send_signal(fd, SIGKILL);
    }
}

std::uint32_t last_error() {
    return static_cast<std::uint32_t>(errno);
}

}  // namespace exitwatch::platform
