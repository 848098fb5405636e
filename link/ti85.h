// The calculator's own fixed numbers, for every part that speaks to it or reads what it sent.
// Header-only, like link/bytes.h.
#pragma once

#include <cstddef>
#include <cstdint>

// The first byte of every packet: who sends it.
inline constexpr std::uint8_t MACHINE_ID_PC = 0x05;
inline constexpr std::uint8_t MACHINE_ID_TI85 = 0x85;

// The largest packet data the programs hold: the link library's packet buffer, where the
// sender also holds a file's data section whole.
inline constexpr std::size_t PACKET_DATA_MAX = 0x8000;

// The screen: 128 x 64 pixels, 16 bytes a row, the top row first, the leftmost pixel in a
// byte's most significant bit, a 1 bit dark. A screen sent by the screen request or PrtScrn is
// 1024 bytes.
inline constexpr int SCREEN_WIDTH = 128;
inline constexpr int SCREEN_HEIGHT = 64;
inline constexpr std::size_t SCREEN_ROW_BYTES = SCREEN_WIDTH / 8;
inline constexpr std::size_t SCREEN_BYTES = SCREEN_ROW_BYTES * SCREEN_HEIGHT;

// A picture variable holds the screen without its bottom row: its data are the 16-bit size
// 1008, then the 63 rows.
inline constexpr int PICTURE_ROWS = SCREEN_HEIGHT - 1;
inline constexpr std::uint16_t PICTURE_BYTES = PICTURE_ROWS * SCREEN_ROW_BYTES;
