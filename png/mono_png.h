// PNG files as 1-bit pictures: what picvar, pixdb and the screen shot read and write.
//
// Principles of operation
// - A picture here is what the calculator shows: rows top first, 8 pixels a byte with the
//   leftmost in the most significant bit, a 1 bit for a dark pixel.
// - Reading takes a PNG of any bit depth, colour type and interlace. A pixel is dark where its
//   luminance (0.299 R + 0.587 G + 0.114 B, over white where it is partly transparent) is below
//   half of white; a transparent pixel is light. Gamma and colour profiles are not applied.
// - Writing makes a 1-bit PNG, each pixel scaled to N x N: black on white, or with the LCD
//   colours the calculator's own dark grey-green on light grey-green.
// - libpng reports its errors to a handler of ours that returns to the call (setjmp and
//   longjmp), so a damaged or truncated file is a refusal with libpng's reason, never a crash.
//   Nothing here prints, touches a file or ends the process: files arrive and leave in memory.
//
// Used by picvar and pixdb. Depends on libpng.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

struct mono_image {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint8_t> bits; // height rows of mono_row_bytes(width) bytes
};

constexpr std::size_t mono_row_bytes(std::uint32_t width) {
    return (std::size_t{width} + 7) / 8;
}

// Whether `file` begins with the 8-byte PNG signature.
bool is_png(std::span<const std::uint8_t> file);

// What a PNG's header says.
struct png_facts {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    int bit_depth = 0;
    int colour_type = 0; // 0 grey, 2 RGB, 3 palette, 4 grey and alpha, 6 RGB and alpha
    bool interlaced = false;
};

// For a message: "a 200 x 100 PNG (8-bit RGB, interlaced)".
std::string describe(const png_facts& facts);

enum class png_read {
    ok,         // image holds the picture
    other_size, // larger than the caller's limit: only facts are filled in
    refused,    // not a PNG, or damaged or incomplete: reason says why in a few words
};

// Reads the PNG in `file`, decoding it only when it is at most max_width x max_height pixels.
// On refused, reason is libpng's own, such as "IDAT: CRC error", or "the file ends early".
png_read read_png(std::span<const std::uint8_t> file, std::uint32_t max_width,
                  std::uint32_t max_height, png_facts& facts, mono_image& image,
                  std::string& reason);

inline constexpr int scale_min = 1;
inline constexpr int scale_max = 8;

// Encodes `image` as a 1-bit PNG into `out`, each pixel as scale x scale pixels (scale_min to
// scale_max), with the LCD colours when `lcd`. False, with libpng's reason, on failure.
bool write_png(const mono_image& image, int scale, bool lcd, std::string& out, std::string& reason);

// ---- The options of a program that writes PNG: -s N, -sN, --scale=N, --scale N, --lcd ----

struct png_look {
    int scale = 2;
    bool lcd = false;
};

// The command line with "-s N" and "--scale N" (before "--") joined into "--scale=N", one
// argument each, in `args`; `pointers` into them, to hand to read_command_line.
void join_scale_arguments(int argc, char** argv, std::vector<std::string>& args,
                          std::vector<char*>& pointers);

// Takes `argument` into `look` when it is one of these options. A scale that is no whole number
// from scale_min to scale_max leaves `look` as it is and sets `bad_scale` to the value given.
bool png_look_option(const char* argument, png_look& look, const char*& bad_scale);
