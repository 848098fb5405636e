// pixdb: turns a 96 x 64 monochrome Windows bitmap into Z80 assembler data.
//
// The picture's pixel rows (bytes 62-829 of the file, bottom row first) become 64 lines of
// "        .db $XX,..." text, 12 bytes a line, top row first, with every pixel bit inverted: the
// usual monochrome bitmap stores black as 0, while the calculator's screen shows a set bit as
// dark. Only the low bytes of the width and height fields are checked; the rest of the header and
// the colour table are ignored.
//
// The whole run is one call: there is no state kept between calls and nothing is allocated.
#pragma once

// Runs one conversion with the command line of the program: argv[1] is the input bitmap, argv[2]
// the output text file, anything further is ignored. Messages go to standard output.
// Returns the exit status:
//   0  the 64 lines were written and the output closed;
//   1  fewer than two arguments: the usage text was printed and no file was opened;
//   2  the input or output would not open, or writing the output failed;
//   3  the bitmap was rejected (wrong width or height, or shorter than 830 bytes); the output file
//      is left empty.
int pixdb_main(int argc, char** argv);
