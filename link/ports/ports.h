// Platform seam of the two-wire cables: the only code that touches I/O ports.
//
// The cable routines reach a two-wire cable through one port layer, three calls and nothing
// else. Every layer is in every build and init_link picks one with the cable and device of the
// run: the real x86 ports (real.cpp, glibc <sys/io.h>), the kernel's parallel-port driver
// (ppdev.cpp), a serial device's modem lines (tty.cpp), or the wire shared with vti85
// (virtual.cpp). The calculator model (calc/) is one more layer, which it puts in place for the
// tests. Nothing above this layer knows which one it runs on. The byte cables (TI's gray and USB
// cables) need no port.
#pragma once

#include <csignal>
#include <cstdint>

struct PortLayer {
    const char* name; // as linkcheck reports it: "real", "ppdev", "tty", "virtual"
    // Asks for access to one I/O port (one port, access on). False when it is refused, after
    // saying why on standard output.
    bool (*grant)(std::uint16_t port);
    // Writes one byte to an I/O port.
    void (*write)(std::uint16_t port, std::uint8_t value);
    // Reads one byte from an I/O port.
    std::uint8_t (*read)(std::uint16_t port);
};

extern const PortLayer real_ports;
extern const PortLayer ppdev_ports;
extern const PortLayer tty_ports;
extern const PortLayer virtual_ports;

// The layer in use: set by init_link for a two-wire cable, unless a harness has put its own in
// place first (the calculator model does).
extern const PortLayer* ports;

// The device that the ppdev, tty and virtual layers open on their first grant.
extern const char* port_device;

// Set by the link library just before its last write (the interrupt handler's or release_link's),
// which releases both lines. A port layer that waits for the far end before a write must not
// wait then: the far end may be gone, and the process is ending.
extern volatile std::sig_atomic_t port_abandoned;
