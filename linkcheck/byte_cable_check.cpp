// linkcheck's report for the gray and USB cables.
#include "linkcheck/byte_cable_check.h"

#include "cli/cli.h"
#include "link/link.h"

namespace {

void usb_step(UsbStep step, int bus, int address) {
    switch (step) {
    case UsbStep::found:
        say("linkcheck: cable found at bus %d address %d\n", bus, address);
        break;
    case UsbStep::opened:
        say("linkcheck: you may open it\n");
        break;
    case UsbStep::claimed:
        say("linkcheck: its interface was free and is now claimed\n");
        break;
    case UsbStep::ready:
        say("linkcheck: both pipes reset, stale input drained\n");
        break;
    }
}

} // namespace

std::string describe_byte_cable(const CableInUse& in_use) {
    if (in_use.cable == LINK_GRAY) {
        return "linkcheck: cable: TI's gray serial cable (TI-GRAPH LINK), bytes at 9600 baud, "
               "8N1, no flow control\n"
               "linkcheck: access: serial device " +
               printable(in_use.device) + ", its DTR and RTS powering the cable\n";
    }
    return std::string("linkcheck: cable: TI's USB cable (TI-GRAPH LINK USB, 0451:e001), "
                       "through libusb\n") +
           (in_use.device.empty() ? "linkcheck: access: the first such cable found\n"
                                  : "linkcheck: access: the USB device at bus:address " +
                                        printable(in_use.device) + "\n");
}

void report_usb_steps() {
    on_usb_step(usb_step);
}

void byte_cable_ready(const CableInUse& in_use) {
    if (in_use.cable == LINK_GRAY) {
        say("linkcheck: %s is open: 9600 baud, 8 data bits, no parity, 1 stop bit, no flow "
            "control\n",
            printable(in_use.device).c_str());
        say(gray_has_modem_lines()
                ? "linkcheck: modem lines: DTR and RTS raised, powering the cable\n"
                : "linkcheck: modem lines: none on this device (a pseudo-terminal or an adapter "
                  "without them): the cable must be powered otherwise\n");
    }
    say("linkcheck: the cable is ready: start pullvar or pushvar, then the transfer on the "
        "calculator\n");
}
