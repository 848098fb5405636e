// mkvar: text in catvar's form, a value on the command line or a program typed in an editor,
// written as variable files.
#include "mkvar/mkvar.h"

#include "atomicfile/atomicfile.h"
#include "cli/cli.h"
#include "link/bytes.h"
#include "varfile/varfile.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <vector>

namespace {

constexpr ProgramInfo MKVAR{
    .name = "mkvar",
    .usage = "mkvar [OPTION]... [FILE]...\n",
    .about = "Writes variable files from text in the form catvar writes: a heading line\n"
             "NAME (TYPE, N bytes) per variable, then its value (numbers, lists, vectors,\n"
             "matrices, strings, programs). Each variable becomes NAME and its type's\n"
             "extension, as pullvar names received ones. FILE - or no FILE (and no -s or -p)\n"
             "is standard input. A program is written as plain text, which the calculator\n"
             "tokenizes on its first run.\n",
    .options = "  -s, --set=NAME=VALUE  a variable from the command line: A=3.14, L1={1,2},\n"
               "                        M=[[1,2][3,4]], V=[1,2], Z=(1,-2), S=\"HI\"\n"
               "  -p, --program=NAME    FILE is plain text (UTF-8): the program NAME\n"
               "  -o, --output=FILE     write one file, FILE as given (a group file for\n"
               "                        several variables)\n"
               "  -C, --directory=DIR   write the files in DIR\n"
               "  -f, --force           replace existing files\n"
               "  --ascii               read the ASCII words catvar --ascii writes\n",
    .statuses = "  0    every variable was written\n"
                "  1    a refusal (a line on standard error says what and where), an\n"
                "       existing file, a failed write, or a wrong command line\n",
    .more = "the manual page: man mkvar",
};

struct Settings {
    std::string directory;
    std::string output;
    std::string program;
    std::vector<std::string> sets;
    bool force = false;
    bool ascii = false;
    bool quiet = false; // no refusal or warning lines
};
Settings settings;

bool own_option(const char* argument) {
    const std::string_view option = argument;
    const auto value = [&](std::string_view long_name, std::string_view short_name,
                           std::string& into) {
        if (option.starts_with(long_name) && option.size() > long_name.size() &&
            option[long_name.size()] == '=') {
            into = option.substr(long_name.size() + 1);
            return true;
        }
        if (option.starts_with(short_name) && option.size() > 2) {
            into = option.substr(2);
            return true;
        }
        return false;
    };
    std::string set;
    if (option == "-f" || option == "--force") {
        settings.force = true;
    } else if (option == "--ascii") {
        settings.ascii = true;
    } else if (value("--set", "-s", set)) {
        settings.sets.push_back(set);
    } else if (!value("--program", "-p", settings.program) &&
               !value("--output", "-o", settings.output) &&
               !value("--directory", "-C", settings.directory)) {
        return false;
    }
    return true;
}

struct Variable {
    std::uint8_t type;
    std::vector<std::uint8_t> name;
    std::vector<std::uint8_t> data;
    std::size_t line; // of its heading, for refusals that name it
};

// ---- Where a refusal points ----

// One line of input: its file, number and text. A value of several lines is read as one
// text, the lines' texts joined: `joined` then tells where each line starts in it.
struct Line {
    const std::string* file;
    std::size_t number;
    std::string_view text;
    const std::vector<std::pair<std::size_t, const struct Line*>>* joined = nullptr;
};

// The column of byte `at` of `text`, counted in characters from 1.
std::size_t column(std::string_view text, std::size_t at) {
    std::size_t count = 1;
    for (std::size_t i = 0; i < at && i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) ++count;
    }
    return count;
}

void diagnose(const Line& joined_line, std::size_t at, const std::string& what) {
    const Line* where = &joined_line;
    if (joined_line.joined != nullptr) {
        for (const auto& [start, part] : *joined_line.joined) {
            if (start <= at) {
                where = part;
                at -= start;
                break;
            }
        }
    }
    const Line& line = *where;
    if (settings.quiet) return;
    std::fprintf(stderr, "mkvar: %s:%zu:%zu: %s\n", printable(*line.file).c_str(), line.number,
                 column(line.text, at), printable(what).c_str());
}

// Every refusal ends here: false, after its line.
bool refuse(const Line& line, std::size_t at, const std::string& what) {
    diagnose(line, at, what);
    return false;
}

// ---- Numbers ----

constexpr std::size_t REAL_SIZE = 10;
constexpr std::size_t DIGITS = 14;
constexpr int EXPONENT_BIAS = 0xFC00;
constexpr std::uint8_t COMPLEX_HALF = 0x01;

bool starts(std::string_view text, std::size_t at, std::string_view with) {
    return text.substr(at).starts_with(with);
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// A minus sign, as catvar writes it or as the calculator's negation sign.
std::size_t minus_at(std::string_view text, std::size_t at) {
    if (starts(text, at, "-")) return 1;
    if (starts(text, at, "−")) return std::string_view("−").size();
    return 0;
}

// A real at `at`, rounded to 14 significant digits, into `out` (with `flags`).
bool read_real(const Line& line, std::string_view text, std::size_t& at,
               std::array<std::uint8_t, REAL_SIZE>& out, std::uint8_t flags) {
    const std::size_t start = at;
    bool negative = false;
    if (const std::size_t sign = minus_at(text, at); sign != 0) {
        negative = true;
        at += sign;
    }
    std::string all; // the mantissa's digits
    std::size_t point = std::string::npos;
    for (; at < text.size() &&
           (is_digit(text[at]) || (text[at] == '.' && point == std::string::npos));
         ++at) {
        if (text[at] == '.') {
            point = all.size();
        } else {
            all += text[at];
        }
    }
    if (all.empty()) return refuse(line, start, "a number was expected");
    if (point == std::string::npos) point = all.size();
    const std::size_t zeros = std::min(all.find_first_not_of('0'), all.size());
    std::string digits = all.substr(zeros);
    long exponent_part = 0;
    if (starts(text, at, "E") || starts(text, at, "ᴇ")) {
        at += text[at] == 'E' ? 1 : std::string_view("ᴇ").size();
        const std::size_t exponent_at = at;
        bool exponent_negative = false;
        if (const std::size_t sign = minus_at(text, at); sign != 0) {
            exponent_negative = true;
            at += sign;
        } else if (starts(text, at, "+")) {
            ++at;
        }
        std::size_t count = 0;
        for (; at < text.size() && is_digit(text[at]); ++at, ++count) {
            if (exponent_part < 100000) exponent_part = exponent_part * 10 + (text[at] - '0');
        }
        if (count == 0) return refuse(line, exponent_at, "an exponent was expected");
        if (exponent_negative) exponent_part = -exponent_part;
    }
    out.fill(0);
    if (digits.empty()) { // zero
        write_le16(std::span{out}.subspan(1), EXPONENT_BIAS);
        out[0] = flags;
        return true;
    }
    long exponent = static_cast<long>(point) - static_cast<long>(zeros) - 1 + exponent_part;
    if (digits.size() > DIGITS) {
        const bool up = digits[DIGITS] >= '5';
        digits.resize(DIGITS);
        for (std::size_t i = DIGITS; up && i-- > 0;) {
            if (digits[i] != '9') {
                ++digits[i];
                break;
            }
            digits[i] = '0';
            if (i == 0) {
                digits = "1" + digits.substr(0, DIGITS - 1);
                ++exponent;
            }
        }
    }
    if (exponent < -999 || exponent > 999) {
        return refuse(line, start, "an exponent outside -999 to 999");
    }
    digits.resize(DIGITS, '0');
    out[0] = static_cast<std::uint8_t>((negative ? 0x80 : 0x00) | flags);
    write_le16(std::span{out}.subspan(1), static_cast<std::uint16_t>(EXPONENT_BIAS + exponent));
    for (std::size_t i = 0; i < DIGITS / 2; ++i) {
        out[3 + i] =
            static_cast<std::uint8_t>((digits[2 * i] - '0') << 4 | (digits[2 * i + 1] - '0'));
    }
    return true;
}

// ---- Values ----

// A number: a real, or a complex (a,b).
struct Element {
    std::array<std::uint8_t, REAL_SIZE> real{};
    std::array<std::uint8_t, REAL_SIZE> imaginary{};
    bool complex = false;
};

enum class Shape { number, list, vector, matrix, string };

struct Value {
    Shape shape = Shape::number;
    std::vector<Element> elements;
    std::size_t rows = 0;
    std::size_t columns = 0;
    std::vector<std::uint8_t> chars;
};

void skip_spaces(std::string_view text, std::size_t& at) {
    while (at < text.size() && text[at] == ' ')
        ++at;
}

bool expect(const Line& line, std::string_view text, std::size_t& at, char c) {
    skip_spaces(text, at);
    if (at < text.size() && text[at] == c) {
        ++at;
        return true;
    }
    return refuse(line, at, std::string("\"") + c + "\" was expected");
}

bool read_element(const Line& line, std::string_view text, std::size_t& at, Element& element) {
    skip_spaces(text, at);
    if (at < text.size() && text[at] == '(') {
        ++at;
        element.complex = true;
        skip_spaces(text, at);
        if (!read_real(line, text, at, element.real, COMPLEX_HALF)) return false;
        if (!expect(line, text, at, ',')) return false;
        skip_spaces(text, at);
        if (!read_real(line, text, at, element.imaginary, COMPLEX_HALF)) return false;
        return expect(line, text, at, ')');
    }
    return read_real(line, text, at, element.real, 0);
}

// Elements up to `close`, separated by commas.
bool read_elements(const Line& line, std::string_view text, std::size_t& at, char close,
                   std::vector<Element>& elements) {
    skip_spaces(text, at);
    if (at < text.size() && text[at] == close) {
        ++at;
        return true;
    }
    for (;;) {
        Element element;
        if (!read_element(line, text, at, element)) return false;
        elements.push_back(element);
        skip_spaces(text, at);
        if (at < text.size() && text[at] == ',') {
            ++at;
            continue;
        }
        return expect(line, text, at, close);
    }
}

// A value in one of catvar's forms; a matrix's rows joined into one text.
bool read_value(const Line& line, std::string_view text, Value& value) {
    std::size_t at = 0;
    skip_spaces(text, at);
    if (starts(text, at, "\"")) {
        const std::size_t last = text.find_last_of('"');
        if (last == at) return refuse(line, text.size(), "the closing \" was expected");
        std::size_t bad = 0;
        const std::string_view inner = text.substr(at + 1, last - at - 1);
        if (!read_calc_text(inner, settings.ascii, value.chars, bad)) {
            return refuse(line, at + 1 + bad, "a character the calculator's set lacks");
        }
        value.shape = Shape::string;
        at = last + 1;
    } else if (starts(text, at, "{")) {
        value.shape = Shape::list;
        ++at;
        if (!read_elements(line, text, at, '}', value.elements)) return false;
    } else if (starts(text, at, "[[")) {
        value.shape = Shape::matrix;
        ++at;
        while (skip_spaces(text, at), starts(text, at, "[")) {
            const std::size_t row_at = at++;
            const std::size_t before = value.elements.size();
            if (!read_elements(line, text, at, ']', value.elements)) return false;
            const std::size_t count = value.elements.size() - before;
            if (value.rows > 0 && count != value.columns) {
                return refuse(line, row_at, "a row of another length than the first");
            }
            value.columns = count;
            ++value.rows;
        }
        if (!expect(line, text, at, ']')) return false;
    } else if (starts(text, at, "[")) {
        value.shape = Shape::vector;
        ++at;
        if (!read_elements(line, text, at, ']', value.elements)) return false;
    } else {
        Element element;
        if (!read_element(line, text, at, element)) return false;
        value.elements.push_back(element);
    }
    skip_spaces(text, at);
    if (at < text.size()) return refuse(line, at, "the value ends before this");
    return true;
}

void put_element(const Element& element, bool complex, std::vector<std::uint8_t>& data) {
    std::array<std::uint8_t, REAL_SIZE> real = element.real;
    std::array<std::uint8_t, REAL_SIZE> imaginary = element.imaginary;
    if (complex && !element.complex) { // a real among complex numbers: its imaginary part 0
        real[0] |= COMPLEX_HALF;
        imaginary[0] = COMPLEX_HALF;
        write_le16(std::span{imaginary}.subspan(1), EXPONENT_BIAS);
    }
    data.insert(data.end(), real.begin(), real.end());
    if (complex) data.insert(data.end(), imaginary.begin(), imaginary.end());
}

void put16(std::vector<std::uint8_t>& data, std::size_t value) {
    const auto two = le16(static_cast<std::uint16_t>(value));
    data.insert(data.end(), two.begin(), two.end());
}

// The type and data of `value` as a variable whose heading says `type_name` ("" for -s:
// the value's own form decides).
bool encode(const Line& line, const std::string& type_name, const Value& value,
            Variable& variable) {
    const bool complex = std::any_of(value.elements.begin(), value.elements.end(),
                                     [](const Element& e) { return e.complex; });
    const auto one = [&](std::uint8_t real, std::uint8_t complex_type) {
        variable.type = complex ? complex_type : real;
        put_element(value.elements.front(), complex, variable.data);
    };
    const auto shaped = [&](Shape shape, std::string_view name) {
        return value.shape == shape && (type_name.empty() || type_name == name);
    };
    const std::size_t count = value.elements.size();
    if (shaped(Shape::number, "REAL") && !complex) {
        one(TYPE_REAL, TYPE_COMPLEX);
    } else if (shaped(Shape::number, "CPLX") && (complex || type_name == "CPLX")) {
        variable.type = TYPE_COMPLEX;
        put_element(value.elements.front(), true, variable.data);
    } else if (value.shape == Shape::number && type_name == "CONST") {
        one(TYPE_REAL_CONSTANT, TYPE_COMPLEX_CONSTANT);
    } else if (shaped(Shape::list, "LIST")) {
        variable.type = complex ? TYPE_COMPLEX_LIST : TYPE_REAL_LIST;
        put16(variable.data, count);
        for (const Element& element : value.elements)
            put_element(element, complex, variable.data);
    } else if (shaped(Shape::vector, "VECTR") && count <= 0xFF) {
        variable.type = complex ? TYPE_COMPLEX_VECTOR : TYPE_REAL_VECTOR;
        variable.data = {0x01, static_cast<std::uint8_t>(count)};
        for (const Element& element : value.elements)
            put_element(element, complex, variable.data);
    } else if (shaped(Shape::matrix, "MATRX") && value.rows <= 0xFF && value.columns <= 0xFF) {
        variable.type = complex ? TYPE_COMPLEX_MATRIX : TYPE_REAL_MATRIX;
        variable.data = {static_cast<std::uint8_t>(value.rows),
                         static_cast<std::uint8_t>(value.columns)};
        for (const Element& element : value.elements)
            put_element(element, complex, variable.data);
    } else if (shaped(Shape::string, "STRNG")) {
        variable.type = TYPE_STRING;
        put16(variable.data, value.chars.size());
        variable.data.insert(variable.data.end(), value.chars.begin(), value.chars.end());
    } else {
        return refuse(line, 0,
                      type_name.empty() ? "a value of no type: write a number, (re,im), {list}, "
                                          "[vector], [[matrix]] or \"string\""
                                        : "the value is no " + type_name);
    }
    return true;
}

// ---- Names and programs ----

bool read_name(const Line& line, std::string_view text, std::size_t at, Variable& variable) {
    std::size_t bad = 0;
    variable.name.clear();
    if (!read_calc_text(text, settings.ascii, variable.name, bad)) {
        return refuse(line, at + bad, "a character the calculator's set lacks in the name");
    }
    if (variable.name.empty() || variable.name.size() > BACKUP_NAME_MAX ||
        !calc_letter(variable.name.front())) {
        return refuse(line, at,
                      "the name '" + std::string(text) +
                          "': 1 to 8 characters, the first a letter");
    }
    return true;
}

// The codes that stand before a sign that can only be a negation.
bool before_negation(std::uint8_t code) {
    return std::string_view("(,=+-*/^").find(static_cast<char>(code)) != std::string_view::npos ||
           code == 0x1C; // →
}

// A program line's codes, with a warning for each ASCII "-" where only a negation can stand.
bool program_line(const Line& line, std::vector<std::uint8_t>& body) {
    std::vector<std::uint8_t> codes;
    std::vector<std::size_t> starts;
    std::size_t bad = 0;
    if (!read_calc_text(line.text, settings.ascii, codes, bad, &starts)) {
        return refuse(line, bad, "a character the calculator's set lacks");
    }
    std::optional<std::uint8_t> previous;
    for (std::size_t i = 0; i < codes.size(); ++i) {
        if (codes[i] == '-' && (!previous || before_negation(*previous))) {
            diagnose(line, starts[i],
                     "warning: the calculator reads \"-\" here as a subtraction; its negation "
                     "sign is \"−\"");
        }
        if (codes[i] != ' ') previous = codes[i];
    }
    body.insert(body.end(), codes.begin(), codes.end());
    return true;
}

// A program's body from its lines: 00, then each line ended by D6 (the last one without it
// when `open_end`).
bool program_body(const std::vector<Line>& lines, bool open_end, Variable& variable) {
    std::vector<std::uint8_t> body{0x00};
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (!program_line(lines[i], body)) return false;
        if (!(open_end && i + 1 == lines.size())) body.push_back(0xD6);
    }
    variable.type = TYPE_PROGRAM;
    variable.data.clear();
    put16(variable.data, body.size());
    variable.data.insert(variable.data.end(), body.begin(), body.end());
    return true;
}

// ---- catvar's text ----

// A heading line's parts: "NAME (TYPE, N bytes[, mark]...)".
struct Heading {
    std::string name;
    std::string type;
    std::string marks;
};

bool all_of(std::string_view text, bool (*allowed)(char)) {
    return std::all_of(text.begin(), text.end(), allowed);
}

// Whether `line` is a heading, and its parts. A heading is short: a name of at most 8
// characters (32 bytes escaped), a type and a size.
bool is_heading(std::string_view line, Heading& heading) {
    constexpr std::size_t HEADING_MAX = 160;
    if (line.size() > HEADING_MAX || !line.ends_with(")")) return false;
    const std::size_t bytes = line.rfind(" bytes");
    const std::size_t open = bytes == std::string_view::npos ? bytes : line.rfind(" (", bytes);
    if (open == std::string_view::npos || open == 0) return false;
    const std::string_view inner = line.substr(open + 2, bytes - open - 2); // "TYPE, N"
    const std::size_t comma = inner.rfind(", ");
    if (comma == std::string_view::npos) return false;
    const std::string_view type = inner.substr(0, comma);
    const std::string_view size = inner.substr(comma + 2);
    const std::string_view marks = line.substr(bytes + 6, line.size() - bytes - 7);
    const bool known_type =
        (!type.empty() && all_of(type, [](char c) { return c >= 'A' && c <= 'Z'; })) ||
        (type.size() == 9 && type.starts_with("type 0x"));
    const bool marked =
        marks.empty() || (marks.starts_with(", ") && all_of(marks, [](char c) {
                              return (c >= 'a' && c <= 'z') || is_digit(c) || c == ' ' || c == ',';
                          }));
    if (!known_type || size.empty() || !all_of(size, is_digit) || !marked) return false;
    heading = {std::string(line.substr(0, open)), std::string(type), std::string(marks)};
    return true;
}

// What a heading's type cannot be written as, or nullptr when it can.
const char* refused_type(const std::string& type) {
    if (type == "EQU") return "an equation (EQU): mkvar does not write equations";
    if (type == "PICT") return "a picture (PICT): picvar makes pictures from PNG files";
    if (type == "RANGE") return "window settings (RANGE): mkvar does not write them";
    if (type == "GDB") return "a graph database (GDB): mkvar does not write them";
    if (type == "BAKUP") return "a backup (BAKUP): mkvar does not write backups";
    for (const char* known : {"REAL", "CPLX", "CONST", "VECTR", "LIST", "MATRX", "STRNG", "PRGRM"})
        if (type == known) return nullptr;
    return "a variable of unknown layout: mkvar does not write it";
}

// One variable: its heading's parts and its value's lines.
bool variable_of(const Line& heading, const Heading& parts, const std::vector<Line>& body,
                 Variable& variable) {
    const std::string& type = parts.type;
    if (const char* why = refused_type(type)) return refuse(heading, 0, why);
    if (!read_name(heading, parts.name, 0, variable)) return false;
    variable.line = heading.number;
    if (type == "PRGRM") {
        return program_body(body, parts.marks.find("no final line end") != std::string::npos,
                            variable);
    }
    // A matrix spans lines: its rows are joined, each line's text taken as it stands.
    std::string text;
    std::vector<std::pair<std::size_t, const Line*>> starts; // the last line first
    for (const Line& line : body) {
        starts.insert(starts.begin(), {text.size(), &line});
        text += line.text;
    }
    if (text.empty()) return refuse(heading, heading.text.size(), "the value is missing");
    const Line joined{heading.file, heading.number + 1, text, &starts};
    Value value;
    return read_value(joined, text, value) && encode(joined, type, value, variable);
}

// Every variable of catvar-style text.
bool read_listing(const std::string& file, const std::string& text,
                  std::vector<Variable>& variables) {
    std::vector<Line> lines;
    for (std::size_t at = 0, number = 1; at < text.size(); ++number) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        lines.push_back({&file, number, std::string_view(text).substr(at, end - at)});
        at = end + 1;
    }
    std::size_t i = 0;
    while (i < lines.size() && lines[i].text.empty())
        ++i;
    if (i == lines.size()) return true;
    Heading here;
    Heading next_heading;
    for (; i < lines.size();) {
        if (!is_heading(lines[i].text, here)) {
            return refuse(lines[i], 0, "a heading line, NAME (TYPE, N bytes), was expected");
        }
        std::vector<Line> body;
        std::size_t next = i + 1;
        for (; next < lines.size(); ++next) {
            if (is_heading(lines[next].text, next_heading)) break;
            body.push_back(lines[next]);
        }
        if (here.type != "PRGRM") {
            while (!body.empty() && body.back().text.empty())
                body.pop_back();
        }
        Variable variable;
        if (!variable_of(lines[i], here, body, variable)) return false;
        variables.push_back(std::move(variable));
        i = next;
    }
    return true;
}

// A plain text file as the program `name`: every line ended by D6.
bool read_program(const std::string& file, const std::string& text, const std::string& name,
                  std::vector<Variable>& variables) {
    std::vector<Line> lines;
    std::vector<std::string> stripped;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        std::string line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        stripped.push_back(line);
        at = end + 1;
    }
    for (std::size_t i = 0; i < stripped.size(); ++i)
        lines.push_back({&file, i + 1, stripped[i]});
    Variable variable;
    const std::string where = "--program=" + name;
    const Line option{&where, 1, name};
    if (!read_name(option, name, 0, variable) || !program_body(lines, false, variable)) {
        return false;
    }
    variables.push_back(std::move(variable));
    return true;
}

// -s NAME=VALUE.
bool read_set(const std::string& set, std::vector<Variable>& variables) {
    static const std::string where = "--set";
    const Line line{&where, 1, set};
    const std::size_t equals = set.find('=');
    if (equals == std::string::npos) return refuse(line, set.size(), "NAME=VALUE was expected");
    Variable variable;
    Value value;
    const std::string text = set.substr(equals + 1);
    const Line value_line{&where, 1, text};
    if (!read_name(line, set.substr(0, equals), 0, variable) ||
        !read_value(value_line, text, value) || !encode(value_line, "", value, variable)) {
        return false;
    }
    variables.push_back(std::move(variable));
    return true;
}

// ---- Writing ----

std::string output_path(const std::string& name) {
    return settings.directory.empty() ? name : settings.directory + "/" + name;
}

bool exists(const std::string& path) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0;
}

bool write_one(const std::string& path, const std::vector<Variable>& variables) {
    std::vector<FileEntry> entries;
    entries.reserve(variables.size());
    for (const Variable& variable : variables) {
        entries.push_back({0, variable.type, variable.name,
                           static_cast<std::uint16_t>(variable.data.size()), 0, variable.data});
    }
    if (!write_file(path.c_str(), encode_file(entries))) {
        const char* why = std::strerror(errno);
        std::fprintf(stderr, "mkvar: Cannot write %s (%s)\n", printable(path).c_str(), why);
        return false;
    }
    say("mkvar: %s\n", printable(path).c_str());
    return true;
}

// The file names of one input's variables, as the receiver would name them; false when it
// would refuse one (a name it cannot store, data too large for a data section).
bool file_names(const std::string& input, const std::vector<Variable>& variables,
                std::vector<std::string>& names) {
    for (const Variable& variable : variables) {
        PathBuffer name{};
        const HeaderFault fault =
            variable_file_name(variable.type, variable.name, variable.data.size(), name);
        if (fault != HeaderFault::none)
            return refuse({&input, variable.line, ""}, 0, describe(fault));
        names.emplace_back(name.data());
    }
    return true;
}

// The variables of one input, each as its own file: all of them, or none when any is refused.
bool write_each(const std::string& input, const std::vector<Variable>& variables) {
    std::vector<std::string> names;
    if (!file_names(input, variables, names)) return false;
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < variables.size(); ++i) {
        const std::string path = output_path(names[i]);
        if (!settings.force && exists(path)) {
            return refuse({&input, variables[i].line, ""}, 0,
                          printable(path) + " exists, not replaced (-f replaces it)");
        }
        paths.push_back(path);
    }
    bool ok = true;
    for (std::size_t i = 0; i < variables.size(); ++i)
        ok = write_one(paths[i], {variables[i]}) && ok;
    return ok;
}

bool read_input(const std::string& path, std::vector<Variable>& variables) {
    // Far more text than any variable's: a larger input is refused, never cut.
    constexpr std::size_t TEXT_MAX = 16 * FILE_SIZE_MAX;
    std::vector<std::uint8_t> bytes;
    const bool read = read_whole_file(path.c_str(), TEXT_MAX + 1, bytes) == whole_read::done;
    if (!read || bytes.size() > TEXT_MAX) {
        const char* why = std::strerror(read ? EFBIG : errno);
        std::fprintf(stderr, "mkvar: %s: cannot read (%s)\n", printable(path).c_str(), why);
        return false;
    }
    const std::string text(bytes.begin(), bytes.end());
    const std::string shown = path == "-" ? "(standard input)" : path;
    return settings.program.empty() ? read_listing(shown, text, variables)
                                    : read_program(shown, text, settings.program, variables);
}

} // namespace

bool mkvar_files(const std::string& text, bool ascii,
                 std::vector<std::vector<std::uint8_t>>& files) {
    settings = {};
    settings.ascii = ascii;
    settings.quiet = true;
    const std::string name = "text";
    std::vector<Variable> variables;
    std::vector<std::string> names;
    if (!read_listing(name, text, variables) || !file_names(name, variables, names)) return false;
    for (const Variable& variable : variables) {
        const FileEntry entry{
            0, variable.type, variable.name, static_cast<std::uint16_t>(variable.data.size()),
            0, variable.data};
        files.push_back(encode_file({&entry, 1}));
    }
    return true;
}

int mkvar_main(int argc, char** argv) {
    open_standard_descriptors();
    settings = {};
    constexpr OptionNames VALUED[] = {
        {"-s", "--set"}, {"-p", "--program"}, {"-o", "--output"}, {"-C", "--directory"}};
    std::vector<std::string> args;
    std::vector<char*> pointers;
    join_option_values(argc, argv, VALUED, args, pointers);
    std::vector<std::string> inputs;
    for (char* file :
         read_command_line(static_cast<int>(args.size()), pointers.data(), MKVAR, own_option)) {
        inputs.emplace_back(file);
    }
    if (!settings.program.empty() && inputs.size() != 1) {
        std::fprintf(stderr, "mkvar: --program takes one FILE, the program's text\n");
        usage_error(MKVAR);
    }
    if (inputs.empty() && settings.sets.empty()) inputs.emplace_back("-");

    int status = 0;
    std::vector<Variable> all; // for --output
    const auto take = [&](const std::string& name, bool read, std::vector<Variable>& variables) {
        std::vector<std::string> names;
        const bool written = read && (settings.output.empty() ? write_each(name, variables)
                                                              : file_names(name, variables, names));
        if (!written) {
            status = 1;
        } else if (!settings.output.empty()) {
            all.insert(all.end(), variables.begin(), variables.end());
        }
    };
    for (const std::string& set : settings.sets) {
        std::vector<Variable> variables;
        take("--set", read_set(set, variables), variables);
    }
    for (const std::string& input : inputs) {
        std::vector<Variable> variables;
        take(input, read_input(input, variables), variables);
    }
    if (!settings.output.empty() && status == 0) {
        const std::string& path = settings.output; // as given, -C or not
        std::size_t section = 0;
        for (const Variable& variable : all)
            section += 8 + variable.name.size() + variable.data.size();
        if (all.empty()) {
            std::fprintf(stderr, "mkvar: no variable to write\n");
            status = 1;
        } else if (section > DATA_SECTION_MAX) {
            std::fprintf(stderr, "mkvar: %s: the variables are too large for one file\n",
                         printable(path).c_str());
            status = 1;
        } else if (!settings.force && exists(path)) {
            std::fprintf(stderr, "mkvar: %s exists, not replaced (-f replaces it)\n",
                         printable(path).c_str());
            status = 1;
        } else if (!write_one(path, all)) {
            status = 1;
        }
    }
    return status;
}
