// mkvar: variable files written from text, the inverse of catvar.
//
// Principles of operation
// - Input is text in the form catvar writes: a heading line "NAME (TYPE, N bytes[, ...])" per
//   variable, then its value as catvar shows it; several variables one after another. A value
//   can also come from the command line (-s NAME=VALUE, its type from its form), and a plain
//   text file can become a program (-p NAME).
// - Numbers are rounded to 14 significant digits as the calculator rounds; the halves of a
//   complex value carry the flag bit 0. Strings and programs are the calculator's characters
//   (varfile's table, both ways); a program is written as plain text: 00, then each line ended
//   by D6, which the calculator tokenizes on its first run.
// - Every refusal is one line with FILE:LINE:COLUMN on standard error; nothing of that input is
//   written. A variable is written as the receiver names it (its name and its type's
//   extension), whole or not at all; an existing file only with --force.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Reads catvar-style text as mkvar reads a FILE, saying nothing: the bytes of the variable file
// it would write for each variable, or false when it would refuse the text. For the fuzz target.
bool mkvar_files(const std::string& text, bool ascii,
                 std::vector<std::vector<std::uint8_t>>& files);

// Runs the program with its command line. Returns 0 when every variable was written, 1 when a
// refusal or a wrong command line stopped anything.
int mkvar_main(int argc, char** argv);
