// System-call seam of the privilege drop: the process's user and group IDs and capabilities.
//
// The drop reaches the kernel through these calls and nothing else, so that its tests can run it
// against a modelled kernel: any starting state, and calls that fail or are silently ignored.
// identity_calls.cpp holds the real calls; each returns what the system call does (0, or -1 with
// errno set).
#pragma once

#include <cstdint>
#include <sys/types.h>

int sys_getresuid(uid_t& real, uid_t& effective, uid_t& saved);
int sys_getresgid(gid_t& real, gid_t& effective, gid_t& saved);
int sys_setresuid(uid_t real, uid_t effective, uid_t saved);
int sys_setresgid(gid_t real, gid_t effective, gid_t saved);

// The capability sets of the process, one bit per capability (bit 17 CAP_SYS_RAWIO).
struct CapabilitySets {
    std::uint64_t effective = 0;
    std::uint64_t permitted = 0;
    std::uint64_t inheritable = 0;
};

int sys_capget(CapabilitySets& sets);
int sys_capset(const CapabilitySets& sets);
