// The USB double: the cable's pipes lead to the virtual calculator's byte engine.
#include "tests/support/fake_usb_calls.h"

#include "calc/calc.h"

#include <cstdio>

namespace fake_usb {

namespace {

Setup setup;
Counts tally;
bool claimed = false;
bool halted_in = false;
bool halted_out = false;
std::size_t stale_used = 0;
bool quiet_seen = false; // the cable has once been found empty: the calculator may begin

const char* name(int result) {
    switch (result) {
    case USB_SUCCESS:
        return "0";
    case USB_ERROR_ACCESS:
        return "ACCESS";
    case USB_ERROR_NO_DEVICE:
        return "NO_DEVICE";
    case USB_ERROR_BUSY:
        return "BUSY";
    case USB_ERROR_PIPE:
        return "PIPE";
    case USB_ERROR_IO:
        return "IO";
    default:
        return "OTHER";
    }
}

int said(int result) {
    std::printf("%s\n", name(result));
    std::fflush(stdout);
    return result;
}

// One byte from the cable: first what it held from before, then what the calculator sends.
bool next_incoming(std::uint8_t& byte) {
    if (stale_used < setup.stale.size()) {
        byte = setup.stale[stale_used++];
        return true;
    }
    // The user starts the calculator only once the program is ready: the cable is quiet first.
    if (!quiet_seen) return false;
    if (peer::byte_next() != peer::Next::sends) return false;
    byte = peer::byte_take();
    return true;
}

} // namespace

void set_up(const Setup& new_setup) {
    setup = new_setup;
    tally = {};
    claimed = halted_in = halted_out = false;
    stale_used = 0;
    quiet_seen = false;
}

const Counts& counts() {
    return tally;
}

} // namespace fake_usb

using namespace fake_usb;

bool usb_available() {
    return true;
}

int usb_start() {
    std::printf("usb_start() = ");
    return said(setup.start_error);
}

int usb_list(std::vector<UsbDeviceId>& devices) {
    devices = setup.devices;
    return USB_SUCCESS;
}

int usb_open(int bus, int address) {
    std::printf("usb_open(%d:%d) = ", bus, address);
    return said(setup.open_error);
}

int usb_claim_interface(int interface) {
    std::printf("usb_claim_interface(%d) = ", interface);
    claimed = setup.claim_error == 0;
    return said(setup.claim_error);
}

int usb_max_packet_size(std::uint8_t) {
    return setup.packet_size;
}

int usb_clear_halt(std::uint8_t endpoint) {
    std::printf("usb_clear_halt(0x%02x) = ", endpoint);
    if (!setup.halts_for_good) (endpoint == 0x81 ? halted_in : halted_out) = false;
    return said(USB_SUCCESS);
}

int usb_bulk(std::uint8_t endpoint, std::uint8_t* data, int length, int& transferred,
             unsigned timeout_ms) {
    transferred = 0;
    if (!claimed || timeout_ms == 0) ++tally.faults;
    if (endpoint == 0x02) {
        if (++tally.writes == setup.halt_out_at) halted_out = true;
        if (halted_out) return USB_ERROR_PIPE;
        if (setup.writes_take_nothing) return USB_SUCCESS;
        if (length < 1 || length > setup.packet_size) ++tally.faults;
        for (int i = 0; i < length; ++i) {
            if (peer::byte_next() != peer::Next::receives) {
                ++tally.bytes_dropped;
                continue;
            }
            peer::byte_give(data[i]);
        }
        transferred = length;
        return USB_SUCCESS;
    }
    ++tally.reads;
    if (tally.reads == setup.unplug_at_read) return USB_ERROR_NO_DEVICE;
    if (tally.reads == setup.halt_in_at) halted_in = true;
    if (halted_in) return USB_ERROR_PIPE;
    // A shorter request would lose the rest of the cable's packet.
    if (length != setup.packet_size) ++tally.faults;
    if (setup.empty_every != 0 && tally.reads % setup.empty_every == 0) return USB_SUCCESS;
    const int most = setup.read_cap != 0 && setup.read_cap < length ? setup.read_cap : length;
    std::uint8_t byte = 0;
    while (transferred < most && next_incoming(byte))
        data[transferred++] = byte;
    if (transferred > 0) return USB_SUCCESS;
    if (quiet_seen) peer::byte_idle();
    quiet_seen = true;
    return USB_ERROR_TIMEOUT;
}

const char* usb_error_name(int error) {
    return name(error);
}
