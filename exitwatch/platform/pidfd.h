// SPDX-License-Identifier: MIT
#pragma once

// The pidfd system calls, where the C library may lack their wrappers (Linux only).
#include <csignal>

#include <sys/syscall.h>
#include <unistd.h>

// The numbers are the same on every architecture that has the calls.
#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434
#endif
#ifndef SYS_pidfd_send_signal
#define SYS_pidfd_send_signal 424
#endif

namespace exitwatch::platform {

/// A descriptor that names process `pid` until it is closed; -1 with errno on failure.
inline int pidfd_open(pid_t pid) {
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0U));
}

/// Sends `signal` (0 only checks the right to) to the process a pidfd names.
inline int pidfd_send_signal(int pidfd, int signal) {
    return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0U));
}

}  // namespace exitwatch::platform
