// Privilege drop after the ports are granted.
#include "link/privileges.h"

#include "link/link.h"

#include "link/ports/identity_calls.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct Identity {
    uid_t real_uid, effective_uid, saved_uid;
    gid_t real_gid, effective_gid, saved_gid;
    CapabilitySets capabilities;
};

[[noreturn]] void give_up(const char* what) {
    std::printf("Cannot drop privileges (%s), aborting!\n", what);
    std::exit(1);
}

[[noreturn]] void call_failed(const char* call) {
    const char* why = std::strerror(errno);
    std::printf("Cannot drop privileges (%s: %s), aborting!\n", call, why);
    std::exit(1);
}

Identity current_identity() {
    Identity id{};
    if (sys_getresuid(id.real_uid, id.effective_uid, id.saved_uid) != 0) call_failed("getresuid");
    if (sys_getresgid(id.real_gid, id.effective_gid, id.saved_gid) != 0) call_failed("getresgid");
    if (sys_capget(id.capabilities) != 0) call_failed("capget");
    return id;
}

bool any_capability(const CapabilitySets& sets) {
    // The ambient set is always within the permitted one.
    return (sets.effective | sets.permitted | sets.inheritable) != 0;
}

bool privileged(const Identity& id) {
    return id.effective_uid != id.real_uid || id.saved_uid != id.real_uid ||
           id.effective_gid != id.real_gid || id.saved_gid != id.real_gid ||
           any_capability(id.capabilities);
}

} // namespace

bool runs_privileged() {
    const Identity id = current_identity();
    return id.real_uid != 0 && privileged(id);
}

void drop_privileges() {
    const Identity before = current_identity();
    if (before.real_uid == 0 || !privileged(before)) return;

    // The group ID first and the user ID last: each step needs privilege that the later one
    // takes. The supplementary groups are the user's own (a setuid program gains none), and
    // the user may need them to write where the files go.
    const gid_t gid = before.real_gid;
    if (sys_setresgid(gid, gid, gid) != 0) call_failed("setresgid");
    const uid_t uid = before.real_uid;
    if (sys_setresuid(uid, uid, uid) != 0) call_failed("setresuid");
    // Leaving root clears the capabilities; a file capability on an ordinary user's run stays
    // until it is cleared here. Lowering them needs no privilege.
    if (sys_capset(CapabilitySets{}) != 0) call_failed("capset");

    // Trust the kernel's word only after reading the result back.
    const Identity after = current_identity();
    if (after.real_uid != uid || after.real_gid != gid || privileged(after)) {
        give_up("still privileged afterwards");
    }
}
