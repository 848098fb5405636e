// Test support: the modelled kernel behind the identity calls (see fake_identity_calls.h).
#include "tests/support/fake_identity_calls.h"

#include <cerrno>

namespace testing_support {

Kernel kernel;

} // namespace testing_support

using testing_support::kernel;

namespace {

bool capable(int capability) {
    return (kernel.caps.effective >> capability & 1) != 0;
}

bool refused(const char* call) {
    if (kernel.failing != call) return false;
    errno = EPERM;
    return true;
}

// Without the capability a process may only pick among the IDs it already has.
template <typename Id> bool among(Id wanted, Id real, Id effective, Id saved) {
    return wanted == static_cast<Id>(-1) || wanted == real || wanted == effective ||
           wanted == saved;
}

template <typename Id> void assign(Id& id, Id wanted) {
    if (wanted != static_cast<Id>(-1)) id = wanted;
}

} // namespace

int sys_getresuid(uid_t& real, uid_t& effective, uid_t& saved) {
    real = kernel.ruid, effective = kernel.euid, saved = kernel.suid;
    return 0;
}

int sys_getresgid(gid_t& real, gid_t& effective, gid_t& saved) {
    real = kernel.rgid, effective = kernel.egid, saved = kernel.sgid;
    return 0;
}

int sys_setresuid(uid_t real, uid_t effective, uid_t saved) {
    ++kernel.changes;
    if (refused("setresuid")) return -1;
    const auto may = [](uid_t id) { return among(id, kernel.ruid, kernel.euid, kernel.suid); };
    if (!capable(CAP_SETUID) && !(may(real) && may(effective) && may(saved))) {
        errno = EPERM;
        return -1;
    }
    if (kernel.ignores_setresuid) return 0;
    const bool had_root = kernel.ruid == 0 || kernel.euid == 0 || kernel.suid == 0;
    const bool was_effective_root = kernel.euid == 0;
    assign(kernel.ruid, real);
    assign(kernel.euid, effective);
    assign(kernel.suid, saved);
    if (had_root && kernel.ruid != 0 && kernel.euid != 0 && kernel.suid != 0) {
        kernel.caps.permitted = kernel.caps.effective = 0;
    } else if (was_effective_root && kernel.euid != 0) {
        kernel.caps.effective = 0;
    }
    return 0;
}

int sys_setresgid(gid_t real, gid_t effective, gid_t saved) {
    ++kernel.changes;
    if (refused("setresgid")) return -1;
    const auto may = [](gid_t id) { return among(id, kernel.rgid, kernel.egid, kernel.sgid); };
    if (!capable(CAP_SETGID) && !(may(real) && may(effective) && may(saved))) {
        errno = EPERM;
        return -1;
    }
    assign(kernel.rgid, real);
    assign(kernel.egid, effective);
    assign(kernel.sgid, saved);
    return 0;
}

int sys_capget(CapabilitySets& sets) {
    sets = kernel.caps;
    return 0;
}

int sys_capset(const CapabilitySets& sets) {
    ++kernel.changes;
    if (refused("capset")) return -1;
    // Capabilities may be lowered freely, never raised.
    if ((sets.permitted & ~kernel.caps.permitted) != 0 || (sets.effective & ~sets.permitted) != 0) {
        errno = EPERM;
        return -1;
    }
    kernel.caps = sets;
    return 0;
}
