// Values of variables as text: numbers, arrays, strings, programs, window settings, graph
// databases, pictures, and bytes of unknown layout.
#include "catvar/show.h"

#include "link/bytes.h"
#include "link/ti85.h"
#include "varfile/varfile.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace {

constexpr std::size_t REAL_SIZE = 10;
constexpr int EXPONENT_BIAS = 0xFC00;
constexpr std::size_t DIGITS = 14;
constexpr std::size_t ROW_BYTES = SCREEN_ROW_BYTES;

// Reads a value's data front to back. A read past the end records one fault, "X cut off" at
// the read's offset, and every later read fails as well.
struct Cursor {
    std::span<const std::uint8_t> data;
    Shown& shown;
    std::size_t at = 0;
    bool cut = false;
    bool reported = false; // a length field already told that the data are too short

    bool has(std::size_t length, const char* what) {
        if (!cut && at + length <= data.size()) return true;
        if (!cut && !reported) shown.faults.push_back({at, std::string(what) + " cut off"});
        cut = true;
        return false;
    }
    std::span<const std::uint8_t> take(std::size_t length) {
        const auto bytes = data.subspan(at, length);
        at += length;
        return bytes;
    }
    std::size_t left() const { return data.size() - at; }
    // A 16-bit length or count of items of `size` bytes each: a fault when the data are too
    // short for it, but the items that are there are still shown.
    bool length_field(std::size_t& count, std::size_t size, const char* what) {
        if (!has(2, what)) return false;
        const std::size_t field_at = at;
        count = read_le16(take(2));
        check_count(field_at, count, size);
        return true;
    }
    void check_count(std::size_t field_at, std::size_t count, std::size_t size) {
        if (count * size > left()) {
            reported = true;
            shown.faults.push_back({field_at, "length field says " + std::to_string(count * size) +
                                                  " bytes, " + std::to_string(left()) + " follow"});
        }
    }
};

// One real as the calculator shows it, to its full 14 digits: plain from 1E-3 up to below
// 1E14, otherwise in E notation; no trailing zeros, no leading zero before the point. False
// for bytes that are no number (a digit above 9, an exponent beyond +-999).
bool real_text(std::span<const std::uint8_t> bytes, std::string& out) {
    std::string digits;
    for (std::size_t i = 3; i < REAL_SIZE; ++i) {
        for (const unsigned digit : {unsigned{bytes[i]} >> 4, unsigned{bytes[i]} & 0x0Fu}) {
            if (digit > 9) return false;
            digits += static_cast<char>('0' + digit);
        }
    }
    const std::size_t first = digits.find_first_not_of('0');
    if (first == std::string::npos) {
        out += '0';
        return true;
    }
    int exponent = read_le16(bytes.subspan(1)) - EXPONENT_BIAS;
    if (exponent < -999 || exponent > 999) return false;
    // A mantissa that does not start with its first digit: count from that digit.
    exponent -= static_cast<int>(first);
    digits = digits.substr(first, digits.find_last_not_of('0') + 1 - first);
    if ((bytes[0] & 0x80) != 0) out += '-';
    // Appended piece by piece: g++ 12 at -O3 takes "literal" + std::string for an overlapping
    // copy (a false -Wrestrict).
    if (exponent >= 0 && exponent < static_cast<int>(DIGITS)) {
        const auto whole = static_cast<std::size_t>(exponent) + 1;
        if (digits.size() <= whole) {
            out.append(digits).append(whole - digits.size(), '0');
        } else {
            out.append(digits, 0, whole).append(1, '.').append(digits, whole);
        }
    } else if (exponent < 0 && exponent >= -3) {
        out.append(1, '.').append(static_cast<std::size_t>(-exponent - 1), '0').append(digits);
    } else {
        out.append(digits, 0, 1);
        if (digits.size() > 1) out.append(1, '.').append(digits, 1);
        out.append(1, 'E').append(std::to_string(exponent));
    }
    return true;
}

// A real or complex number at the cursor.
void number(Cursor& cursor, bool complex, std::string& out) {
    const std::size_t size = complex ? 2 * REAL_SIZE : REAL_SIZE;
    if (!cursor.has(size, "number")) return;
    const std::size_t at = cursor.at;
    const auto bytes = cursor.take(size);
    std::string text;
    bool ok = real_text(bytes.first(REAL_SIZE), text);
    if (complex) {
        text = "(" + text + ",";
        ok = ok && real_text(bytes.subspan(REAL_SIZE), text);
        text += ")";
    }
    if (!ok) {
        cursor.shown.faults.push_back({at, "not a number"});
        text.clear();
        show_codes(bytes, text);
    }
    out += text;
}

// `count` numbers between brackets, as far as the data go.
void numbers(Cursor& cursor, std::size_t count, bool complex, const char* open, const char* close,
             std::string& out) {
    out += open;
    for (std::size_t i = 0; i < count && !cursor.cut; ++i) {
        if (i > 0) out += ",";
        number(cursor, complex, out);
    }
    if (cursor.cut) out += "...";
    out += close;
}

// A matrix one row a line: [[1,2]
//                            [3,4]]
void matrix(Cursor& cursor, bool complex, std::string& out) {
    if (!cursor.has(2, "dimensions")) return;
    const auto dimensions = cursor.take(2);
    const std::size_t rows = dimensions[0];
    const std::size_t columns = dimensions[1];
    cursor.check_count(0, rows * columns, complex ? 2 * REAL_SIZE : REAL_SIZE);
    out += "[";
    for (std::size_t row = 0; row < rows && !cursor.cut; ++row) {
        if (row > 0) out += "\n ";
        numbers(cursor, columns, complex, "[", "]", out);
    }
    out += "]\n";
}

// A 16-bit length, then that many bytes of the value's body.
std::span<const std::uint8_t> counted_body(Cursor& cursor, const char* what) {
    std::size_t length = 0;
    if (!cursor.length_field(length, 1, what)) return {};
    return cursor.take(std::min(length, cursor.left()));
}

void program(Cursor& cursor, Shown& shown) {
    const auto body = counted_body(cursor, "length");
    if (body.empty()) return;
    if (body[0] == 0x00) {
        // Plain text, as the calculator keeps a program after editing: lines end with D6.
        shown.open_end = body.size() > 1 && body.back() != 0xD6;
        std::size_t start = 1;
        for (std::size_t i = 1; i <= body.size(); ++i) {
            if (i == body.size() || body[i] == 0xD6) {
                show_chars(body.subspan(start, i - start), shown.text);
                if (i < body.size() || i > start) shown.text += '\n';
                start = i + 1;
            }
        }
        return;
    }
    // A final FF in place of the 6F that ends the last line marks a locked program.
    shown.locked = body.back() == 0xFF;
    show_tokens(shown.locked ? body.first(body.size() - 1) : body, 2, shown);
}

void bytes_line(const char* name, std::span<const std::uint8_t> bytes, std::string& out) {
    out += name;
    out += "=";
    char hex[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(hex, sizeof hex, i == 0 ? "%02X" : " %02X", unsigned{bytes[i]});
        out += hex;
    }
    out += "\n";
}

// Named reals of window settings, `names` given as two-byte token codes.
void named_reals(Cursor& cursor, std::span<const std::uint8_t> names, std::string& out) {
    for (const std::uint8_t name : names) {
        if (cursor.cut) return;
        out += system_name(name);
        out += "=";
        number(cursor, false, out);
        out += "\n";
    }
}

// Window settings by type, 0x17-0x1A (and the graph databases 0x0D-0x10 that hold them).
constexpr std::array<std::uint8_t, 6> XY{0x04, 0x05, 0x02, 0x06, 0x07, 0x03};
constexpr std::array<std::uint8_t, 9> POLAR{0x0F, 0x10, 0x0B, 0x04, 0x05, 0x02, 0x06, 0x07, 0x03};
constexpr std::array<std::uint8_t, 9> PARAM{0x08, 0x09, 0x0A, 0x04, 0x05, 0x02, 0x06, 0x07, 0x03};
constexpr std::array<std::uint8_t, 11> DIFEQ{0x20, 0x0E, 0x08, 0x09, 0x0A, 0x04,
                                             0x05, 0x02, 0x06, 0x07, 0x03};
constexpr std::array<std::uint8_t, 13> ZOOM{0x16, 0x17, 0x0D, 0x15, 0x18, 0x19, 0x0C,
                                            0x11, 0x12, 0x00, 0x13, 0x14, 0x01};
constexpr std::array<std::span<const std::uint8_t>, 4> WINDOWS{XY, POLAR, PARAM, DIFEQ};

// The bytes after the reals of each window-settings type that are known only by their size.
void window_tail(Cursor& cursor, std::uint8_t type, std::string& out) {
    if (type == TYPE_FUNCTION_WINDOW && cursor.has(20, "window settings")) {
        bytes_line("unknown", cursor.take(20), out);
    } else if (type == TYPE_FUNCTION_WINDOW + 3 && cursor.has(2, "axes")) {
        const auto axes = cursor.take(2);
        out += "xAxis=" + std::to_string(axes[0]) + "\nyAxis=" + std::to_string(axes[1]) + "\n";
    }
}

void window(Cursor& cursor, std::uint8_t type, std::string& out) {
    std::size_t length = 0;
    if (!cursor.length_field(length, 1, "length")) return;
    if (type == TYPE_ZOOM_MEMORY) return named_reals(cursor, ZOOM, out);
    if (!cursor.has(1, "window settings")) return;
    bytes_line("unknown", cursor.take(1), out);
    named_reals(cursor, WINDOWS[type - TYPE_FUNCTION_WINDOW], out);
    window_tail(cursor, type, out);
}

// The graph modes of a database's mode byte, bit 0 first: the word for a clear bit, then for a
// set one.
constexpr std::array<std::array<const char*, 2>, 7> MODES{{{"DrawLine", "DrawDot"},
                                                           {"SeqG", "SimulG"},
                                                           {"GridOff", "GridOn"},
                                                           {"RectGC", "PolarGC"},
                                                           {"CoordOn", "CoordOff"},
                                                           {"AxesOn", "AxesOff"},
                                                           {"LabelOff", "LabelOn"}}};

void database(Cursor& cursor, std::uint8_t type, Shown& shown) {
    std::string& out = shown.text;
    std::size_t length = 0;
    if (!cursor.length_field(length, 1, "length") || !cursor.has(1, "mode")) return;
    const std::uint8_t mode = cursor.take(1)[0];
    out += "mode=";
    for (std::size_t bit = 0; bit < MODES.size(); ++bit) {
        out += MODES[bit][(mode >> bit) & 1];
        out += bit + 1 < MODES.size() ? " " : "";
    }
    if ((mode & 0x80) != 0) out += " \\x80";
    out += "\n";
    named_reals(cursor, WINDOWS[type - TYPE_FUNCTION_GDB], out);
    if (type == TYPE_DIFF_EQUATION_GDB) {
        // The rest of a differential-equation database is not described.
        if (!cursor.cut && cursor.left() > 0)
            bytes_line("unknown", cursor.take(cursor.left()), out);
        return;
    }
    if (!cursor.has(1, "function count")) return;
    const std::size_t functions = cursor.take(1)[0];
    const char* prefix = type == TYPE_FUNCTION_GDB       ? "y"
                         : type == TYPE_FUNCTION_GDB + 1 ? "r"
                                                         : "eq";
    for (std::size_t i = 0; i < functions && cursor.has(3, "function"); ++i) {
        const std::uint8_t id = cursor.take(1)[0];
        out += (id & 0x80) != 0 ? "selected " : "";
        out += prefix + std::to_string(id & 0x7F) + "=";
        const std::size_t base = cursor.at + 2;
        const auto equation = counted_body(cursor, "equation");
        Shown tokens;
        show_tokens(equation, base, tokens);
        out += tokens.text.empty() ? "\n" : tokens.text;
        shown.faults.insert(shown.faults.end(), tokens.faults.begin(), tokens.faults.end());
    }
}

// Two pixel rows a character row, in half blocks; 1 bits are dark.
void picture(std::span<const std::uint8_t> bitmap, std::string& out) {
    const std::size_t rows = bitmap.size() / ROW_BYTES;
    const auto dark = [&](std::size_t row, std::size_t x) {
        return row < rows && (bitmap[row * ROW_BYTES + x / 8] & (0x80 >> (x % 8))) != 0;
    };
    for (std::size_t row = 0; row < rows; row += 2) {
        for (std::size_t x = 0; x < 8 * ROW_BYTES; ++x) {
            const bool top = dark(row, x);
            const bool bottom = dark(row + 1, x);
            out += top ? (bottom ? "█" : "▀") : (bottom ? "▄" : " ");
        }
        out += "\n";
    }
}

} // namespace

void show_hex(std::span<const std::uint8_t> data, std::string& out) {
    char hex[4];
    for (std::size_t i = 0; i < data.size(); ++i) {
        std::snprintf(hex, sizeof hex, "%02X", unsigned{data[i]});
        out += hex;
        out += i + 1 == data.size() || i % 16 == 15 ? "\n" : " ";
    }
}

void show_value(std::uint8_t type, std::span<const std::uint8_t> data, Shown& shown) {
    Cursor cursor{data, shown};
    std::string& out = shown.text;
    std::size_t count = 0;
    const bool complex = type % 2 == 1;
    switch (type) {
    case TYPE_REAL:
    case TYPE_COMPLEX:
    case TYPE_REAL_CONSTANT:
    case TYPE_COMPLEX_CONSTANT:
        number(cursor, complex, out);
        if (!cursor.cut) out += "\n";
        break;
    case TYPE_REAL_VECTOR: // 01, the element count, the elements
    case TYPE_COMPLEX_VECTOR:
        if (!cursor.has(2, "length")) break;
        if (data[0] != 0x01) shown.faults.push_back({0, "vector whose first byte is not 01"});
        count = cursor.take(2)[1];
        cursor.check_count(0, count, complex ? 2 * REAL_SIZE : REAL_SIZE);
        numbers(cursor, count, complex, "[", "]\n", out);
        break;
    case TYPE_REAL_LIST: // 16-bit count, the elements
    case TYPE_COMPLEX_LIST:
        if (!cursor.length_field(count, complex ? 2 * REAL_SIZE : REAL_SIZE, "length")) break;
        numbers(cursor, count, complex, "{", "}\n", out);
        break;
    case TYPE_REAL_MATRIX: // rows, columns, the elements row by row
    case TYPE_COMPLEX_MATRIX:
        matrix(cursor, complex, out);
        break;
    case TYPE_EQUATION: {
        const std::size_t base = cursor.at + 2;
        show_tokens(counted_body(cursor, "length"), base, shown);
        break;
    }
    case TYPE_STRING: { // 16-bit count, the characters
        const auto characters = counted_body(cursor, "length");
        if (cursor.at < 2) break;
        out += "\"";
        show_chars(characters, out);
        out += "\"\n";
        break;
    }
    case TYPE_FUNCTION_GDB:
    case TYPE_FUNCTION_GDB + 1: // polar
    case TYPE_FUNCTION_GDB + 2: // parametric
    case TYPE_DIFF_EQUATION_GDB:
        database(cursor, type, shown);
        break;
    case TYPE_PICTURE: // 16-bit size (03F0), 63 rows of 16 bytes
        picture(counted_body(cursor, "size"), out);
        break;
    case TYPE_PROGRAM:
        program(cursor, shown);
        break;
    case TYPE_SCREEN: // 64 rows of 16 bytes
        picture(data, out);
        cursor.at = data.size() - data.size() % ROW_BYTES;
        break;
    case TYPE_FUNCTION_WINDOW:
    case TYPE_FUNCTION_WINDOW + 1: // polar
    case TYPE_FUNCTION_WINDOW + 2: // parametric
    case TYPE_FUNCTION_WINDOW + 3: // differential equation
    case TYPE_ZOOM_MEMORY:
        window(cursor, type, out);
        break;
    default: // no known layout
        show_hex(data, out);
        cursor.at = data.size();
        break;
    }
    if (!cursor.cut && cursor.at < data.size()) {
        shown.faults.push_back(
            {cursor.at, std::to_string(data.size() - cursor.at) + " bytes after the value"});
    }
}
