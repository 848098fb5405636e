// TI's USB cable (TI-GRAPH LINK USB, 0451:E001), through the calls of link/ports/usb_calls.h.
//
// Known behaviour of the cable: interface 0 has a bulk IN endpoint 0x81 and a bulk OUT endpoint
// 0x02. Before a transfer both pipes are reset (clear halt) and stale input drained. A read
// must ask for a whole maximum-size packet, or the rest of that packet is lost; what get85
// does not use yet is kept. A read can come back with neither data nor error: it is simply
// made again, after a pause that grows while the cable stays empty, so that an idle wait costs
// no CPU. A write carries 1 to 32 bytes (the OUT endpoint's maximum packet size).
//
// Waits keep no time limit, but each library call has one (WAIT_MS) and is made again, so the
// program regains control at least that often (to show an armed hint). Bytes to send are gathered
// and go out when a packet's worth is there, before the next read, and when the program ends.
#include "cli/cli.h"
#include "link/byte_cables.h"
#include "link/idle_wait.h"
#include "link/link.h"
#include "link/ports/usb_calls.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace {

constexpr std::uint16_t TI_VENDOR = 0x0451;
constexpr std::uint16_t GRAPH_LINK_USB = 0xE001;
constexpr int INTERFACE = 0;
constexpr std::uint8_t ENDPOINT_IN = 0x81;
constexpr std::uint8_t ENDPOINT_OUT = 0x02;
constexpr unsigned WAIT_MS = 250;
constexpr unsigned DRAIN_MS = 20;
constexpr int DRAIN_BLOCKS = 64; // a cable that keeps talking is not drained for ever
constexpr int STALLS_IN_A_ROW = 8;
constexpr int EMPTY_WRITES_IN_A_ROW = 64;
constexpr int MAX_PACKET = 512; // the largest bulk packet of any USB speed

void (*report_step)(UsbStep, int, int) = nullptr;
int cable_bus = 0;
int cable_address = 0;

int in_packet_size = 0;
std::uint8_t incoming[MAX_PACKET];
int incoming_size = 0;
int incoming_used = 0;

int out_packet_size = 0;
std::uint8_t outgoing[MAX_PACKET];
int outgoing_size = 0;

bool exiting = false; // the last bytes are going out at exit, where exit may not be called again

// Bytes not yet sent are dropped: the exit must not try to send them again.
[[noreturn]] void end() {
    outgoing_size = 0;
    if (exiting) {
        std::fflush(stdout);
        std::_Exit(1);
    }
    std::exit(1);
}

[[noreturn]] void fail(const char* what, int error) {
    std::printf("%s: %s, aborting!\n", what, usb_error_name(error));
    end();
}

[[noreturn]] void unplugged() {
    std::printf("The USB cable was unplugged, aborting!\n");
    end();
}

void step_done(UsbStep step) {
    if (report_step != nullptr) report_step(step, cable_bus, cable_address);
}

// The device setting "BUS:ADDRESS", or false when empty (the first cable found).
bool named_device(int& bus, int& address) {
    const std::string_view named = link_device;
    const auto colon = named.find(':');
    if (colon == std::string_view::npos) return false;
    std::from_chars(named.data(), named.data() + colon, bus);
    std::from_chars(named.data() + colon + 1, named.data() + named.size(), address);
    return true;
}

void find_cable() {
    std::vector<UsbDeviceId> devices;
    int result = usb_start();
    if (result == USB_SUCCESS) result = usb_list(devices);
    if (result != USB_SUCCESS) fail("Cannot use USB", result);
    int bus = 0;
    int address = 0;
    const bool named = named_device(bus, address);
    for (const UsbDeviceId& device : devices) {
        const bool cable = device.vendor == TI_VENDOR && device.product == GRAPH_LINK_USB;
        if (named && (device.bus != bus || device.address != address)) continue;
        if (!named && !cable) continue;
        if (!cable) {
            std::printf("The USB device at bus %d address %d is %04x:%04x, not a TI-GRAPH LINK "
                        "USB cable (0451:e001), aborting!\n",
                        bus, address, device.vendor, device.product);
            end();
        }
        cable_bus = device.bus;
        cable_address = device.address;
        step_done(UsbStep::found);
        return;
    }
    if (named) {
        std::printf("No USB device at bus %d address %d: plug the cable in (lsusb shows its bus "
                    "and address, which change each time it is plugged in), aborting!\n",
                    bus, address);
    } else {
        std::printf("No TI-GRAPH LINK USB cable (0451:e001) found: plug it in, or choose another "
                    "cable with --cable=gray, serial, parallel or virtual (or TI85_CABLE), "
                    "aborting!\n");
    }
    end();
}

void open_cable() {
    const int opened = usb_open(cable_bus, cable_address);
    if (opened == USB_ERROR_ACCESS) {
        std::printf("No permission to open the USB cable at bus %d address %d: install the udev "
                    "rule (see the README), then plug the cable in again, aborting!\n",
                    cable_bus, cable_address);
        end();
    }
    if (opened != USB_SUCCESS) fail("Cannot open the USB cable", opened);
    step_done(UsbStep::opened);
    const int claimed = usb_claim_interface(INTERFACE);
    if (claimed == USB_ERROR_BUSY) {
        std::printf("The USB cable at bus %d address %d is busy: another program holds it, "
                    "aborting!\n",
                    cable_bus, cable_address);
        end();
    }
    if (claimed != USB_SUCCESS) fail("Cannot claim the USB cable's interface", claimed);
    step_done(UsbStep::claimed);
}

int packet_size(std::uint8_t endpoint) {
    const int size = usb_max_packet_size(endpoint);
    if (size <= 0 || size > MAX_PACKET) {
        fail("Cannot read the USB cable's endpoints", size < 0 ? size : USB_ERROR_IO);
    }
    return size;
}

void reset_pipe(std::uint8_t endpoint) {
    const int result = usb_clear_halt(endpoint);
    if (result == USB_ERROR_NO_DEVICE) unplugged();
    if (result != USB_SUCCESS) fail("Cannot reset the USB cable's pipes", result);
}

// One bulk transfer, made again after a time-out with nothing done, after an empty read and
// after a stall (once the pipe is reset). Returns the bytes moved: at least one, unless `once`
// lets a time-out or an empty read end it. A cable that answers at once with nothing is waited
// on as the two-wire cables are, with sleeps that grow; a write that keeps succeeding without
// moving a byte ends the run.
int transfer(std::uint8_t endpoint, std::uint8_t* data, int length, unsigned timeout_ms,
             bool once) {
    const char* what =
        endpoint == ENDPOINT_IN ? "Cannot read from the USB cable" : "Cannot send to the USB cable";
    IdleWait idle;
    for (int stalls = 0, empty_writes = 0;;) {
        int moved = 0;
        const int result = usb_bulk(endpoint, data, length, moved, timeout_ms);
        if (result == USB_SUCCESS || result == USB_ERROR_TIMEOUT) {
            if (moved > 0 || once) return moved;
            if (result == USB_SUCCESS && endpoint == ENDPOINT_OUT &&
                ++empty_writes == EMPTY_WRITES_IN_A_ROW) {
                std::printf("The USB cable takes no data: plug it in again, aborting!\n");
                end();
            }
            still_waiting_after_sleep();
            idle_wait(idle);
            continue;
        }
        if (result == USB_ERROR_NO_DEVICE) unplugged();
        if (result != USB_ERROR_PIPE) fail(what, result);
        if (++stalls == STALLS_IN_A_ROW) {
            std::printf("The USB cable keeps stalling: plug it in again, aborting!\n");
            end();
        }
        reset_pipe(endpoint);
    }
}

void flush() {
    for (int sent = 0; sent < outgoing_size;) {
        sent += transfer(ENDPOINT_OUT, outgoing + sent, outgoing_size - sent, WAIT_MS, false);
    }
    outgoing_size = 0;
}

void flush_at_exit() {
    exiting = true;
    flush();
}

} // namespace

void on_usb_step(void (*step)(UsbStep, int, int)) {
    report_step = step;
}

void open_usb() {
    find_cable();
    open_cable();
    in_packet_size = packet_size(ENDPOINT_IN);
    out_packet_size = packet_size(ENDPOINT_OUT);
    reset_pipe(ENDPOINT_IN);
    reset_pipe(ENDPOINT_OUT);
    for (int block = 0; block < DRAIN_BLOCKS; ++block) {
        if (transfer(ENDPOINT_IN, incoming, in_packet_size, DRAIN_MS, true) == 0) break;
    }
    // The last bytes of a run (pullvar's final acknowledgement) must still go out.
    std::atexit(flush_at_exit);
    step_done(UsbStep::ready);
}

void put85_usb(std::uint8_t byte) {
    outgoing[outgoing_size++] = byte;
    if (outgoing_size == out_packet_size) flush();
}

std::uint8_t get85_usb() {
    flush();
    if (incoming_used == incoming_size) {
        incoming_size = transfer(ENDPOINT_IN, incoming, in_packet_size, WAIT_MS, false);
        incoming_used = 0;
    }
    return incoming[incoming_used++];
}
