// The real identity calls. Capabilities go through the raw system calls: the programs depend on
// nothing beyond the C library.
#include "link/ports/identity_calls.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

int sys_getresuid(uid_t& real, uid_t& effective, uid_t& saved) {
    return getresuid(&real, &effective, &saved);
}

int sys_getresgid(gid_t& real, gid_t& effective, gid_t& saved) {
    return getresgid(&real, &effective, &saved);
}

int sys_setresuid(uid_t real, uid_t effective, uid_t saved) {
    return setresuid(real, effective, saved);
}

int sys_setresgid(gid_t real, gid_t effective, gid_t saved) {
    return setresgid(real, effective, saved);
}

// Version 3 of the interface: 64-bit sets, each split into two 32-bit halves.
int sys_capget(CapabilitySets& sets) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (syscall(SYS_capget, &header, data) != 0) return -1;
    const auto join = [](std::uint32_t low, std::uint32_t high) {
        return static_cast<std::uint64_t>(high) << 32 | low;
    };
    sets.effective = join(data[0].effective, data[1].effective);
    sets.permitted = join(data[0].permitted, data[1].permitted);
    sets.inheritable = join(data[0].inheritable, data[1].inheritable);
    return 0;
}

int sys_capset(const CapabilitySets& sets) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    for (int half = 0; half < 2; ++half) {
        const int shift = 32 * half;
        data[half].effective = static_cast<std::uint32_t>(sets.effective >> shift);
        data[half].permitted = static_cast<std::uint32_t>(sets.permitted >> shift);
        data[half].inheritable = static_cast<std::uint32_t>(sets.inheritable >> shift);
    }
    return static_cast<int>(syscall(SYS_capset, &header, data));
}
