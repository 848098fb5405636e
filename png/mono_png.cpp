// PNG reading and writing through libpng, with its errors turned into return values.
#include "png/mono_png.h"

#include "cli/cli.h"

#include <png.h>

#include <array>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::array<std::uint8_t, 8> signature{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

// The LCD colours: index 0 the light background, index 1 a dark pixel.
constexpr png_color lcd_light{0xA8, 0xB4, 0x94};
constexpr png_color lcd_dark{0x28, 0x30, 0x28};

// What libpng's callbacks reach through its error and I/O pointers. Plain data only: libpng
// leaves a failed call by longjmp, which skips destructors.
struct context {
    const std::uint8_t* in = nullptr;
    std::size_t in_size = 0;
    std::size_t in_at = 0;
    std::string* out = nullptr;
    char message[160] = {};
};

context& context_of_error(png_structp png) {
    return *static_cast<context*>(png_get_error_ptr(png));
}

[[noreturn]] void on_error(png_structp png, png_const_charp message) {
    context& c = context_of_error(png);
    std::snprintf(c.message, sizeof c.message, "%s", message);
    png_longjmp(png, 1);
}

void on_warning(png_structp, png_const_charp) {}

void read_bytes(png_structp png, png_bytep data, std::size_t length) {
    context& c = *static_cast<context*>(png_get_io_ptr(png));
    if (length > c.in_size - c.in_at) png_error(png, "the file ends early");
    std::memcpy(data, c.in + c.in_at, length);
    c.in_at += length;
}

void write_bytes(png_structp png, png_bytep data, std::size_t length) {
    context& c = *static_cast<context*>(png_get_io_ptr(png));
    c.out->append(reinterpret_cast<const char*>(data), length);
}

void flush_nothing(png_structp) {}

// The functions that call setjmp hold nothing with a destructor, and every libpng call that may
// fail is made inside one of them while it is active.

bool read_header(png_structp png, png_infop info, context* c, png_facts* facts) {
    if (setjmp(png_jmpbuf(png))) return false; // NOLINT(cert-err52-cpp): libpng's error return
    png_set_read_fn(png, c, read_bytes);
    png_read_info(png, info);
    facts->width = png_get_image_width(png, info);
    facts->height = png_get_image_height(png, info);
    facts->bit_depth = png_get_bit_depth(png, info);
    facts->colour_type = png_get_color_type(png, info);
    facts->interlaced = png_get_interlace_type(png, info) != PNG_INTERLACE_NONE;
    return true;
}

// Decodes into 8-bit RGBA rows, whatever the file holds.
bool read_rgba(png_structp png, png_infop info, png_bytepp rows, std::size_t row_size) {
    if (setjmp(png_jmpbuf(png))) return false; // NOLINT(cert-err52-cpp): libpng's error return
    png_set_expand(png); // palette to RGB, grey below 8 bits to 8, transparency to alpha
    png_set_strip_16(png);
    png_set_gray_to_rgb(png);
    png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != row_size) png_error(png, "unexpected row layout");
    png_read_image(png, rows);
    png_read_end(png, nullptr); // the chunks after the pixels, up to IEND, checked too
    return true;
}

bool write_rows(png_structp png, png_infop info, context* c, std::uint32_t width,
                std::uint32_t height, bool lcd, png_bytepp rows) {
    if (setjmp(png_jmpbuf(png))) return false; // NOLINT(cert-err52-cpp): libpng's error return
    png_set_write_fn(png, c, write_bytes, flush_nothing);
    png_set_IHDR(png, info, width, height, 1, lcd ? PNG_COLOR_TYPE_PALETTE : PNG_COLOR_TYPE_GRAY,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (lcd) {
        const png_color palette[2] = {lcd_light, lcd_dark};
        png_set_PLTE(png, info, palette, 2);
    }
    png_write_info(png, info);
    png_write_image(png, rows);
    png_write_end(png, nullptr);
    return true;
}

// Dark when the luminance, over white where partly transparent, is below half of white.
bool dark(const std::uint8_t* rgba) {
    const std::uint64_t luma = 299u * rgba[0] + 587u * rgba[1] + 114u * rgba[2]; // 0 to 255000
    const std::uint64_t alpha = rgba[3];
    return luma * alpha + 255000u * (255u - alpha) < std::uint64_t{128000} * 255u;
}

std::string text_of(const char* message) {
    return message[0] != '\0' ? message : "libpng failed";
}

} // namespace

bool is_png(std::span<const std::uint8_t> file) {
    return file.size() >= signature.size() &&
           std::memcmp(file.data(), signature.data(), signature.size()) == 0;
}

std::string describe(const png_facts& facts) {
    const char* colour = "unknown colour type";
    switch (facts.colour_type) {
    case PNG_COLOR_TYPE_GRAY:
        colour = "grey";
        break;
    case PNG_COLOR_TYPE_RGB:
        colour = "RGB";
        break;
    case PNG_COLOR_TYPE_PALETTE:
        colour = "palette";
        break;
    case PNG_COLOR_TYPE_GRAY_ALPHA:
        colour = "grey and alpha";
        break;
    case PNG_COLOR_TYPE_RGB_ALPHA:
        colour = "RGB and alpha";
        break;
    default:
        break;
    }
    return "a " + std::to_string(facts.width) + " x " + std::to_string(facts.height) + " PNG (" +
           std::to_string(facts.bit_depth) + "-bit " + colour +
           (facts.interlaced ? ", interlaced)" : ")");
}

namespace {

constexpr png_alloc_size_t CHUNK_BYTES_MAX = 1 << 20;
constexpr png_uint_32 CHUNKS_MAX = 1000;
constexpr png_uint_32 SIDE_MAX = 1 << 16;

// Whether a chunk declares more than the limit and more than the file holds. libpng allocates a
// text chunk's declared size before it reads the chunk, whatever the limit says.
bool declares_too_much(std::span<const std::uint8_t> file) {
    constexpr std::size_t SIGNATURE = 8, HEADER = 8, CRC = 4;
    for (std::size_t at = SIGNATURE; file.size() - at >= HEADER;) {
        const std::uint8_t* chunk = file.data() + at;
        const std::size_t length = std::size_t{chunk[0]} << 24 | std::size_t{chunk[1]} << 16 |
                                   std::size_t{chunk[2]} << 8 | chunk[3];
        const std::size_t left = file.size() - at - HEADER;
        if (length > CHUNK_BYTES_MAX && length > left) return true;
        if (std::memcmp(chunk + 4, "IEND", 4) == 0 || length + CRC > left) return false;
        at += HEADER + length + CRC;
    }
    return false;
}

} // namespace

png_read read_png(std::span<const std::uint8_t> file, std::uint32_t max_width,
                  std::uint32_t max_height, png_facts& facts, mono_image& image,
                  std::string& reason) {
    if (!is_png(file)) {
        reason = "not a PNG file";
        return png_read::refused;
    }
    if (declares_too_much(file)) {
        reason = "the file ends early";
        return png_read::refused;
    }
    context c;
    c.in = file.data();
    c.in_size = file.size();
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &c, on_error, on_warning);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    struct destroy {
        png_structp& png;
        png_infop& info;
        ~destroy() { png_destroy_read_struct(&png, &info, nullptr); }
    } destroy_at_end{png, info};
    if (info == nullptr) {
        reason = "out of memory";
        return png_read::refused;
    }
    // A chunk may declare up to 2 GB, which libpng would allocate before finding the file short.
    // The pixels arrive in pieces; a picture's other chunks (text, a colour profile) need far
    // less than this. The size limit leaves any real picture its facts, for the message.
    png_set_chunk_malloc_max(png, CHUNK_BYTES_MAX);
    png_set_chunk_cache_max(png, CHUNKS_MAX);
    png_set_user_limits(png, SIDE_MAX, SIDE_MAX);
    if (!read_header(png, info, &c, &facts)) {
        reason = text_of(c.message);
        return png_read::refused;
    }
    if (facts.width > max_width || facts.height > max_height) return png_read::other_size;

    const std::size_t row_size = std::size_t{facts.width} * 4;
    std::vector<std::uint8_t> rgba(row_size * facts.height);
    std::vector<png_bytep> rows(facts.height);
    for (std::size_t y = 0; y < facts.height; ++y)
        rows[y] = rgba.data() + y * row_size;
    if (!read_rgba(png, info, rows.data(), row_size)) {
        reason = text_of(c.message);
        return png_read::refused;
    }

    image.width = facts.width;
    image.height = facts.height;
    const std::size_t out_row = mono_row_bytes(facts.width);
    image.bits.assign(out_row * facts.height, 0);
    for (std::size_t y = 0; y < facts.height; ++y) {
        for (std::size_t x = 0; x < facts.width; ++x) {
            if (dark(rows[y] + 4 * x)) image.bits[y * out_row + x / 8] |= 0x80 >> (x % 8);
        }
    }
    return png_read::ok;
}

bool write_png(const mono_image& image, int scale, bool lcd, std::string& out,
               std::string& reason) {
    if (scale < scale_min || scale > scale_max || image.width == 0 || image.height == 0 ||
        image.bits.size() != mono_row_bytes(image.width) * image.height) {
        reason = "no picture to write";
        return false;
    }
    const auto n = static_cast<std::uint32_t>(scale);
    const std::uint32_t width = image.width * n;
    const std::uint32_t height = image.height * n;
    // Grey at 1 bit is 0 black, 1 white; the LCD palette has the dark colour at index 1.
    const std::uint8_t light_bit = lcd ? 0 : 1;
    const std::size_t in_row = mono_row_bytes(image.width);
    const std::size_t out_row = mono_row_bytes(width);
    std::vector<std::uint8_t> pixels(out_row * height, 0);
    std::vector<png_bytep> rows(height);
    for (std::uint32_t y = 0; y < height; ++y) {
        rows[y] = pixels.data() + y * out_row;
        const std::uint8_t* source = image.bits.data() + (y / n) * in_row;
        for (std::uint32_t x = 0; x < width; ++x) {
            const std::uint32_t sx = x / n;
            const bool is_dark = (source[sx / 8] & (0x80 >> (sx % 8))) != 0;
            if (is_dark != (light_bit == 1)) rows[y][x / 8] |= 0x80 >> (x % 8);
        }
    }

    context c;
    std::string encoded;
    c.out = &encoded;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &c, on_error, on_warning);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    struct destroy {
        png_structp& png;
        png_infop& info;
        ~destroy() { png_destroy_write_struct(&png, &info); }
    } destroy_at_end{png, info};
    if (info == nullptr) {
        reason = "out of memory";
        return false;
    }
    if (!write_rows(png, info, &c, width, height, lcd, rows.data())) {
        reason = text_of(c.message);
        return false;
    }
    out = std::move(encoded);
    return true;
}

void join_scale_arguments(int argc, char** argv, std::vector<std::string>& args,
                          std::vector<char*>& pointers) {
    constexpr OptionNames SCALE[] = {{"-s", "--scale"}};
    join_option_values(argc, argv, SCALE, args, pointers);
    pointers.pop_back();
}

bool png_look_option(const char* argument, png_look& look, const char*& bad_scale) {
    if (std::strcmp(argument, "--lcd") == 0) {
        look.lcd = true;
        return true;
    }
    const char* value = nullptr;
    if (std::strncmp(argument, "--scale=", 8) == 0) value = argument + 8;
    if (std::strncmp(argument, "-s", 2) == 0 && argument[2] != '\0') value = argument + 2;
    if (value == nullptr) return false;
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(value, &end, 10);
    if (end == value || *end != '\0' || errno != 0 || n < scale_min || n > scale_max) {
        bad_scale = value;
    } else {
        look.scale = static_cast<int>(n);
    }
    return true;
}
