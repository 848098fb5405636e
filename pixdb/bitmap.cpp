#include "pixdb/bitmap.h"

#include "link/bytes.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <unistd.h>

namespace {

constexpr std::size_t file_header_bytes = 14;
constexpr std::size_t largest_info_header = 124;
constexpr std::uint32_t core_header = 12; // OS/2: 16-bit sizes, 3-byte colour entries
constexpr std::uint32_t info_header_sizes[] = {core_header, 40, 52, 56, 108, 124};
constexpr std::size_t pixel_bytes = picture_rows * picture_row_bytes; // rows of 12 need no padding

constexpr const char* compression_names[] = {
    "none", "RLE8", "RLE4", "bit fields", "JPEG", "PNG", "alpha bit fields",
};

std::uint16_t u16(const std::uint8_t* p) {
    return read_le16({p, 2});
}

std::uint32_t u32(const std::uint8_t* p) {
    return read_le32({p, 4});
}

// The fields that decide whether the bitmap is accepted, whatever header kind held them.
struct header_fields {
    std::int64_t width;
    std::int64_t height; // negative: stored top row first
    std::uint32_t planes;
    std::uint32_t bits_per_pixel;
    std::uint32_t compression;
    std::uint32_t colours; // entries in the colour table, 0 meaning 2 at 1 bit per pixel
};

header_fields fields_of(const std::uint8_t* header, std::uint32_t size) {
    if (size == core_header) {
        return {u16(header + 18), u16(header + 20), u16(header + 22), u16(header + 24), 0, 0};
    }
    return {static_cast<std::int32_t>(u32(header + 18)),
            static_cast<std::int32_t>(u32(header + 22)),
            u16(header + 26),
            u16(header + 28),
            u32(header + 30),
            u32(header + 46)};
}

// The reason a bitmap with these fields is refused, or empty if it is accepted.
std::string refusal(const header_fields& f) {
    if (f.width != 96 || (f.height != 64 && f.height != -64)) {
        return "It is " + std::to_string(f.width) + " x " + std::to_string(std::llabs(f.height)) +
               " pixels: make it 96 x 64.";
    }
    if (f.planes != 1) {
        return "It has " + std::to_string(f.planes) +
               " colour planes: save it again as a monochrome (1-bit) BMP.";
    }
    if (f.bits_per_pixel != 1) {
        return "It is 96 x 64 with " + std::to_string(f.bits_per_pixel) +
               " bits per pixel: save it as a monochrome (1-bit) BMP.";
    }
    if (f.compression != 0) {
        const std::string method = f.compression < std::size(compression_names)
                                       ? compression_names[f.compression]
                                       : "method " + std::to_string(f.compression);
        return "It is compressed (" + method + "): save it as an uncompressed BMP.";
    }
    if (f.colours != 0 && f.colours != 2) {
        return "Its colour table has " + std::to_string(f.colours) +
               " entries instead of 2: save it as a monochrome (1-bit) BMP.";
    }
    return {};
}

// Keeps count of what was read, so that a file that ends early can say where.
struct reader {
    int fd;
    std::span<const std::uint8_t> pending; // read from fd before, given back first
    long long consumed = 0;
    bool failed = false;

    // True if all n bytes arrived.
    bool take(std::uint8_t* p, std::size_t n) {
        const std::size_t given = n < pending.size() ? n : pending.size();
        std::copy_n(pending.begin(), given, p);
        pending = pending.subspan(given);
        consumed += static_cast<long long>(given);
        const long long got = read_fully(fd, p + given, n - given);
        if (got < 0) {
            failed = true;
            return false;
        }
        consumed += got;
        return got == static_cast<long long>(n - given);
    }

    // Reads and drops n bytes: what lies between the colour table and the pixels.
    bool skip(std::uint32_t n) {
        std::uint8_t scrap[4096];
        while (n > 0) {
            const std::uint32_t part = n < sizeof scrap ? n : std::uint32_t{sizeof scrap};
            if (!take(scrap, part)) return false;
            n -= part;
        }
        return true;
    }
};

bool known_header(std::uint32_t size) {
    for (const std::uint32_t known : info_header_sizes)
        if (size == known) return true;
    return false;
}

// Rec. 601 luma of a colour-table entry stored blue, green, red.
unsigned luminance(const std::uint8_t* entry) {
    return 114u * entry[0] + 587u * entry[1] + 299u * entry[2];
}

} // namespace

// Reads up to n bytes, fewer only at the end of the file. Returns the count, or -1 on an error.
long long read_fully(int fd, std::uint8_t* p, std::size_t n) {
    std::size_t got = 0;
    while (got < n) {
        const ssize_t r = ::read(fd, p + got, n - got);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (r == 0) break;
        got += static_cast<std::size_t>(r);
    }
    return static_cast<long long>(got);
}

bitmap_read read_bitmap(int fd, picture& out, std::string& reason,
                        std::span<const std::uint8_t> start) {
    reader in{fd, start};
    const auto cut_short = [&](const char* where) {
        if (in.failed) return bitmap_read::failed;
        reason = "It ends after " + std::to_string(in.consumed) + " bytes, " + where +
                 ": the file is incomplete.";
        return bitmap_read::refused;
    };

    std::uint8_t header[file_header_bytes + largest_info_header];
    const bool whole_start = in.take(header, file_header_bytes + 4);
    if (in.failed) return bitmap_read::failed;
    if (in.consumed < 2 || header[0] != 'B' || header[1] != 'M') {
        reason = "It is not a BMP file (it does not begin with \"BM\"): save the picture as a "
                 "monochrome (1-bit) BMP.";
        return bitmap_read::refused;
    }
    if (!whole_start) return cut_short("inside its headers");

    const std::uint32_t info_size = u32(header + file_header_bytes);
    if (!known_header(info_size)) {
        reason = "Its information header is " + std::to_string(info_size) +
                 " bytes long, a kind pixdb does not read: save it again as a Windows BMP.";
        return bitmap_read::refused;
    }
    if (!in.take(header + file_header_bytes + 4, info_size - 4)) {
        return cut_short("inside its headers");
    }
    const header_fields fields = fields_of(header, info_size);
    reason = refusal(fields);
    if (!reason.empty()) return bitmap_read::refused;

    const std::size_t entry_size = info_size == core_header ? 3 : 4;
    std::uint8_t colours[2 * 4];
    if (!in.take(colours, 2 * entry_size)) return cut_short("inside its colour table");

    const std::uint32_t pixels_at = u32(header + 10);
    if (pixels_at < in.consumed) {
        reason = "Its pixels are said to start at byte " + std::to_string(pixels_at) +
                 ", inside its headers: the file is damaged.";
        return bitmap_read::refused;
    }
    std::uint8_t pixels[pixel_bytes];
    if (!in.skip(pixels_at - static_cast<std::uint32_t>(in.consumed)) ||
        !in.take(pixels, pixel_bytes)) {
        return cut_short("before its last pixel row");
    }

    // A 1 bit in the picture is a dark pixel; flip the file's bits when colour 0 is the dark one.
    const bool colour0_dark = luminance(colours) <= luminance(colours + entry_size);
    const std::uint8_t flip = colour0_dark ? 0xFF : 0x00;
    const bool top_down = fields.height < 0;
    for (std::size_t file_row = 0; file_row < picture_rows; ++file_row) {
        auto& row = out[top_down ? file_row : picture_rows - 1 - file_row];
        for (std::size_t k = 0; k < picture_row_bytes; ++k)
            row[k] = pixels[file_row * picture_row_bytes + k] ^ flip;
    }
    return bitmap_read::ok;
}
