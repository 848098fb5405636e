// Cable set-up and byte transfer on the two-wire handshake.
#include "link/cable.h"

#include "link/byte_cables.h"
#include "link/idle_wait.h"
#include "link/link.h"
#include "link/ports/ports.h"
#include "link/privileges.h"

#include "cli/cli.h"
#include "link/ports/usb_calls.h"
#include "link/wire.h"

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <sys/stat.h>

std::uint8_t* buffer = nullptr;

volatile std::sig_atomic_t port_abandoned = 0;
const PortLayer* ports = nullptr;
const char* port_device = "";

int link_type = LINK_PARALLEL;
const char* link_device = "";
bool link_virtual = false;

namespace {

// The build's default cable and device (its settings).
constexpr char DEFAULT_CABLE[] = LINK_DEFAULT_CABLE;
constexpr char DEFAULT_DEVICE[] = LINK_DEFAULT_DEVICE;

// What link_device points to; a function's own, so that a choice made while static objects are
// still being built finds it ready.
std::string& chosen_device() {
    static std::string device;
    return device;
}
bool chosen = false;
// Whether the run's cable is the build's own default at its build-time device: the one choice a
// privileged install may open with its privilege. Everything a user can name or steer is opened
// with the user's rights only.
bool build_default_choice = false;

void (*interrupt_cleanup)() = nullptr;

std::uint16_t output_register() {
    return link_type == LINK_SERIAL ? SERIAL_OUT : PARALLEL_OUT;
}

std::uint16_t input_register() {
    return link_type == LINK_SERIAL ? SERIAL_IN : PARALLEL_IN;
}

void grant(std::uint16_t port) {
    if (ports->grant(port)) return;
    // Scripts know this line from the direct ports; a device layer has said what it refused.
    if (link_device[0] == '\0') {
        std::fputs("Cannot access /dev/port, aborting!\n", stdout);
    } else {
        std::printf("Cannot use the cable on %s, aborting!\n", printable(link_device).c_str());
    }
    std::exit(1);
}

// A two-wire cable: the direct ports at the build's addresses, or the device named.
void open_two_wire(const PortLayer& device_layer) {
    if (ports == nullptr) {
        ports = link_device[0] == '\0' ? &real_ports : &device_layer;
        port_device = link_device;
    }
    grant(output_register());
    grant(input_register());
    ports->write(output_register(), LINES_RELEASED);
}

void open_parallel() {
    open_two_wire(ppdev_ports);
}

void open_serial() {
    open_two_wire(tty_ports);
}

// A virtual cable's device without a '/' is one of vti85's places.
std::string virtual_device(const char* device) {
    return std::strchr(device, '/') == nullptr ? virtual_place(device) : device;
}

[[noreturn]] void refuse_choice(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::exit(1);
}

// vti85 offers a wire file for the two-wire handshake, or with --tty a pseudo-terminal on which
// it plays the gray cable.
void open_virtual() {
    link_virtual = true;
    if (std::string_view(link_device).starts_with(virtual_folder() + "/")) {
        const std::string wrong = claim_virtual_folder(false);
        if (!wrong.empty()) refuse_choice("Cannot use the virtual cable: " + wrong + ".");
    }
    link_type = virtual_cable_type(link_device);
    if (link_type == LINK_GRAY) {
        open_gray();
    } else {
        open_two_wire(virtual_ports);
    }
}

void release_two_wire() {
    ports->write(output_register(), LINES_RELEASED);
}

void release_none() {}

enum class DeviceForm { path, bus_address };

// What each cable does, indexed by LINK_PARALLEL ... LINK_VIRTUAL. A virtual cable becomes the
// parallel or the gray one as it opens, so its own routines are never called for a byte.
struct CableRoutines {
    const char* name;
    const char* default_device; // "" for the direct ports or the first USB cable found
    DeviceForm device_form;
    const char* device_example;
    void (*open)();
    void (*put)(std::uint8_t byte);
    std::uint8_t (*get)();
    void (*release)(); // from the interrupt handler: async-signal-safe
};

constexpr std::array<CableRoutines, 5> CABLES{{
    {"parallel", "", DeviceForm::path, "/dev/parport0", open_parallel, put85_parallel,
     get85_parallel, release_two_wire},
    {"serial", "", DeviceForm::path, "/dev/ttyS0", open_serial, put85_connect85, get85_connect85,
     release_two_wire},
    {"gray", "/dev/ttyUSB0", DeviceForm::path, "/dev/ttyUSB0", open_gray, put85_gray, get85_gray,
     release_byte_cable},
    {"usb", "", DeviceForm::bus_address, "1:5", open_usb, put85_usb, get85_usb, release_none},
    {"virtual", VIRTUAL_WIRE_NAME, DeviceForm::path, VIRTUAL_TTY_NAME, open_virtual, put85_parallel,
     get85_parallel, release_two_wire},
}};

constexpr char CABLE_NAMES[] = "parallel, serial, gray, usb or virtual";

// "1:5": a bus and an address, as lsusb shows them.
bool bus_address(std::string_view text) {
    const auto colon = text.find(':');
    const auto digits = [](std::string_view part) {
        return !part.empty() && part.size() <= 3 &&
               part.find_first_not_of("0123456789") == std::string_view::npos;
    };
    return colon != std::string_view::npos && digits(text.substr(0, colon)) &&
           digits(text.substr(colon + 1));
}

// An interrupted transfer must not leave the calculator with a line held low.
extern "C" void interrupted(int signal) {
    if (interrupt_cleanup != nullptr) interrupt_cleanup();
    port_abandoned = 1;
    CABLES[static_cast<std::size_t>(link_type)].release();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// Every signal whose default action ends the process releases the lines first.
void catch_interrupts() {
    struct sigaction action {};
    action.sa_handler = interrupted;
    action.sa_mask = terminating_signals();
    for (int signal = 1; signal < NSIG; ++signal) {
        if (sigismember(&action.sa_mask, signal) == 1) sigaction(signal, &action, nullptr);
    }
    // A closed pipe on standard output or a file size limit must fail the write, not kill the
    // run half-way through a save.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}

// The calculator needs a moment between bytes on the parallel cable. The count is volatile so
// that an optimising build keeps all 10,000 decrements.
void pause_after_byte() {
    volatile int count = 9999;
    while (count >= 0) {
        count = count - 1;
    }
}

} // namespace

int virtual_cable_type(const char* device) {
    struct stat status {};
    return stat(device, &status) == 0 && S_ISCHR(status.st_mode) ? LINK_GRAY : LINK_PARALLEL;
}

const char* cable_name(int type) {
    return CABLES.at(static_cast<std::size_t>(type)).name;
}

void choose_cable(const char* name, const char* device) {
    const char* source = "--cable";
    const char* device_source = "--device";
    if (name == nullptr) {
        // A device named on the command line goes with the variable's cable or the default.
        name = std::getenv("TI85_CABLE");
        source = "TI85_CABLE";
        if (device == nullptr) {
            device = std::getenv("TI85_DEVICE");
            device_source = "TI85_DEVICE";
        }
        if (name == nullptr || name[0] == '\0') {
            name = DEFAULT_CABLE;
            source = nullptr;
        }
    }
    const auto cable = std::find_if(CABLES.begin(), CABLES.end(), [&](const CableRoutines& c) {
        return std::strcmp(c.name, name) == 0;
    });
    if (cable == CABLES.end()) {
        refuse_choice("Unknown cable '" + printable(name) + "' (" + source + "): choose " +
                      CABLE_NAMES + ".");
    }
    if (cable - CABLES.begin() == LINK_USB && !usb_available()) {
        refuse_choice(std::string("This build has no USB cable (") + source +
                      "): install libusb-1.0-0-dev and pkg-config and build again, or "
                      "choose parallel, serial, gray or virtual.");
    }
    const bool user_named_device = device != nullptr && device[0] != '\0';
    const bool is_default_cable = std::strcmp(cable->name, DEFAULT_CABLE) == 0;
    // vti85's wire lies where the user's environment says, so it is never the build's to open.
    build_default_choice =
        is_default_cable && !user_named_device && cable - CABLES.begin() != LINK_VIRTUAL;
    if (!user_named_device) {
        device =
            is_default_cable && DEFAULT_DEVICE[0] != '\0' ? DEFAULT_DEVICE : cable->default_device;
    } else if ((cable->device_form == DeviceForm::bus_address) != bus_address(device)) {
        refuse_choice(std::string("The ") + cable->name + " cable takes " +
                      (cable->device_form == DeviceForm::bus_address
                           ? "BUS:ADDRESS as lsusb shows it"
                           : "a device file") +
                      ", such as " + cable->device_example + ", not '" + printable(device) + "' (" +
                      device_source + ").");
    }
    link_type = static_cast<int>(cable - CABLES.begin());
    chosen_device() = link_type == LINK_VIRTUAL ? virtual_device(device) : device;
    link_device = chosen_device().c_str();
    chosen = true;
}

std::string default_cable() {
    std::string text = DEFAULT_CABLE;
    if (DEFAULT_DEVICE[0] != '\0') {
        return text + " on " +
               (text == "virtual" ? virtual_device(DEFAULT_DEVICE) : DEFAULT_DEVICE);
    }
    if (text == "parallel" || text == "serial") {
        char ports_text[64];
        std::snprintf(ports_text, sizeof ports_text, " (direct I/O ports at 0x%X)",
                      text == "parallel" ? PARALLEL_BASE : SERIAL_BASE);
        return text + ports_text;
    }
    if (text == "usb") return text + " (the first TI USB cable found)";
    return text + " on " + virtual_device(CABLES[LINK_VIRTUAL].default_device);
}

void on_interrupt(void (*cleanup)()) {
    interrupt_cleanup = cleanup;
}

void release_link() {
    port_abandoned = 1;
    CABLES[static_cast<std::size_t>(link_type)].release();
}

void allocate_buffer() {
    if (buffer != nullptr) return;
    buffer = new (std::nothrow) std::uint8_t[BUFFER_SIZE];
    if (buffer == nullptr) {
        std::fputs("Cannot allocate memory, aborting!\n", stdout);
        std::exit(1);
    }
}

void drop_privilege_for_user_choice() {
    if (!build_default_choice) drop_privileges();
}

void init_link() {
    if (!chosen) choose_cable(nullptr, nullptr);
    allocate_buffer();
    // A privileged install must never open for its user a device that the user could not.
    drop_privilege_for_user_choice();
    CABLES[static_cast<std::size_t>(link_type)].open();
    catch_interrupts();
    // Port access is all the privilege a run needs, and it outlives the drop.
    drop_privileges();
}

void put85(std::uint8_t byte) {
    check_deadline();
    CABLES[static_cast<std::size_t>(link_type)].put(byte);
}

std::uint8_t get85() {
    const std::uint8_t byte = CABLES[static_cast<std::size_t>(link_type)].get();
    check_deadline();
    return byte;
}

std::uint8_t read_lines() {
    return ports->read(input_register()) & (LINE_A | LINE_B);
}

void pull_line(std::uint8_t output) {
    ports->write(output_register(), output);
}

void release_lines() {
    ports->write(output_register(), LINES_RELEASED);
}

void put85_parallel(std::uint8_t byte) {
    IdleWait idle;
    for (int bit = 0; bit < 8; ++bit) {
        // A 1 goes out on line B and is acknowledged on line A; a 0 the other way round.
        const bool one = (byte & 1) != 0;
        const std::uint8_t ack = one ? LINE_A : LINE_B;
        ports->write(PARALLEL_OUT, one ? PULL_B : PULL_A);
        while ((ports->read(PARALLEL_IN) & ack) != 0) {
            still_waiting();
            if (bit == 0) idle_wait(idle);
        }
        ports->write(PARALLEL_OUT, LINES_RELEASED);
        while ((ports->read(PARALLEL_IN) & ack) == 0) {
            still_waiting();
        }
        byte >>= 1;
    }
    pause_after_byte();
}

std::uint8_t get85_parallel() {
    IdleWait idle;
    std::uint8_t result = 0;
    for (int bit = 0; bit < 8; ++bit) {
        std::uint8_t lines;
        while ((lines = ports->read(PARALLEL_IN) & (LINE_A | LINE_B)) == (LINE_A | LINE_B)) {
            still_waiting();
            if (bit == 0) idle_wait(idle);
        }
        if (lines == LINE_A) {
            // Line B low: a 1. Acknowledge on A until the calculator lets B go.
            result = static_cast<std::uint8_t>((result >> 1) | 0x80);
            ports->write(PARALLEL_OUT, PULL_A);
            while ((ports->read(PARALLEL_IN) & LINE_B) == 0) {
                still_waiting();
            }
        } else {
            // Line A low, or both low: a 0. Acknowledge on B until A is released.
            result = static_cast<std::uint8_t>(result >> 1);
            ports->write(PARALLEL_OUT, PULL_B);
            while ((ports->read(PARALLEL_IN) & LINE_A) == 0) {
                still_waiting();
            }
        }
        ports->write(PARALLEL_OUT, LINES_RELEASED);
    }
    pause_after_byte();
    return result;
}

namespace {

// The modem status lines as two bits: bit 0 line A, bit 1 line B.
std::uint8_t serial_lines() {
    return (ports->read(SERIAL_IN) >> 4) & 0x03;
}

} // namespace

void put85_connect85(std::uint8_t byte) {
    IdleWait idle;
    for (int bit = 0; bit < 8; ++bit) {
        ports->write(SERIAL_OUT, (byte & 1) != 0 ? PULL_B : PULL_A);
        // Our own line and the calculator's acknowledgement: both low.
        while (serial_lines() != 0) {
            still_waiting();
            if (bit == 0) idle_wait(idle);
        }
        ports->write(SERIAL_OUT, LINES_RELEASED);
        while (serial_lines() != 3) {
            still_waiting();
        }
        byte >>= 1;
    }
}

std::uint8_t get85_connect85() {
    std::uint8_t result = 0;
    std::uint8_t weight = 1;
    IdleWait idle;
    for (int bit = 0; bit < 8; ++bit) {
        std::uint8_t lines;
        while ((lines = serial_lines()) == 3) {
            still_waiting();
            if (bit == 0) idle_wait(idle);
        }
        std::uint8_t awaited;
        if (lines == 1) {
            // Line B low: a 1, acknowledged on A until B is released.
            result = static_cast<std::uint8_t>(result + weight);
            ports->write(SERIAL_OUT, PULL_A);
            awaited = 2;
        } else {
            ports->write(SERIAL_OUT, PULL_B);
            awaited = 1;
        }
        while ((serial_lines() & awaited) == 0) {
            still_waiting();
        }
        ports->write(SERIAL_OUT, LINES_RELEASED);
        weight = static_cast<std::uint8_t>(weight << 1);
    }
    return result;
}
