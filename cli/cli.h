// The programs' side of the console: what they print and how they read their command line.
//
// Principles of operation
// - Every line a program prints goes through `say`, on standard output, flushed at once: a run
//   spends most of its time waiting on the calculator or the user, and an interrupt must not
//   swallow what was said.
//
// Used by every program; depends on nothing but the C library.
#pragma once

// Prints a line (or part of one) on standard output and flushes it.
__attribute__((format(printf, 1, 2))) void say(const char* format, ...);
