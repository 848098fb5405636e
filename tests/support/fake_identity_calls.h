// Test support: a kernel on paper behind the privilege drop's system-call seam
// (link/ports/identity_calls.h), with the rules of Linux for changing IDs and capabilities.
//
// A test program that links fake_identity_calls.cpp gets these sys_* calls instead of the real
// ones: they read and change `kernel`, which the test sets up before each drop and reads after.
#pragma once

#include "link/ports/identity_calls.h"

#include <cstdint>
#include <linux/capability.h>
#include <string>

namespace testing_support {

struct Kernel {
    uid_t ruid = 1000, euid = 1000, suid = 1000;
    gid_t rgid = 100, egid = 100, sgid = 100;
    int groups = 2;
    CapabilitySets caps;
    std::string failing;            // this call fails with EPERM
    bool ignores_setresuid = false; // reports success and changes nothing
    int changes = 0;                // calls that asked for a change
};

extern Kernel kernel;

inline constexpr std::uint64_t ALL_CAPABILITIES = (std::uint64_t{1} << (CAP_LAST_CAP + 1)) - 1;
inline constexpr std::uint64_t RAWIO = std::uint64_t{1} << CAP_SYS_RAWIO;

} // namespace testing_support
