// The calculator's character set, as text.
#include "varfile/varfile.h"

#include <cstdio>

namespace {

constexpr CalcChar NONE{nullptr, nullptr};

// The codes below 0x20 and from 0x7F; ASCII 0x20-0x7E are themselves, but for 0x24 (a dollar
// sign or a raised 4: unsure) and 0x5C (a backslash would make \xNN ambiguous). B7, a grave
// accent, is the modifier letter, as the ASCII one is 0x60.
constexpr std::array<CalcChar, 256> make_table() {
    std::array<CalcChar, 256> table{};
    table.fill(NONE);
    constexpr std::array<CalcChar, 0x20> LOW{{
        NONE,
        {"ᵇ", "_b"},
        {"ᵒ", "_o"},
        {"ᵈ", "_d"},
        {"ʰ", "_h"},
        {"►", "|>"},
        {"↑", "up"},
        {"↓", "down"},
        {"∫", "integral"},
        NONE, // 09: a times sign or a small x (unsure)
        // 0A-0F: the hex digits A-F, which would read back as the letters
        NONE,
        NONE,
        NONE,
        NONE,
        NONE,
        NONE,
        {"√", "sqrt"},
        NONE, // 11: an acute accent or a raised minus (unsure)
        {"²", "^2"},
        {"∠", "/_"},
        {"°", "deg"},
        {"ʳ", "^r"},
        {"ᵀ", "^T"},
        {"≤", "<="},
        {"≠", "!="},
        {"≥", ">="},
        {"−", "(-)"},
        {"ᴇ", "EE"},
        {"→", "->"},
        NONE, // 1D: Euler's e (unsure)
        NONE,
        NONE, // 1E, 1F: arrows again, as 06 and 07
    }};
    for (std::size_t code = 0; code < LOW.size(); ++code)
        table[code] = LOW[code];
    constexpr std::array<const char*, 10> SUBSCRIPTS{"₀", "₁", "₂", "₃", "₄",
                                                     "₅", "₆", "₇", "₈", "₉"};
    constexpr std::array<const char*, 10> SUBSCRIPT_WORDS{"_0", "_1", "_2", "_3", "_4",
                                                          "_5", "_6", "_7", "_8", "_9"};
    for (std::size_t i = 0; i < SUBSCRIPTS.size(); ++i)
        table[0x80 + i] = {SUBSCRIPTS[i], SUBSCRIPT_WORDS[i]};
    constexpr std::array<CalcChar, 0xD6 - 0x8A> HIGH{{
        {"Á", "A'"},    {"À", "A`"},     {"Â", "A^"},
        {"Ä", "A:"},    {"á", "a'"},     {"à", "a`"},
        {"â", "a^"},    {"ä", "a:"},     {"É", "E'"},
        {"È", "E`"},    {"Ê", "E^"},     {"Ë", "E:"},
        {"é", "e'"},    {"è", "e`"},     {"ê", "e^"},
        {"ë", "e:"},    {"Í", "I'"},     {"Ì", "I`"},
        {"Î", "I^"},    {"Ï", "I:"},     {"í", "i'"},
        {"ì", "i`"},    {"î", "i^"},     {"ï", "i:"},
        {"Ó", "O'"},    {"Ò", "O`"},     {"Ô", "O^"},
        {"Ö", "O:"},    {"ó", "o'"},     {"ò", "o`"},
        {"ô", "o^"},    {"ö", "o:"},     {"Ú", "U'"},
        {"Ù", "U`"},    {"Û", "U^"},     {"Ü", "U:"},
        {"ú", "u'"},    {"ù", "u`"},     {"û", "u^"},
        {"ü", "u:"},    {"Ç", "C,"},     {"ç", "c,"},
        {"Ñ", "N~"},    {"ñ", "n~"},     {"´", "acute"},
        {"ˋ", "grave"}, {"¨", "umlaut"}, {"¿", "inv?"},
        {"¡", "inv!"},  {"α", "alpha"},  {"β", "beta"},
        {"γ", "gamma"}, {"Δ", "Delta"},  {"δ", "delta"},
        {"ε", "eps"},   {"θ", "theta"},  {"λ", "lambda"},
        {"μ", "mu"},    {"π", "pi"},     {"ρ", "rho"},
        {"Σ", "Sigma"}, {"σ", "sigma"},  {"τ", "tau"},
        {"φ", "phi"},   {"Ω", "Omega"},  {"x̄", "xbar"},
        {"ȳ", "ybar"},  {"ˣ", "^x"},     {"…", "..."},
        {"◄", "<|"},    {"■", "box"},    NONE,
        NONE, // D1, D2: unsure
        NONE,
        NONE, // D3, D4: ² and ° again, as 12 and 14
        {"³", "^3"},
    }};
    for (std::size_t i = 0; i < HIGH.size(); ++i)
        table[0x8A + i] = HIGH[i];
    return table;
}

// One character string for each ASCII code, so that the table's entries can point at them.
constexpr std::array<std::array<char, 2>, 0x80> ASCII_TEXT = [] {
    std::array<std::array<char, 2>, 0x80> text{};
    for (std::size_t code = 0; code < text.size(); ++code)
        text[code] = {static_cast<char>(code), '\0'};
    return text;
}();

constexpr std::array<CalcChar, 256> with_ascii(std::array<CalcChar, 256> table) {
    for (std::size_t code = 0x20; code < 0x7F; ++code) {
        if (code != 0x24 && code != 0x5C)
            table[code] = {ASCII_TEXT[code].data(), ASCII_TEXT[code].data()};
    }
    return table;
}

} // namespace

constinit const std::array<CalcChar, 256> calc_chars = with_ascii(make_table());

void append_calc_text(std::span<const std::uint8_t> chars, bool ascii, std::string& out) {
    for (const std::uint8_t code : chars) {
        const CalcChar& form = calc_chars[code];
        if (form.unicode != nullptr) {
            out += ascii ? form.ascii : form.unicode;
        } else {
            char text[8];
            std::snprintf(text, sizeof text, "\\x%02X", unsigned{code});
            out += text;
        }
    }
}
