// Platform seam: the only code that touches I/O ports.
//
// The link library reaches a two-wire cable through these three calls and nothing else. Each
// file of this folder satisfies this header, and the build links one into the programs: the
// real x86 ports (real.cpp, glibc <sys/io.h>), the kernel's parallel-port driver (ppdev.cpp),
// a serial device's modem lines (tty.cpp), or the wire shared with vti85 (virtual.cpp). The
// tests link the modelled wire of the virtual calculator (calc/) instead. Nothing above this
// layer knows which one it runs on. The byte cables (TI's gray and USB cables) need no port.
#pragma once

#include <csignal>
#include <cstdint>

// Asks for access to one I/O port (one port, access on). Returns false when it is refused.
bool port_grant(std::uint16_t port);

// Writes one byte to an I/O port.
void port_write(std::uint16_t port, std::uint8_t value);

// Reads one byte from an I/O port.
std::uint8_t port_read(std::uint16_t port);

// Set by the link library's interrupt handler just before its last write, which releases both
// lines. A port layer that waits for the far end before a write must not wait then: the far end
// may be gone, and the process is ending.
extern volatile std::sig_atomic_t port_abandoned;
