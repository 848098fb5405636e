// pushvar: sends variable files to a TI-85 over the link cable, or restores a memory backup.
//
// Principles of operation
// - Each path on the command line names a variable file. Every file is read once, whole, and
//   checked before the first packet goes out: signature, lengths and limits, the entries
//   filling the data section, and the checksum; what is sent later is that one copy. If any
//   file is damaged or fails its checksum, nothing at all is sent (one line per bad file, then
//   status -1). A path that is missing, unreadable or not a variable file gets a line naming
//   it and is passed over; the others are sent, and the run ends with status 2.
// - Every entry is offered to the calculator with its variable header. Clear to send brings its
//   data; a skip packet (reason 2) passes over it; any other answer ends the run.
// - A file whose first type code is 0x1D is a backup: it is restored in one exchange (header,
//   then three blocks) and the run ends there (status 0, or 2 if a path was passed over),
//   whatever paths follow.
// - After the last path one end-of-transmission packet goes out, if any variable was sent, and
//   the count is printed.
// - As in the link library, a failure prints one line on standard output and ends the process:
//   status -1 (255) for a failed transfer, 1 for an unacknowledged packet or a failed set-up.
#pragma once

// The program: options, banner, link set-up, every path read and checked, then sent in turn,
// end of transmission, count. Returns 0 after the count line (2 if a path was passed over);
// without a path it prints the usage line and ends with status 1 before the link is set up.
int pushvar_main(int argc, char** argv);

// Reads, checks and sends one variable file and returns how many of its variables the calculator
// accepted; 0 for a path that is missing, unreadable or not a variable file (with a line naming
// it). Does not return after a backup restore or after a failure. Requires init_link.
int sendgroup(const char* path);
