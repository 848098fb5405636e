// Virtual port access: the output and input registers are a wire shared with vti85.
#include "cli/cli.h"
#include "link/ports/ports.h"
#include "link/ports/virtual_wire.h"
#include "link/wire.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

VirtualWire* wire = nullptr;

bool attach() {
    const int fd = open(port_device, O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0 && errno == ELOOP) {
        // Planted there: vti85 lays a file, never a link.
        std::printf("%s is a symbolic link, not a virtual link cable.\n",
                    printable(port_device).c_str());
        return false;
    }
    if (fd < 0) {
        const char* why = std::strerror(errno); // before printable, which allocates
        std::printf("No virtual calculator at %s (%s): start vti85 first.\n",
                    printable(port_device).c_str(), why);
        return false;
    }
    void* memory = mmap(nullptr, sizeof(VirtualWire), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (memory == MAP_FAILED || static_cast<VirtualWire*>(memory)->magic != VIRTUAL_WIRE_MAGIC) {
        std::printf("%s is not a virtual link cable.\n", printable(port_device).c_str());
        return false;
    }
    wire = static_cast<VirtualWire*>(memory);
    // A run on the virtual cable must never pass for one that drives a real cable.
    std::printf("Virtual cable: talking to vti85 through %s, not to a calculator.\n",
                printable(port_device).c_str());
    std::fflush(stdout);
    return true;
}

bool grant(std::uint16_t) {
    return wire != nullptr || attach();
}

void write(std::uint16_t, std::uint8_t value) {
    if (wire == nullptr) return;
    // The interrupt handler's release goes out at once: vti85 may have died or stopped.
    for (int spins = 0;
         port_abandoned == 0 && wire->writes_seen.load() != wire->pc_writes.load();) {
        const std::uint32_t seen = wire->changes.load();
        if (wire->writes_seen.load() == wire->pc_writes.load()) break;
        if (++spins >= SPIN_BEFORE_SLEEP) wire_wait(*wire, seen);
    }
    wire->pc_output.store(value);
    wire->pc_writes.fetch_add(1);
    wire_changed(*wire);
}

std::uint8_t read(std::uint16_t) {
    if (wire == nullptr) return LINE_A | LINE_B;
    static std::uint8_t last = 0xFF;
    static int same = 0;
    const std::uint32_t seen = wire->changes.load();
    // Count the read before looking: a read counted after a change sees that change.
    wire->pc_reads.fetch_add(1);
    const std::uint8_t value = line_bits(wire->pc_output.load(), wire->calc_pulls.load());
    if (value != last) {
        last = value;
        same = 0;
    } else if (++same >= SPIN_BEFORE_SLEEP) {
        // Tell the calculator we have looked, then sleep until it moves.
        same = 0;
        wire_changed(*wire);
        wire_wait(*wire, seen + 1);
    }
    return value;
}

} // namespace

const PortLayer virtual_ports{"virtual", grant, write, read};
