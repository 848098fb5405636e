// The calculator's character set, as text.
#include "varfile/varfile.h"

#include <algorithm>
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
constexpr std::array<std::array<char, 2>, 0x80> make_ascii_text() {
    std::array<std::array<char, 2>, 0x80> text{};
    for (std::size_t code = 0; code < text.size(); ++code)
        text[code] = {static_cast<char>(code), '\0'};
    return text;
}
constexpr std::array<std::array<char, 2>, 0x80> ASCII_TEXT = make_ascii_text();

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

namespace {

bool is_ascii_letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Whether the ASCII word `word` may be read at `at`: a word of letters must stand alone.
bool word_fits(std::string_view text, std::size_t at, std::string_view word) {
    if (!std::all_of(word.begin(), word.end(), is_ascii_letter)) return true;
    const std::size_t end = at + word.size();
    return (at == 0 || !is_ascii_letter(text[at - 1])) &&
           (end >= text.size() || !is_ascii_letter(text[end]));
}

} // namespace

bool read_calc_text(std::string_view text, bool ascii, std::vector<std::uint8_t>& codes,
                    std::size_t& bad, std::vector<std::size_t>* starts) {
    for (std::size_t at = 0; at < text.size();) {
        if (starts != nullptr) starts->push_back(at);
        if (text.substr(at, 2) == "\\x" && at + 4 <= text.size() && hex_value(text[at + 2]) >= 0 &&
            hex_value(text[at + 3]) >= 0) {
            codes.push_back(
                static_cast<std::uint8_t>(hex_value(text[at + 2]) * 16 + hex_value(text[at + 3])));
            at += 4;
            continue;
        }
        std::size_t best = 0;
        std::size_t best_length = 0;
        for (std::size_t code = 0; code < calc_chars.size(); ++code) {
            const CalcChar& form = calc_chars[code];
            if (form.unicode == nullptr) continue;
            for (const std::string_view candidate :
                 {std::string_view(form.unicode), std::string_view(ascii ? form.ascii : "")}) {
                if (candidate.size() > best_length && text.substr(at).starts_with(candidate) &&
                    (candidate.data() == form.unicode || word_fits(text, at, candidate))) {
                    best = code;
                    best_length = candidate.size();
                }
            }
        }
        if (best_length == 0) {
            bad = at;
            return false;
        }
        codes.push_back(static_cast<std::uint8_t>(best));
        at += best_length;
    }
    return true;
}
