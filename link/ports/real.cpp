// Real port access on an x86 PC: ioperm once per port, then single in/out instructions.
#include "link/link.h"
#include "link/port_advice.h"
#include "link/ports/identity_calls.h"
#include "link/ports/ports.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <linux/capability.h>
#include <sys/io.h>
#include <unistd.h>

namespace {

bool has_raw_io() {
    CapabilitySets sets;
    return sys_capget(sets) == 0 && (sets.effective >> CAP_SYS_RAWIO & 1) != 0;
}

// What was refused and why; for the two usual refusals also what to do, as linkcheck says it.
void report_refusal(std::uint16_t port, int error) {
    std::printf("ioperm(0x%X): %s\n", port, std::strerror(error));
    if (error == ENOSYS) {
        std::printf("Likely cause: %s\n", ADVICE_NO_DIRECT_PORTS);
    } else if (error == EPERM) {
        // With the capability, only a locked-down kernel still says no.
        if (has_raw_io()) {
            std::printf("Likely cause: the kernel is locked down%s\n", ADVICE_LOCKDOWN);
        } else {
            std::printf("Likely cause: %s\n",
                        geteuid() == 0 ? ADVICE_CAPABILITY_TAKEN : ADVICE_NOT_PRIVILEGED);
        }
    }
}

bool grant(std::uint16_t port) {
    if (ioperm(port, 1, 1) == 0) return true;
    report_refusal(port, errno);
    return false;
}

// glibc's outb takes the value first and the port second.
void write(std::uint16_t port, std::uint8_t value) {
    outb(value, port);
}

std::uint8_t read(std::uint16_t port) {
    return inb(port);
}

} // namespace

const PortLayer real_ports{"real", grant, write, read};

bool direct_ports_offered(std::uint16_t port) {
    // Turning access off needs no capability; a kernel without ioperm refuses it all the same.
    return ioperm(port, 1, 0) == 0 || errno != ENOSYS;
}
