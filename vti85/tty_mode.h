// vti85 on TI's gray cable: the calculator's bytes on a pseudo-terminal.
#pragma once

// Offers a pseudo-terminal, links it as LINK_VIRTUAL_TTY, says which device to use, and runs
// `script` (the calculator's side) on its bytes. Returns the exit status.
int run_on_tty(void (*script)());
