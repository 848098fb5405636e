// Real port access on an x86 PC: ioperm once per port, then single in/out instructions.
#include "link/port_advice.h"
#include "link/ports/ports.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <linux/capability.h>
#include <sys/io.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

bool has_raw_io() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    return (data[CAP_TO_INDEX(CAP_SYS_RAWIO)].effective & CAP_TO_MASK(CAP_SYS_RAWIO)) != 0;
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

} // namespace

bool port_grant(std::uint16_t port) {
    if (ioperm(port, 1, 1) == 0) return true;
    report_refusal(port, errno);
    return false;
}

// glibc's outb takes the value first and the port second.
void port_write(std::uint16_t port, std::uint8_t value) {
    outb(value, port);
}

std::uint8_t port_read(std::uint16_t port) {
    return inb(port);
}
