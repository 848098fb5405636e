// vti85 on TI's gray cable: the calculator's bytes on a pseudo-terminal.
#pragma once

// Offers a pseudo-terminal, links it as vti85-tty in the user's own folder, says which device to
// use, and runs `script` (the calculator's side) on its bytes, a session for each computer that
// opens the device, until one session's transfer ends (with `stay`, until interrupted). A computer
// that closes the device first, or says nothing for `give_up_ms` mid-transfer, is given up. Returns
// the exit status.
int run_on_tty(void (*script)(), int give_up_ms, bool stay);
