// pushvar: sends variable files to a TI-85 over the link cable, or restores a memory backup.
//
// Principles of operation
// - Each path on the command line names a variable file, processed in the order given. A file is
//   checked whole before anything of it goes on the cable: signature, lengths and limits, the
//   entries filling the data section, and the checksum. A file without the "**T" signature is
//   passed over in silence; a damaged file or a wrong checksum ends the run.
// - Every entry is offered to the calculator with its variable header. Clear to send brings its
//   data; a skip packet (reason 2) passes over it; any other answer ends the run.
// - A file whose first type code is 0x1D is a backup: it is restored in one exchange (header,
//   then three blocks) and the run ends there with status 0, whatever paths follow.
// - After the last path one end-of-transmission packet goes out, if any variable was sent, and
//   the count is printed. File contents pass through the link library's packet buffer only.
// - As in the link library, a failure prints one line on standard output and ends the process:
//   status -1 (255) for a failed transfer, 1 for an unacknowledged packet or a failed set-up.
#pragma once

// The program: options, banner, link set-up, every path in turn, end of transmission, count.
// Returns 0 after the count line; without a path it prints the usage line and ends with
// status 1 before the link is set up.
int pushvar_main(int argc, char** argv);

// Sends one variable file and returns how many of its variables the calculator accepted; 0 for a
// file without the signature or one that cannot be opened or read (with a message). Does not
// return after a backup restore (status 0) or after a failure. Requires init_link.
int sendgroup(const char* path);
