// The wire contract: the two ports a cable sits on, the three values this end ever writes to
// its output register and the two line bits of its input register.
//
// Shared by the cable routines, every port layer, the calculator model and linkcheck, so that
// all of them agree on which register is which and what a bit means.
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

// The lines as the input register shows them, given the computer's output register and the
// lines the calculator pulls (bit 0 line A, bit 1 line B). A line is high unless either end
// pulls it; output bit 1 low pulls line A, bit 0 low pulls line B.
constexpr std::uint8_t line_bits(std::uint8_t output, std::uint8_t calculator_pulls) {
    const bool a_high = (output & 0x02) != 0 && (calculator_pulls & 1) == 0;
    const bool b_high = (output & 0x01) != 0 && (calculator_pulls & 2) == 0;
    return static_cast<std::uint8_t>((a_high ? LINE_A : 0) | (b_high ? LINE_B : 0));
}
