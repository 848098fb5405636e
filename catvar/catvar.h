// catvar: shows what variable files hold, as text.
//
// Principles of operation
// - A file is taken apart once (varfile's read_file), whatever is wrong with it: every variable
// gets a
//   heading line, "NAME (TYPE, N bytes)" with the type name the other programs print, then its
//   value as text: numbers as the calculator shows them, lists, vectors and matrices, strings,
//   equations and programs in the calculator's words, window settings and graph databases as
//   name=value lines, pictures and screens in Unicode half blocks, a backup's three parts and
//   their sizes, and the bytes of types without a known layout in hexadecimal.
// - The text is UTF-8 whatever the locale; the ASCII style replaces every non-ASCII word (->,
//   !=, pi, theta, ...). Names, strings and plain-text programs are shown in the calculator's
//   character set (varfile's table); a code without a form there is shown as \xNN, so the
//   text holds no control byte.
// - A fault (a file that is no variable file, lengths that disagree, a wrong checksum, a value
//   cut short) is one line, "catvar: PATH: [entry K (NAME), ]offset X: what", among the text,
//   and everything that could be read is still shown.
// - Nothing is kept between calls; nothing here ends the process except the command line's
//   --help and --version.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

struct Style {
    bool ascii = false;      // ASCII words instead of Unicode ones
    bool names_only = false; // heading lines (and fault lines) only
};

// The text for the bytes of one whole file, appended to `out`; `path` names the file in the
// fault lines. True when nothing was wrong with it.
bool show_file(std::span<const std::uint8_t> file, std::string_view path, const Style& style,
               std::string& out);

// Runs the program with its command line: options (--ascii, -n/--names, --help, --version),
// then the files, shown in order; "-" reads standard input. Prints on standard output. Returns
// 0 when every file was shown without a fault, 1 otherwise (also for a wrong command line or no
// file).
int catvar_main(int argc, char** argv);
