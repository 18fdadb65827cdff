// SPDX-License-Identifier: MIT
#pragma once

// Seccomp filters for the tests and the benchmark: system calls that fail as in a
// container or on an older kernel, and opens held until the test has done its part.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <vector>

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "exitwatch/platform/pidfd.h"

namespace exitwatch::testing {

// The system call convention of the programs started from here: this architecture's.
#if defined(__x86_64__)
inline constexpr std::uint32_t own_audit_arch = AUDIT_ARCH_X86_64;
#elif defined(__i386__)
inline constexpr std::uint32_t own_audit_arch = AUDIT_ARCH_I386;
#elif defined(__aarch64__)
inline constexpr std::uint32_t own_audit_arch = AUDIT_ARCH_AARCH64;
#elif defined(__arm__)
inline constexpr std::uint32_t own_audit_arch = AUDIT_ARCH_ARM;
#else
#error "the seccomp filter needs this architecture's AUDIT_ARCH_ value"
#endif

/// Installs a filter that answers each of `calls` with `action` for this process and every
/// program it then starts. Returns what seccomp() does: with
/// SECCOMP_FILTER_FLAG_NEW_LISTENER the listener of SECCOMP_RET_USER_NOTIF, else 0; -1
/// where no filter can be installed (qemu-user, for one, refuses them).
inline int filter_system_calls(const std::vector<std::uint32_t>& calls, std::uint32_t action,
                               unsigned int flags = 0) {
    std::vector<sock_filter> filter = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, own_audit_arch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
    };
    for (std::size_t i = 0; i < calls.size(); ++i) {
        // A match jumps over the other calls' tests and the ALLOW, to the action.
        const auto to_action = static_cast<unsigned char>(calls.size() - i);
        filter.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, calls[i], to_action, 0));
    }
    filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    filter.push_back(BPF_STMT(BPF_RET | BPF_K, action));
    const sock_fprog program{static_cast<unsigned short>(filter.size()), filter.data()};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        return -1;
    }
    return static_cast<int>(syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, flags, &program));
}

/// Makes `calls` fail with `error`, as a container's or a service's filter does.
inline bool deny_system_calls(const std::vector<std::uint32_t>& calls, int error) {
    const auto action = SECCOMP_RET_ERRNO | (static_cast<std::uint32_t>(error) & SECCOMP_RET_DATA);
    return filter_system_calls(calls, action) == 0;
}

/// Makes the pidfd calls answer ENOSYS, as on kernels before 5.3.
inline bool deny_pidfd_calls() {
    return deny_system_calls({SYS_pidfd_open, SYS_pidfd_send_signal}, ENOSYS);
}

}  // namespace exitwatch::testing
