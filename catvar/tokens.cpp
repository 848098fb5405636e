// Tokens of programs and equations, and the characters of names and strings, as text.
#include "catvar/show.h"
#include "varfile/varfile.h"

#include <array>
#include <cstdio>

namespace {

// How a token is written: most are a word of their own; the operand forms carry bytes after
// their code.
enum class Kind : std::uint8_t {
    word,     // its text
    unknown,  // no text: \xNN
    line_end, // 6F
    name,     // 33-3A: a user name of 1-8 bytes, no length byte
    counted,  // 32, 3B, 3C: a length byte, then the name
    system,   // 3D: a second byte, from the table of two-byte tokens
    units,    // 3E: two counted names, the units of a conversion
    number,   // 44: text up to a 00
    string,   // 2D: text up to a 00, which stands for the closing quote
    label,    // E0 (Lbl): a name up to a 00
    go_to,    // E1 (Goto): two bytes kept for the jump, then a name up to a 00
};

struct Token {
    const char* text;
    Kind kind;
};

constexpr Token W(const char* text) {
    return {text, Kind::word};
}
constexpr Token K(Kind kind) {
    return {nullptr, kind};
}
constexpr Token UNKNOWN = K(Kind::unknown);

// Indexed by code. A function's opening parenthesis is a token of its own (10), so no word has it.
constexpr std::array<Token, 256> TOKENS{{
    UNKNOWN,          W("►Rec"),       W("►Pol"),        W("►Cyl"),
    W("►Sph"),        W("►DMS"),       W("►Bin"),        W("►Hex"),
    W("►Oct"),        W("►Dec"),       W("►Frac"),       W("→"),
    W("["),           W("]"),          W("{"),           W("}"),
    W("("),           W(")"),          W("round"),       W("max"),
    W("min"),         W("mod"),        W("cross"),       W("dot"),
    W("aug"),         W("rSwap"),      W("rAdd"),        W("multR"),
    W("mRAdd"),       W("sub"),        W("lcm"),         W("gcd"),
    W("simult"),      W("inter"),      W("pEval"),       W("randM"),
    W("seq"),         W("evalF"),      W("fnInt"),       W("arc"),
    W("fMin"),        W("fMax"),       W("der1"),        W("der2"),
    W("nDer"),        K(Kind::string), W("∠"),           W(","),
    W("or"),          W("xor"),        K(Kind::counted), K(Kind::name),
    K(Kind::name),    K(Kind::name),   K(Kind::name),    K(Kind::name),
    K(Kind::name),    K(Kind::name),   K(Kind::name),    K(Kind::counted),
    K(Kind::counted), K(Kind::system), K(Kind::units),   W("="),
    W("and"),         W("rand"),       W("π"),           W("getKy"),
    K(Kind::number),  W("%"),          W("!"),           W("ʳ"),
    W("°"),           W("⁻¹"),         W("²"),           W("ᵀ"),
    W("Menu"),        W("P2Reg"),      W("P3Reg"),       W("P4Reg"),
    W("=="),          W("<"),          W(">"),           W("≤"),
    W("≥"),           W("≠"),          W("Radian"),      W("Degree"),
    W("Normal"),      W("Sci"),        W("Eng"),         W("Float"),
    W("Fix"),         W("RectV"),      W("CylV"),        W("SphereV"),
    W("+"),           W("-"),          W("Func"),        W("Param"),
    W("Pol"),         W("DifEq"),      W("Bin"),         W("Oct"),
    W("Hex"),         W("Dec"),        W("RectC"),       W("PolarC"),
    W("dxDer1"),      W("dxNDer"),     W(":"),           K(Kind::line_end),
    W("*"),           W("/"),          W("SeqG"),        W("SimulG"),
    W("PolarGC"),     W("RectGC"),     W("CoordOn"),     W("CoordOff"),
    W("DrawLine"),    W("DrawDot"),    W("AxesOn"),      W("AxesOff"),
    W("GridOn"),      W("GridOff"),    W("LabelOn"),     W("LabelOff"),
    W("nPr"),         W("nCr"),        W("Trace"),       W("ClDrw"),
    W("ZStd"),        W("ZTrig"),      W("ZFit"),        W("ZIn"),
    W("ZOut"),        W("ZSqr"),       W("ZInt"),        W("ZPrev"),
    W("ZDecm"),       W("ZRcl"),       W("PrtScrn"),     W("DrawF"),
    W("FnOn"),        W("FnOff"),      W("StPic"),       W("RcPic"),
    W("StGDB"),       W("RcGDB"),      W("Line"),        W("Vert"),
    W("PtOn"),        W("PtOff"),      W("PtChg"),       W("Shade"),
    W("Circl"),       W("Axes"),       W("TanLn"),       W("DrInv"),
    W("√"),           W("-"),          W("abs"),         W("iPart"),
    W("fPart"),       W("int"),        W("ln"),          W("e^"),
    W("log"),         W("10^"),        W("sin"),         W("sin⁻¹"),
    W("cos"),         W("cos⁻¹"),      W("tan"),         W("tan⁻¹"),
    W("sinh"),        W("sinh⁻¹"),     W("cosh"),        W("cosh⁻¹"),
    W("tanh"),        W("tanh⁻¹"),     W("sign"),        W("det"),
    W("ident"),       W("unitV"),      W("norm"),        W("rnorm"),
    W("cnorm"),       W("ref"),        W("rref"),        W("dim"),
    W("dimL"),        W("sum"),        W("prod"),        W("sortA"),
    W("sortD"),       W("li►vc"),      W("vc►li"),       W("lngth"),
    W("conj"),        W("real"),       W("imag"),        W("angle"),
    W("not"),         W("rotR"),       W("rotL"),        W("shftR"),
    W("shftL"),       W("eigVl"),      W("eigVc"),       W("cond"),
    W("poly"),        W("fcstx"),      W("fcsty"),       W("eval"),
    W("If"),          W("Then"),       W("Else"),        W("While"),
    W("Repeat"),      W("For"),        W("End"),         W("Return"),
    K(Kind::label),   K(Kind::go_to),  W("Pause"),       W("Stop"),
    W("IS>"),         W("DS<"),        W("Input"),       W("Prompt"),
    W("InpSt"),       W("Disp"),       W("DispG"),       W("Outpt"),
    W("ClLCD"),       W("Eq►St"),      W("St►Eq"),       W("Fill"),
    W("^"),           W("ˣ√"),         W("Solver"),      W("OneVar"),
    W("LinR"),        W("ExpR"),       W("LnR"),         W("PwrR"),
    W("ShwSt"),       W("Hist"),       W("xyLine"),      W("Scatter"),
    W("SortX"),       W("SortY"),      W("LU"),          UNKNOWN,
}};

static_assert(TOKENS[0x2D].kind == Kind::string && TOKENS[0x32].kind == Kind::counted &&
              TOKENS[0x33].kind == Kind::name && TOKENS[0x3A].kind == Kind::name &&
              TOKENS[0x3C].kind == Kind::counted && TOKENS[0x3E].kind == Kind::units &&
              TOKENS[0x44].kind == Kind::number && TOKENS[0x6F].kind == Kind::line_end &&
              TOKENS[0xE1].kind == Kind::go_to && TOKENS[0xFE].kind == Kind::word);

// The second byte of 3D: system variables, window settings and constants.
constexpr std::array<const char*, 0x36> SYSTEM_NAMES{
    "zxScl", "zyScl", "xScl",  "yScl",   "xMin",   "xMax",   "yMin",  "yMax",  "tMin",
    "tMax",  "tStep", "θStep", "ztStep", "zθStep", "tPlot",  "θMin",  "θMax",  "zxMin",
    "zxMax", "zyMin", "zyMax", "ztPlot", "zθMin",  "zθMax",  "ztMin", "ztMax", "lower",
    "upper", "Δx",    "Δy",    "xFact",  "yFact",  "difTol", "tol",   "δ",     "Na",
    "k",     "Cc",    "ec",    "Rc",     "Gc",     "g",      "Me",    "Mp",    "Mn",
    "µ0",    "ε0",    "h",     "c",      "u",      "e",      "xStat", "yStat", "Plot",
};

// Every non-ASCII word of the output and its ASCII form; a longer key before its prefixes.
// The ASCII words of the output's words that are not the calculator's characters (those are in
// its character table); longer words before the characters they begin with.
// x̄ is an x and a combining macron: the x stays, the macron reads "bar".
constexpr std::array<std::array<const char*, 2>, 7> ASCII_FORMS{{
    {"⁻¹", "^-1"},
    {"ˣ√", "xroot"},
    {"µ", "mu"},
    {"▀", "'"},
    {"▄", "."},
    {"█", ":"},
    {"\u0304", "bar"},
}};

std::string escaped(std::uint8_t code) {
    char text[8];
    std::snprintf(text, sizeof text, "\\x%02X", unsigned{code});
    return text;
}

bool is_alnum(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool is_letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Whether text that starts so would read as an operand of the word before it.
bool starts_operand(std::string_view text) {
    if (is_alnum(text[0])) return true;
    for (const std::string_view start : {"\"", "{", "[", "-", ".", "π", "√", "θ", "Δ", "δ"}) {
        if (text.starts_with(start)) return true;
    }
    return false;
}

// Writes items of a token stream with the spaces that keep them apart: between two items that
// would run together into one word ("A and B", "2 A"), and after a word such as Disp or sin
// before its operand ("Disp \"HI\"", "sin 30").
struct Writer {
    std::string& out;
    char last = '\n';
    bool after_word = false;

    void item(std::string_view text, bool word = false) {
        if (text.empty()) return;
        if ((is_alnum(last) && is_alnum(text[0])) || (after_word && starts_operand(text))) {
            out += ' ';
        }
        out += text;
        last = text.back();
        after_word = word;
    }
    void chars(std::span<const std::uint8_t> bytes) {
        std::string text;
        show_chars(bytes, text);
        item(text);
    }
    // Token codes without a text, each as \xNN.
    void codes(std::span<const std::uint8_t> bytes) {
        std::string text;
        show_codes(bytes, text);
        item(text);
    }
    void line_end() {
        out += '\n';
        last = '\n';
        after_word = false;
    }
};

// A word that takes an operand after a space: it begins with a letter and does not end with
// an opening parenthesis or a mark such as ^.
bool takes_operand(std::string_view text) {
    return is_letter(text.front()) && (is_letter(text.back()) || text.ends_with("⁻¹"));
}

} // namespace

void show_codes(std::span<const std::uint8_t> bytes, std::string& out) {
    for (const std::uint8_t code : bytes)
        out += escaped(code);
}

void show_chars(std::span<const std::uint8_t> chars, std::string& out) {
    append_calc_text(chars, false, out);
}

const char* system_name(std::uint8_t code) {
    return code < SYSTEM_NAMES.size() ? SYSTEM_NAMES[code] : nullptr;
}

namespace {

// The tokens as text, up to the end or to the token that the stream ends inside of.
void write_tokens(std::span<const std::uint8_t> tokens, std::size_t base, Shown& shown) {
    Writer writer{shown.text};
    const std::size_t n = tokens.size();
    // The bytes up to the next 00 from `from`, and where the stream goes on after it; false
    // when there is no 00.
    const auto up_to_zero = [&](std::size_t from, std::span<const std::uint8_t>& text,
                                std::size_t& next) {
        for (std::size_t end = from; end < n; ++end) {
            if (tokens[end] == 0) {
                text = tokens.subspan(from, end - from);
                next = end + 1;
                return true;
            }
        }
        return false;
    };
    const auto ends_inside = [&](std::size_t at, const char* what) {
        shown.faults.push_back({base + at, std::string("token stream ends inside ") + what});
    };

    std::size_t i = 0;
    while (i < n) {
        const std::uint8_t code = tokens[i];
        const Token& token = TOKENS[code];
        std::span<const std::uint8_t> text;
        std::size_t next = i + 1;
        switch (token.kind) {
        case Kind::word:
            writer.item(token.text, takes_operand(token.text));
            break;
        case Kind::unknown:
            writer.codes(tokens.subspan(i, 1));
            break;
        case Kind::line_end:
            writer.line_end();
            break;
        case Kind::name:
        case Kind::counted: {
            const std::size_t length =
                token.kind == Kind::name ? code - 0x32u : (i + 1 < n ? tokens[i + 1] : n);
            const std::size_t from = token.kind == Kind::name ? i + 1 : i + 2;
            if (from + length > n) return ends_inside(i, "a name");
            writer.chars(tokens.subspan(from, length));
            next = from + length;
            break;
        }
        case Kind::system:
            if (i + 1 >= n) return ends_inside(i, "a two-byte token");
            if (const char* name = system_name(tokens[i + 1])) {
                writer.item(name);
            } else {
                writer.codes(tokens.subspan(i, 2));
            }
            next = i + 2;
            break;
        case Kind::units: {
            const std::size_t first = i + 1 < n ? tokens[i + 1] : n;
            const std::size_t second_at = i + 2 + first;
            const std::size_t second = second_at < n ? tokens[second_at] : n;
            if (second_at + 1 + second > n) return ends_inside(i, "a unit conversion");
            std::string conversion;
            show_chars(tokens.subspan(i + 2, first), conversion);
            conversion += "►";
            show_chars(tokens.subspan(second_at + 1, second), conversion);
            writer.item(conversion);
            next = second_at + 1 + second;
            break;
        }
        case Kind::number:
            if (!up_to_zero(i + 1, text, next)) return ends_inside(i, "a number");
            writer.chars(text);
            break;
        case Kind::string: {
            if (!up_to_zero(i + 1, text, next)) return ends_inside(i, "a string");
            std::string quoted = "\"";
            show_chars(text, quoted);
            writer.item(quoted + "\"");
            break;
        }
        case Kind::label:
        case Kind::go_to: {
            const std::size_t from = token.kind == Kind::label ? i + 1 : i + 3;
            if (from > n || !up_to_zero(from, text, next)) return ends_inside(i, "a label");
            writer.item(token.kind == Kind::label ? "Lbl" : "Goto");
            writer.out += ' ';
            writer.last = ' ';
            writer.chars(text);
            break;
        }
        }
        i = next;
    }
}

} // namespace

void show_tokens(std::span<const std::uint8_t> tokens, std::size_t base, Shown& shown) {
    const std::size_t start = shown.text.size();
    write_tokens(tokens, base, shown);
    if (shown.text.size() > start && shown.text.back() != '\n') shown.text += '\n';
}

std::string to_ascii(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        if (static_cast<unsigned char>(text[i]) < 0x80) {
            out += text[i++];
            continue;
        }
        bool found = false;
        const auto replace = [&](const char* unicode, const char* ascii) {
            if (found || unicode == nullptr || !text.substr(i).starts_with(unicode)) return;
            out += ascii;
            i += std::string_view(unicode).size();
            found = true;
        };
        for (const auto& [unicode, ascii] : ASCII_FORMS)
            replace(unicode, ascii);
        for (const CalcChar& form : calc_chars)
            replace(form.unicode, form.ascii);
        if (!found) {
            // Never met: every non-ASCII word of the output is in the table. Keep the byte
            // visible rather than drop it.
            out += escaped(static_cast<std::uint8_t>(text[i++]));
        }
    }
    return out;
}
