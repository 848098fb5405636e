// PNG pictures: decoding every kind of PNG, pixdb on a PNG against the same picture as a BMP,
// picvar both ways, and the refusals. Input PNGs are written here with libpng's own writer.
#include "picvar/picvar.h"
#include "pixdb/pixdb.h"
#include "png/mono_png.h"
#include "tests/support/child.h"
#include "tests/support/varfiles.h"

#include <gtest/gtest.h>
#include <png.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

using Samples = std::vector<std::uint16_t>;

// A picture with some of everything: pixel (x, y) is dark or not.
bool dark_at(std::uint32_t x, std::uint32_t y) {
    return ((x * 7 + y * 13) % 11 < 4) != (y % 9 == 0);
}

struct Kind {
    const char* name;
    int depth;
    int colour;
    bool interlace;
    Samples dark, light;  // the samples of a dark and of a light pixel
    Samples palette = {}; // RGB triples, for colour type 3
    Samples opacity = {}; // the palette's tRNS entries
};

void append_png(png_structp png, png_bytep data, std::size_t n) {
    static_cast<std::string*>(png_get_io_ptr(png))->append(reinterpret_cast<const char*>(data), n);
}

// The picture above, w x h, as a PNG of the given kind.
std::string encode(const Kind& k, std::uint32_t w, std::uint32_t h) {
    const std::size_t channels = k.dark.size();
    const std::size_t row_bytes = (w * channels * k.depth + 7) / 8;
    std::vector<std::uint8_t> pixels(row_bytes * h, 0);
    for (std::uint32_t y = 0; y < h; ++y) {
        std::size_t bit = 0;
        for (std::uint32_t x = 0; x < w; ++x) {
            for (const std::uint16_t sample : dark_at(x, y) ? k.dark : k.light) {
                std::uint8_t* at = pixels.data() + y * row_bytes + bit / 8;
                if (k.depth == 16) {
                    at[0] = static_cast<std::uint8_t>(sample >> 8);
                    at[1] = static_cast<std::uint8_t>(sample);
                } else {
                    *at |= static_cast<std::uint8_t>(sample << (8 - k.depth - bit % 8));
                }
                bit += static_cast<std::size_t>(k.depth);
            }
        }
    }
    std::string out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_set_write_fn(png, &out, append_png, nullptr);
    png_set_IHDR(png, info, w, h, k.depth, k.colour,
                 k.interlace ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    std::vector<png_color> palette;
    for (std::size_t i = 0; i + 2 < k.palette.size(); i += 3)
        palette.push_back({static_cast<png_byte>(k.palette[i]),
                           static_cast<png_byte>(k.palette[i + 1]),
                           static_cast<png_byte>(k.palette[i + 2])});
    if (!palette.empty()) png_set_PLTE(png, info, palette.data(), static_cast<int>(palette.size()));
    std::vector<png_byte> opacity(k.opacity.begin(), k.opacity.end());
    if (!opacity.empty())
        png_set_tRNS(png, info, opacity.data(), static_cast<int>(opacity.size()), nullptr);
    png_write_info(png, info);
    std::vector<png_bytep> rows(h);
    for (std::uint32_t y = 0; y < h; ++y)
        rows[y] = pixels.data() + y * row_bytes;
    png_write_image(png, rows.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return out;
}

// The same picture as a 96 x 64 bottom-up BMP, black first in its colour table.
std::string bmp_of_picture() {
    std::string b = "BM" + u16(830) + u16(0) + u16(0) + u16(0) + u16(62) + u16(0) + u16(40) +
                    u16(0) + u16(96) + u16(0) + u16(64) + u16(0) + u16(1) + u16(1) +
                    std::string(24, '\0') + std::string(4, '\0') + "\xFF\xFF\xFF" + '\0';
    for (int y = 63; y >= 0; --y)
        for (std::uint32_t x = 0; x < 96; x += 8) {
            std::uint8_t byte = 0xFF;
            for (std::uint32_t i = 0; i < 8; ++i)
                if (dark_at(x + i, static_cast<std::uint32_t>(y))) byte &= ~(0x80 >> i);
            b += static_cast<char>(byte);
        }
    return b;
}

// The picture's rows, 1 bit dark, as the calculator stores them; each pixel scale x scale.
std::string picture_bits(std::uint32_t w, std::uint32_t h, std::uint32_t scale = 1) {
    const std::size_t row = (std::size_t{w} + 7) / 8;
    std::string bits(row * h, '\0');
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t x = 0; x < w; ++x)
            if (dark_at(x / scale, y / scale)) {
                char& byte = bits[y * row + x / 8];
                byte = static_cast<char>(static_cast<unsigned char>(byte) | 0x80u >> (x % 8));
            }
    return bits;
}

std::string decoded(const std::string& file, std::uint32_t w = 1024, std::uint32_t h = 1024) {
    png_facts facts;
    mono_image image;
    std::string reason;
    const Bytes bytes = bytes_of(file);
    EXPECT_EQ(read_png(bytes, w, h, facts, image, reason), png_read::ok) << reason;
    return text(image.bits);
}

ChildResult run(int (*entry)(int, char**), const char* name, const std::vector<std::string>& args,
                const ScratchDir& dir) {
    return run_child([&] { return call_main(entry, name, args); }, "", dir.path);
}

const Samples grey16 = [] {
    Samples p;
    for (std::uint16_t i = 0; i < 16; ++i)
        p.insert(p.end(), {std::uint16_t(i * 17), std::uint16_t(i * 17), std::uint16_t(i * 17)});
    return p;
}();

const Kind kinds[] = {
    {"grey 1", 1, PNG_COLOR_TYPE_GRAY, false, {0}, {1}},
    {"grey 2, half is light", 2, PNG_COLOR_TYPE_GRAY, false, {1}, {2}},
    {"grey 8 around half", 8, PNG_COLOR_TYPE_GRAY, false, {127}, {128}},
    {"grey 16 around half, interlaced", 16, PNG_COLOR_TYPE_GRAY, true, {0x7FFF}, {0x8000}},
    {"RGB 8: red dark, yellow light", 8, PNG_COLOR_TYPE_RGB, false, {255, 0, 0}, {255, 255, 0}},
    {"RGB 16, interlaced", 16, PNG_COLOR_TYPE_RGB, true, {0, 0, 0xFFFF}, {0, 0xFFFF, 0xFFFF}},
    {"palette 4, interlaced", 4, PNG_COLOR_TYPE_PALETTE, true, {3}, {12}, grey16},
    {"palette 8, transparent light",
     8,
     PNG_COLOR_TYPE_PALETTE,
     false,
     {0},
     {1},
     {0, 0, 0, 0, 0, 0},
     {255, 0}},
    {"grey and alpha 8", 8, PNG_COLOR_TYPE_GRAY_ALPHA, false, {0, 255}, {0, 0}},
    {"RGBA 8, interlaced", 8, PNG_COLOR_TYPE_RGB_ALPHA, true, {0, 0, 255, 255}, {0, 0, 0, 0}},
};

TEST(png, EveryKindDecodesBitForBitAndPixdbGivesTheBmpText) {
    ScratchDir dir;
    write_file(dir.path / "same.bmp", bmp_of_picture());
    ASSERT_EQ(run(pixdb_main, "pixdb", {"same.bmp", "bmp.db"}, dir).status, 0);
    const std::string expected = read_file(dir.path / "bmp.db");
    for (const Kind& k : kinds) {
        SCOPED_TRACE(k.name);
        const std::string png = encode(k, 96, 64);
        EXPECT_EQ(decoded(png), picture_bits(96, 64));
        write_file(dir.path / "sprite.bmp", png); // chosen by content, not by name
        const ChildResult r = run(pixdb_main, "pixdb", {"sprite.bmp", "png.db"}, dir);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.output, "");
        EXPECT_EQ(read_file(dir.path / "png.db"), expected);
    }
}

const Kind grey8{"grey 8", 8, PNG_COLOR_TYPE_GRAY, false, {0}, {255}};

TEST(picvar, PictureRoundTripAndScreenToPng) {
    ScratchDir dir;
    write_file(dir.path / "in.png", encode(grey8, 128, 63));
    ASSERT_EQ(run(picvar_main, "picvar", {"in.png", "Pic1.85i"}, dir).status, 0);
    const std::string data = u16(1008) + picture_bits(128, 63);
    EXPECT_EQ(read_file(dir.path / "Pic1.85i"), file_around(entry(0x11, "Pic1", data)));

    for (const bool lcd : {false, true}) {
        const std::vector<std::string> args =
            lcd ? std::vector<std::string>{"--lcd", "-s", "3", "Pic1.85i", "out.png"}
                : std::vector<std::string>{"--scale=1", "Pic1.85i", "out.png"};
        ASSERT_EQ(run(picvar_main, "picvar", args, dir).status, 0);
        const std::string back = decoded(read_file(dir.path / "out.png"));
        EXPECT_EQ(back, lcd ? picture_bits(384, 189, 3) : picture_bits(128, 63));
    }

    // A PrtScrn screen: 1024 bytes, no size field, 64 rows.
    write_file(dir.path / ".85i", file_around(entry(0x14, "", picture_bits(128, 64))));
    ASSERT_EQ(run(picvar_main, "picvar", {"-s1", ".85i", "screen.png"}, dir).status, 0);
    EXPECT_EQ(decoded(read_file(dir.path / "screen.png")), picture_bits(128, 64));

    // A 128 x 64 PNG loses its bottom row.
    const ChildResult r = run(picvar_main, "picvar", {"screen.png", "S.85i"}, dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, "picvar: screen.png is 128 x 64: its bottom row is dropped (a picture is "
                        "128 x 63).\n");
    EXPECT_EQ(read_file(dir.path / "S.85i"), file_around(entry(0x11, "S", data)));
}

TEST(picvar, RefusalsSayWhyInOneLineAndLeaveNoFile) {
    const std::string png = encode(grey8, 128, 63);
    std::string corrupt = png;
    corrupt[18] ^= 0x40; // the width: the header chunk's CRC no longer matches
    const std::string picture = u16(1008) + picture_bits(128, 63);
    const struct {
        std::string input, output;
        int status;
        std::string message;
    } cases[] = {
        {png.substr(0, 60), "P.85i", 3,
         "picvar: in is a damaged or incomplete PNG (the file ends early).\n"},
        {corrupt, "P.85i", 3, "picvar: in is a damaged or incomplete PNG (IHDR: CRC error).\n"},
        {encode(grey8, 100, 50), "P.85i", 3,
         "picvar: in is a 100 x 50 PNG (8-bit grey): a picture must be 128 x 63.\n"},
        {png, "1P.85i", 1,
         "picvar: 1P.85i names no picture: write NAME.85i, NAME 1 to 8 letters and digits, a "
         "letter first.\n"},
        {png, "nodir/P.85i", 2, "picvar: Cannot write nodir/P.85i (No such file or directory).\n"},
        {file_around(entry(0x12, "PRG", std::string("\x02\x00hi", 4))), "p.png", 3,
         "picvar: in holds a variable of type PRGRM (0x12), not a picture.\n"},
        {file_around(entry(0x11, "P", u16(1009) + picture.substr(2))), "p.png", 3,
         "picvar: in is a damaged picture (its size field says 1009 bytes, not 1008).\n"},
        {file_around(entry(0x11, "P", picture.substr(0, 1000))), "p.png", 3,
         "picvar: in is a damaged picture (1000 bytes of data, not 1010).\n"},
        {file_around(entry(0x11, "P", picture), 1), "p.png", 3,
         "picvar: in is a damaged variable file (its checksum is wrong).\n"},
        {"text", "p.png", 3, "picvar: in is neither a PNG nor a TI-85 variable file.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        ScratchDir dir;
        write_file(dir.path / "in", c.input);
        const ChildResult r = run(picvar_main, "picvar", {"in", c.output}, dir);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.output, c.message);
        EXPECT_EQ(listing(dir.path), std::vector<std::string>{"in"});
    }
}

TEST(png, PixdbRefusesDamagedAndMisSizedPngsWithTheirFacts) {
    const std::string png = encode(grey8, 96, 64);
    const struct {
        std::string input, reason;
    } cases[] = {
        {png.substr(0, 50),
         "It is a PNG that cannot be read (the file ends early): the file is damaged or "
         "incomplete."},
        {encode(kinds[5], 97, 64),
         "It is a 97 x 64 PNG (16-bit RGB, interlaced): make it 96 x 64."},
    };
    for (const auto& c : cases) {
        ScratchDir dir;
        write_file(dir.path / "in.png", c.input);
        const ChildResult r = run(pixdb_main, "pixdb", {"in.png", "out.db"}, dir);
        EXPECT_EQ(r.status, 3);
        EXPECT_EQ(r.output, "The input bitmap has an incorrect format.\n"
                            "The correct format = 96 x 64, monochrome BMP or PNG\n" +
                                c.reason + "\n");
        EXPECT_EQ(listing(dir.path), std::vector<std::string>{"in.png"});
    }
}

// A read-only file in the user's own folder stays as it is, as pixdb and the other direction keep
// theirs (run as nobody when the tests run as root, who may write anything).
TEST(picvar, ReadOnlyOutputIsRefusedAndKept) {
    ScratchDir dir;
    write_file(dir.path / "in", encode(grey8, 128, 63));
    write_file(dir.path / "P.85i", "kept");
    fs::permissions(dir.path / "P.85i", fs::perms::owner_read);
    const bool root = geteuid() == 0;
    ASSERT_TRUE(!root || (chown(dir.path.c_str(), ORDINARY_ID, ORDINARY_ID) == 0 &&
                          chown((dir.path / "P.85i").c_str(), ORDINARY_ID, ORDINARY_ID) == 0));
    const ChildResult r = run_child(
        [&] {
            if (!become_ordinary_user()) return 125;
            return call_main(picvar_main, "picvar", {"in", "P.85i"});
        },
        "", dir.path);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.output, "picvar: Cannot write P.85i (Permission denied).\n");
    EXPECT_EQ(read_file(dir.path / "P.85i"), "kept");
}

// A chunk that declares 2 GB in a 44-byte file is refused without that much memory ever taken.
TEST(png, HugeChunkIsRefusedWithinAFewMegabytes) {
    const std::string file = encode(kinds[0], 96, 64).substr(0, 33) + "\x7F\xFF\xFF\xF0tEXtabc";
    ASSERT_EQ(file.size(), 44u);
    const ChildResult r = run_child([&] {
        png_facts facts;
        mono_image image;
        std::string reason;
        rusage before{}, after{};
        getrusage(RUSAGE_SELF, &before);
        const png_read result = read_png(bytes_of(file), 96, 64, facts, image, reason);
        getrusage(RUSAGE_SELF, &after);
        std::printf("%s %ld\n", result == png_read::refused ? "refused" : "read",
                    (after.ru_maxrss - before.ru_maxrss) / 1024);
        return 0;
    });
    std::istringstream words(r.output);
    std::string verdict;
    long megabytes = -1;
    words >> verdict >> megabytes;
    EXPECT_EQ(verdict, "refused") << r.output;
    EXPECT_GE(megabytes, 0) << r.output;
    EXPECT_LT(megabytes, 64);
}

} // namespace
