// pixdb: turns a 96 x 64 monochrome Windows bitmap into Z80 assembler data.
//
// The picture (read as pixdb/bitmap.h says) becomes 64 lines of "        .db $XX,..." text, 12
// bytes a line, top row first, with a 1 bit for every dark pixel, as the calculator's screen
// shows a set bit. For the usual black-first bitmap that is every bit of the file inverted.
//
// The input is read and checked completely before the output is touched, and the output is
// written under a temporary name beside it and renamed over it once complete, so a refused or
// failed conversion leaves an existing output as it was. An output that exists but is no regular
// file (a device, a FIFO, a symbolic link such as /dev/stdout) is written to directly, and so is
// a writable one in a directory where no new file may be created.
//
// The whole run is one call: there is no state kept between calls.
#pragma once

// Runs one conversion with the command line of the program, options included: the first operand
// is the input bitmap, the second the output text file, any further ones are ignored. --help,
// --version and a wrong option end the process as for every program. Messages go to standard
// output. Returns the exit status:
//   0  the 64 lines were written and the output closed;
//   1  fewer than two operands: the usage text was printed and no file was opened;
//   2  the input or output would not open, the output is the input file itself, or reading the
//      input or writing the output failed;
//   3  the bitmap was refused (the third line of the message says why); the output is untouched.
int pixdb_main(int argc, char** argv);
