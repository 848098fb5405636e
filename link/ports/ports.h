// Platform seam: the only code that touches I/O ports.
//
// The link library reaches the cable through these three calls and nothing else. Two
// implementations satisfy this header and one is chosen when a program is linked: the real
// x86 ports (ports_real.cpp, glibc <sys/io.h>) for the shipped programs, and the modelled wire
// of the virtual calculator for the tests. Nothing above this layer knows which one it runs on.
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
