// Inside the link library: the byte cables, TI's gray serial cable and TI's USB cable.
//
// Principles of operation
// - Both cables carry a microcontroller that does the two-wire handshake with the calculator
//   itself. The computer exchanges whole bytes with the cable, the very bytes and packets of
//   the two-wire cables; only this layer differs. put85 and get85 dispatch here through the table
//   of cables.
// - The gray cable is a serial device (`link_device`, /dev/ttyUSB0 by default) at 9600 baud,
//   8N1, no flow control, powered by DTR and RTS. The USB cable (0451:E001) is reached through
//   libusb (link/ports/usb_calls.h): bulk endpoints 0x81 in and 0x02 out on interface 0.
// - Waits have no time limit and cost no CPU: they block in the system or library call, which
//   returns a few times a second (the gray cable's only while a hint is armed, see
//   hint_after_wait) so that the hint is shown in time.
// - open_gray and open_usb run in init_link. Every failure prints one line that says what failed
//   and what to do, then ends the process with status 1.
#pragma once

#include "link/link.h"

#include <cstdint>

void open_gray();
void put85_gray(std::uint8_t byte);
std::uint8_t get85_gray();

void open_usb();
void put85_usb(std::uint8_t byte);
std::uint8_t get85_usb();

// From the interrupt handler (async-signal-safe): drops the gray cable's bytes not yet sent and
// leaves its exclusive mode.
// The USB cable's interface is released by the kernel as the process ends; libusb itself may
// not be called from a handler.
void release_byte_cable();
