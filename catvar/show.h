// catvar's own pieces: values and tokens as text. Private to catvar/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// A fault met inside a value: `at` counts from the value's first data byte.
struct ValueFault {
    std::size_t at;
    std::string what;
};

// A value shown as text: whole lines, each ended by '\n'.
struct Shown {
    std::string text;
    std::vector<ValueFault> faults;
    bool locked = false;   // a program locked against editing
    bool open_end = false; // a plain-text program whose last line has no D6
};

// ---- values.cpp ----

// The data of a variable of type `type` as text.
void show_value(std::uint8_t type, std::span<const std::uint8_t> data, Shown& shown);

// Bytes as hexadecimal lines of 16, "00 01 ... 0F".
void show_hex(std::span<const std::uint8_t> data, std::string& out);

// ---- tokens.cpp ----

// Bytes that are no characters, each as \xNN.
void show_codes(std::span<const std::uint8_t> bytes, std::string& out);

// Characters as the calculator holds them, in its character set (varfile's table).
void show_chars(std::span<const std::uint8_t> chars, std::string& out);

// A token stream (an equation, or a program's body) as text, one program line a line; faults
// counted from `base`. The text ends with '\n' unless it is empty.
void show_tokens(std::span<const std::uint8_t> tokens, std::size_t base, Shown& shown);

// The calculator's name for the two-byte token 3D `code` (xMin, θStep, ...); nullptr for none.
const char* system_name(std::uint8_t code);

// `text` with every non-ASCII word of the output replaced by its ASCII form.
std::string to_ascii(std::string_view text);
