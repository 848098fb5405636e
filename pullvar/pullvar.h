// pullvar: receives variables and memory backups from a TI-85 and saves them as variable files.
//
// Principles of operation
// - Every transfer is started from the calculator; the program only listens. Each variable
//   header (PACKET_VAR) is answered with a clear-to-send, or with a skip packet when the user
//   keeps an existing file or the header cannot be stored; the calculator then acknowledges and
//   sends the data, which is saved in the directory named on the command line (or the current
//   one) under the variable's name and the extension of its type. An end of transmission ends
//   the run with a count of saved variables.
// - A backup header (type 0x1D) instead leads to "backup.85b", replaced only when the user says
//   so, as for a variable; the run ends once its three blocks are saved.
// - The file is created before the data are asked for: a variable that cannot be saved is
//   refused with a skip packet, and listening goes on.
// - A file is saved only from data that matches its header, and only whole: it is written under
//   a temporary name and renamed into place when complete, so a failure or an interrupt never
//   leaves a partial file nor spoils an existing one.
// - Failures are not returned: the code that meets one prints a line on standard output and ends
//   the process, with status -1 (255) for a failed or aborted transfer, 1 for the link layer's
//   own failures, and 0 after a backup.
//
// Uses the link library (packets, the packet buffer) and the variable-file library.
#pragma once

// The program: options, banner, link set-up, the directory named (if any), then receive().
// Returns 0 after the count line; every other end of the run ends the process from inside.
int pullvar_main(int argc, char** argv);

// The listening loop, from "pullvar: Listening for packets..." to the count line, after which it
// returns. A backup, an abort by the user and every failure end the process instead. Needs
// init_link to have run.
void receive();
