// Inside the link library: the cable routines behind put85 and get85, exposed for the tests.
#pragma once

#include <cstdint>

// Base addresses of the two ports: the standard ones unless the build names an add-in card's
// (the LINK_PARALLEL_BASE and LINK_SERIAL_BASE settings). Every file that includes this header
// must see the same values, so the build passes them to the link library's users and port layer.
#ifndef LINK_PARALLEL_BASE
#define LINK_PARALLEL_BASE 0x378
#endif
#ifndef LINK_SERIAL_BASE
#define LINK_SERIAL_BASE 0x3F8
#endif
static_assert(LINK_PARALLEL_BASE > 0 && LINK_PARALLEL_BASE + 1 <= 0xFFFF);
static_assert(LINK_SERIAL_BASE > 0 && LINK_SERIAL_BASE + 6 <= 0xFFFF);

inline constexpr std::uint16_t PARALLEL_BASE = LINK_PARALLEL_BASE;
inline constexpr std::uint16_t SERIAL_BASE = LINK_SERIAL_BASE;

inline constexpr std::uint16_t PARALLEL_OUT = PARALLEL_BASE;    // data register
inline constexpr std::uint16_t PARALLEL_IN = PARALLEL_BASE + 1; // status register
// Modem control register (bit 0 DTR, 1 RTS) and modem status register (bit 4 CTS, 5 DSR).
inline constexpr std::uint16_t SERIAL_OUT = SERIAL_BASE + 4;
inline constexpr std::uint16_t SERIAL_IN = SERIAL_BASE + 6;

// Values written to the output register: the only three the library ever writes.
inline constexpr std::uint8_t LINES_RELEASED = 0x03;
inline constexpr std::uint8_t PULL_A = 0x01;
inline constexpr std::uint8_t PULL_B = 0x02;

// Input register bits, the same on both cables.
inline constexpr std::uint8_t LINE_A = 0x10;
inline constexpr std::uint8_t LINE_B = 0x20;

void put85_parallel(std::uint8_t byte);
std::uint8_t get85_parallel();
void put85_connect85(std::uint8_t byte);
std::uint8_t get85_connect85();

// Writes value & 0x03 to the modem control register.
void setport(std::uint8_t value);
// The modem status lines as two bits: bit 0 line A, bit 1 line B.
std::uint8_t getport();

// Port first, value second (unlike glibc's routine of the same name).
void outb(std::uint16_t port, std::uint8_t value);

// Called after every read of a wait that goes on, in every wait of both cables: waits have no
// time limit, but a long one shows the person watching an armed hint (see hint_after_wait).
// timereset has no effect.
void timetest();
void timereset();
