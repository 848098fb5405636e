// Real port access on an x86 PC: ioperm once per port, then single in/out instructions.
#include "link/ports/ports.h"

#include <sys/io.h>

bool port_grant(std::uint16_t port) {
    return ioperm(port, 1, 1) == 0;
}

// glibc's outb takes the value first and the port second.
void port_write(std::uint16_t port, std::uint8_t value) {
    outb(value, port);
}

std::uint8_t port_read(std::uint16_t port) {
    return inb(port);
}
