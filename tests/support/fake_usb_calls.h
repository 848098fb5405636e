// Test double of link/ports/usb_calls.h: a USB bus with a TI USB cable on it, and the virtual
// calculator's script behind the cable's bulk pipes.
//
// Set-up calls are printed on standard output as they happen ("usb_open(1:5) = ACCESS"), so a
// test run in a child process reads them back in order with the cable layer's own messages.
// Transfers are counted, not printed. A read that asks for less than a whole packet, or a write
// of more than one, is a fault of the computer's side and is counted as one.
#pragma once

#include "link/ports/usb_calls.h"

#include <vector>

namespace fake_usb {

struct Setup {
    std::vector<UsbDeviceId> devices{{1, 5, 0x0451, 0xE001}};
    int start_error = 0;
    int open_error = 0;
    int claim_error = 0;
    int packet_size = 32;
    std::vector<std::uint8_t> stale;  // what the cable holds from before, read before the script
    int read_cap = 0;                 // a read returns at most this many bytes (0: a whole packet)
    int empty_every = 0;              // every n-th read comes back with neither data nor error
    int halt_in_at = 0;               // the n-th read finds the IN pipe halted
    int halt_out_at = 0;              // the n-th write finds the OUT pipe halted
    bool halts_for_good = false;      // a halted pipe halts again after every clear
    int unplug_at_read = 0;           // the n-th read finds the cable gone
    bool writes_take_nothing = false; // every write succeeds without moving a byte
};

struct Counts {
    int reads = 0;
    int writes = 0;
    int faults = 0;        // short read requests, oversized writes, unclaimed transfers
    int bytes_dropped = 0; // written while the calculator was not listening
};

void set_up(const Setup& setup);
const Counts& counts();

} // namespace fake_usb
