// Numbers in bytes: the 16-bit sum and the little-endian 16-bit number, as the cable and the
// variable files carry them, and the little-endian 32-bit number of bitmap headers.
//
// Principles of operation
// - Every 16-bit number on the cable and in a file is two bytes, low byte first. Every checksum,
//   of a packet's data or of a file's data section, is the sum of the bytes modulo 65536.
// - Header-only and free of state: the link library, the variable files, the virtual calculator,
//   the programs and the fuzz targets all use these, and nothing else, for both meanings.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

// The sum of `data` modulo 65536, added to `sum` (a running sum over bytes that come one by one).
constexpr std::uint16_t sum16(std::span<const std::uint8_t> data, std::uint16_t sum = 0) {
    for (const std::uint8_t byte : data)
        sum = static_cast<std::uint16_t>(sum + byte);
    return sum;
}

// The number in the first two bytes of `at`, low byte first.
constexpr std::uint16_t read_le16(std::span<const std::uint8_t> at) {
    return static_cast<std::uint16_t>(at[0] | at[1] << 8);
}

// The number in the first four bytes of `at`, low byte first.
constexpr std::uint32_t read_le32(std::span<const std::uint8_t> at) {
    return at[0] | at[1] << 8 | at[2] << 16 | std::uint32_t{at[3]} << 24;
}

// The two bytes of `value`, low byte first.
constexpr std::array<std::uint8_t, 2> le16(std::uint16_t value) {
    return {static_cast<std::uint8_t>(value & 0xFF), static_cast<std::uint8_t>(value >> 8)};
}

// Writes `value` into the first two bytes of `at`, low byte first.
constexpr void write_le16(std::span<std::uint8_t> at, std::uint16_t value) {
    const std::array<std::uint8_t, 2> bytes = le16(value);
    at[0] = bytes[0];
    at[1] = bytes[1];
}

// Appends `value` to `bytes`, low byte first. Byte by byte: g++ 12 at -O3 sees a false
// out-of-bounds copy in a range insert here.
inline void append_le16(std::vector<std::uint8_t>& bytes, std::uint16_t value) {
    const std::array<std::uint8_t, 2> two = le16(value);
    bytes.push_back(two[0]);
    bytes.push_back(two[1]);
}
