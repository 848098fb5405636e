// splitvar: the variables inside backups and group files, each written as a variable file of
// its own.
//
// Principles of operation
// - Each FILE is read whole (varfile's read_file) and must pass the sender's check. A group
//   file gives its entries; a backup gives the variables of its table (varfile's
//   backup_variables), the user's only unless --all, with the type's flag bits removed.
// - Each variable is named as pullvar names a received one (its name and its type's extension,
//   the same refusals of unsafe names) and written whole or not at all, in the current folder or
//   in the folder of -C. An existing file is replaced only with --force; otherwise it is named
//   and left as it is, and the others are still written.
// - A table entry that cannot be trusted is named with what is wrong and skipped. The status is
//   0 only when everything asked for was written.
#pragma once

// Runs the program with its command line. Prints on standard output. Returns 0 when every
// variable asked for was written, 1 otherwise (also for a wrong command line or no file).
int splitvar_main(int argc, char** argv);
