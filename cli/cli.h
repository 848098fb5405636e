// The programs' side of the console: what they print and how they read their command line.
//
// Principles of operation
// - Every line a program prints goes through `say`, on standard output, flushed at once: a run
//   spends most of its time waiting on the calculator or the user, and an interrupt must not
//   swallow what was said.
//
// Used by every program; depends on nothing but the C library.
#pragma once

#include <string>
#include <string_view>

// Prints a line (or part of one) on standard output and flushes it.
__attribute__((format(printf, 1, 2))) void say(const char* format, ...);

// ---- Console safety (console.cpp) ----

// `text` as it may be printed: every control byte (0x00-0x1F, 0x7F-0x9F) written as \xNN, so
// that a name from a calculator or a file cannot move the cursor, clear the screen or retitle
// the terminal. Only for printing: file names on disk keep their bytes.
std::string printable(std::string_view text);

// Makes sure descriptors 0, 1 and 2 are open, on /dev/null where they are not, so that a file
// or device the program opens later can never become standard input or output. Call first
// thing in every program. Ends the process with status 1 if /dev/null cannot be opened.
void open_standard_descriptors();
