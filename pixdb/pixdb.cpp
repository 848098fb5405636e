#include "pixdb/pixdb.h"

#include "cli/cli.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace {

// File layout: 14-byte file header, 40-byte information header and two 4-byte colour-table
// entries come before the pixels. Rows of 96 one-bit pixels are 12 bytes, a multiple of 4, so
// they carry no padding.
constexpr int header_size = 62;
constexpr int width_low_index = 18;
constexpr int height_low_index = 22;
constexpr int expected_width_low = 0x60;  // 96
constexpr int expected_height_low = 0x40; // 64

constexpr std::size_t table_rows = 64;
constexpr std::size_t row_bytes = 12;

constexpr int status_done = 0;
constexpr int status_usage = 1;
constexpr int status_file_error = 2;
constexpr int status_bad_bitmap = 3;

using pixel_table = std::array<std::array<std::uint16_t, row_bytes>, table_rows>;

void print_usage() {
    std::printf("Pixdb v1.0 - TI-85 link tools\n"
                "Usage pixdb inputfile outputfile\n"
                "\n"
                "inputfile    : A monochrome windows bitmap with dimensions 96 x 64\n"
                "outputfile   : the name of the file to write the .db codes to\n"
                "\n");
}

void print_bad_format() {
    std::printf("The input bitmap has an incorrect format.\n"
                "The correct format = 96 x 64 monochrome\n");
}

// Reads bytes 0-61. Only the low bytes of width and height are checked: that is enough to tell a
// 96 x 64 picture from the other sizes people try, and a missing byte (EOF) never matches.
bool header_accepted(std::FILE* in) {
    for (int index = 0; index < header_size; ++index) {
        const int c = std::fgetc(in);
        if (index == width_low_index && c != expected_width_low) return false;
        if (index == height_low_index && c != expected_height_low) return false;
    }
    return true;
}

// Reads bytes 62-829 into the table, inverted. The file stores the bottom row first, so it fills
// the table from row 63 up to row 0 and the text comes out top row first. Returns false if the
// file ends early: EOF would otherwise land in the table as a value that is no byte at all.
bool read_pixels(std::FILE* in, pixel_table& table) {
    for (std::size_t r = table_rows; r-- > 0;) {
        for (auto& entry : table[r]) {
            const int c = std::fgetc(in);
            if (c == EOF) return false;
            entry = static_cast<std::uint16_t>(0xFF - c);
        }
    }
    return true;
}

// Writes the 64 lines and closes the output. Returns false if any write or the close failed,
// since a full disk often shows only when the buffer is flushed on close.
bool write_table(std::FILE* out, const pixel_table& table) {
    bool ok = true;
    for (const auto& row : table) {
        const int written =
            std::fprintf(out, "        .db $%X,$%X,$%X,$%X,$%X,$%X,$%X,$%X,$%X,$%X,$%X,$%X\n",
                         unsigned{row[0]}, unsigned{row[1]}, unsigned{row[2]}, unsigned{row[3]},
                         unsigned{row[4]}, unsigned{row[5]}, unsigned{row[6]}, unsigned{row[7]},
                         unsigned{row[8]}, unsigned{row[9]}, unsigned{row[10]}, unsigned{row[11]});
        if (written < 0) {
            ok = false;
            break;
        }
    }
    if (std::ferror(out)) ok = false;
    if (std::fclose(out) != 0) ok = false;
    return ok;
}

} // namespace

int pixdb_main(int argc, char** argv) {
    open_standard_descriptors();
    if (argc <= 2) {
        print_usage();
        return status_usage;
    }

    std::FILE* in = std::fopen(argv[1], "r");
    if (in == nullptr) {
        std::printf("Error opening inputfile\n");
        return status_file_error;
    }
    // Opened before any input is read, so a rejected bitmap still leaves an empty output file.
    std::FILE* out = std::fopen(argv[2], "w");
    if (out == nullptr) {
        std::printf("Error opening outputfile\n");
        std::fclose(in);
        return status_file_error;
    }

    pixel_table table{};
    if (!header_accepted(in) || !read_pixels(in, table)) {
        print_bad_format();
        std::fclose(in);
        std::fclose(out);
        return status_bad_bitmap;
    }
    std::fclose(in);

    if (!write_table(out, table)) {
        std::printf("Error writing outputfile\n");
        return status_file_error;
    }
    return status_done;
}
