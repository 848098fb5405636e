// picvar: pictures between the calculator's files and PNG.
//
// Principles of operation
// - The input decides the direction, by its first bytes, not its name: a PNG becomes a picture
//   variable (type 0x11) in a variable file named NAME.85i, whose NAME the variable takes; a
//   variable file holding a picture variable (128 x 63) or a PrtScrn screen (type 0x14, 128 x 64)
//   becomes a PNG, each pixel scaled to N x N, black on white or in the LCD colours.
// - A picture variable's data are a 16-bit size, 03F0 (1008), then 16 bytes a row, top row
//   first, the leftmost pixel in the most significant bit, a 1 bit dark. A screen is the same
//   with 64 rows and no size field.
// - The input is read and checked whole before the output is touched; both outputs are written
//   atomically (a variable file as pullvar writes one), so a refused or failed run leaves no file
//   and an existing one as it was. "-" reads standard input or writes a PNG to standard output.
#pragma once

// Runs one conversion with the program's command line. Messages go to standard output, one line
// naming the file for every refusal. Returns the exit status:
//   0  converted (a 128 x 64 PNG also warns that its bottom row was dropped);
//   1  a wrong command line, or an output name that makes no picture name;
//   2  a file could not be read or written, or the output is the input;
//   3  the input is refused: no PNG or variable file, no picture, damaged, or of the wrong size.
int picvar_main(int argc, char** argv);
