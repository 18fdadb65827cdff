// SPDX-License-Identifier: MIT
#pragma once

// What the tests and the benchmark use to run the watchdog where pidfds are missing.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <iterator>

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>

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

/// Makes the pidfd calls of this process and of every program it then starts answer
/// ENOSYS, as on kernels before 5.3 and in some containers. False where that cannot be
/// done (qemu-user, for one, refuses seccomp filters).
inline bool deny_pidfd_calls() {
    constexpr auto enosys = SECCOMP_RET_ERRNO | (ENOSYS & SECCOMP_RET_DATA);
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, own_audit_arch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_pidfd_open, 2, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_pidfd_send_signal, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, enosys),
    };
    const sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

}  // namespace exitwatch::testing
