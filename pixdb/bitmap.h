// Reading the one kind of picture pixdb converts: a 96 x 64 Windows bitmap at 1 bit per pixel.
//
// The bitmap is read by its headers as the format defines them: the 14-byte file header (the
// signature "BM" and the offset of the pixels at bytes 10-13), then an information header whose
// size (bytes 14-17) tells its kind: 12 for the OS/2 core header (16-bit width and height,
// colour-table entries of 3 bytes), 40, 52, 56, 108 or 124 for the Windows headers (signed 32-bit
// width and height, entries of 4 bytes). A negative height means the rows are stored top row
// first. Accepted are exactly: width 96, height 64 or -64, one plane, 1 bit per pixel, no
// compression and a colour table of two entries.
//
// A pixel whose colour-table entry is the darker of the two (by luminance) is dark; with two equal
// entries colour 0 counts as dark, so the usual black-first file and one whose table says nothing
// both read as before.
//
// The file is read from its start, in order, and never past its last pixel byte, so a pipe works
// as well as a file and anything appended after the pixels is ignored.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

inline constexpr std::size_t picture_rows = 64;
inline constexpr std::size_t picture_row_bytes = 12; // 96 pixels, 8 a byte, leftmost in bit 7

// The picture, top row first; a 1 bit is a dark pixel.
using picture = std::array<std::array<std::uint8_t, picture_row_bytes>, picture_rows>;

enum class bitmap_read {
    ok,      // the picture was filled in
    refused, // not a bitmap pixdb accepts: the reason says why in one sentence
    failed,  // reading failed: errno tells why
};

// Reads a bitmap from the open descriptor fd, from its current position on (its start), after
// `start`: the first bytes of the file, if the caller has read them already.
// On refused, reason is one line without a line end, such as
// "It is 96 x 64 with 24 bits per pixel: save it as a monochrome (1-bit) BMP."
// Reads up to n bytes, fewer only at the end of the file. Returns the count, or -1 on an error.
long long read_fully(int fd, std::uint8_t* p, std::size_t n);

bitmap_read read_bitmap(int fd, picture& out, std::string& reason,
                        std::span<const std::uint8_t> start = {});
