// Link library: the TI-85 link cable, from the bare wires up to checksummed packets.
//
// Principles of operation
// - The cable has two lines, A and B, each high unless one end pulls it low. A byte travels as
//   eight bits, least significant first; every bit is a four-step handshake (the sender pulls
//   B for a 1 or A for a 0, the receiver pulls the other line, the sender releases, the
//   receiver releases). The cable is chosen when the program runs (`choose_cable`), the build
//   setting its default.
// - A packet is machine id, type, 16-bit length and, for a checksummed packet (VAR, DATA or
//   SKIP with a length above 0), the data and a 16-bit sum of the data. Every checksummed
//   packet is acknowledged; a bad sum on receipt asks the calculator to send again.
// - The library owns the one packet buffer (`buffer`) and `last_packet_size`. Programs build
//   outgoing data in the buffer before `put_packet` and read incoming data after `get_packet`.
// - Failures are not returned: the routine that meets one prints a line on standard output and
//   ends the process (status 1). Waits have no time limit unless a program arms one
//   (deadline_after_wait, cli/cli.h); an interrupt ends a stuck run.
// - For the person watching, a data packet longer than 1 KB shows its progress, and a wait that
//   lasts an armed hint (cli/cli.h), on standard error at a terminal only. Neither adds or
//   removes a single port access.
//
// Called by pullvar and pushvar, and by linkcheck through the bare-line calls at the end;
// nothing else touches the cable.
#pragma once

#include "link/ti85.h"

#include <cstddef>
#include <cstdint>
#include <string>

inline constexpr int LINK_PARALLEL = 0; // two-wire cable on the parallel port
inline constexpr int LINK_SERIAL = 1;   // the same wires on the serial port's modem lines
inline constexpr int LINK_GRAY = 2;     // TI's gray serial cable: plain bytes at 9600 baud
inline constexpr int LINK_USB = 3;      // TI's USB cable, through libusb
inline constexpr int LINK_VIRTUAL = 4;  // vti85: a two-wire wire file, or its pseudo-terminal

// Whether the cable exchanges whole bytes with its own microcontroller, so that no port and no
// line of it is ours to drive.
constexpr bool byte_cable(int type) {
    return type == LINK_GRAY || type == LINK_USB;
}

// The cable of this run (LINK_PARALLEL ... LINK_VIRTUAL), set by choose_cable. Once init_link
// has opened a virtual cable it is the cable vti85 plays there: LINK_PARALLEL on its wire file,
// LINK_GRAY on its pseudo-terminal.
extern int link_type;
// Its device: the gray cable's serial device, the USB cable's "BUS:ADDRESS", the ppdev or tty
// device of a two-wire cable, vti85's wire or pseudo-terminal; "" for the direct I/O ports or
// the first USB cable found.
extern const char* link_device;
// Whether this run talks to vti85 rather than to a calculator.
extern bool link_virtual;

// The cable vti85 plays on `device`: LINK_GRAY on its pseudo-terminal (a character device),
// LINK_PARALLEL on its wire file.
int virtual_cable_type(const char* device);

// ---- vti85's places ----
// vti85 lays its wire (VIRTUAL_WIRE_NAME) and links its pseudo-terminal (VIRTUAL_TTY_NAME) in a
// folder only its user may write: $XDG_RUNTIME_DIR when set, else vti85-UID in $TMPDIR or /tmp.
// A virtual cable's device without a '/' is a name in that folder.
inline constexpr char VIRTUAL_WIRE_NAME[] = "vti85-link";
inline constexpr char VIRTUAL_TTY_NAME[] = "vti85-tty";
std::string virtual_folder();
std::string virtual_place(const char* name);
// "" when the folder is this user's alone (made with mode 0700 first when `create`) or not there
// yet, else what is wrong with it, as a sentence without its full stop.
std::string claim_virtual_folder(bool create);

// "parallel", "serial", "gray", "usb", "virtual": the names of LINK_PARALLEL ... LINK_VIRTUAL.
const char* cable_name(int type);

// Chooses the cable and device of the run: `name` and `device` as the command line gives them
// (nullptr where not given), else the TI85_CABLE and TI85_DEVICE environment variables, else the
// build's default. A device goes with the cable it was named with: a cable named alone takes its
// own default device. Refuses an unknown name, a device that does not suit the cable and a cable
// this build lacks with one line on standard output and status 1, before any port, device or
// file is touched. init_link calls it with nothing named if the program has not.
void choose_cable(const char* name, const char* device);

// The build's default, as --version shows it: "parallel (direct I/O ports at 0x378)".
std::string default_cable();

inline constexpr std::uint8_t PACKET_VAR = 0x06;  // variable header or backup header
inline constexpr std::uint8_t PACKET_CTS = 0x09;  // clear to send
inline constexpr std::uint8_t PACKET_DATA = 0x15; // a variable's data or one backup block
inline constexpr std::uint8_t PACKET_SKIP = 0x36; // refusal, with one reason byte
inline constexpr std::uint8_t PACKET_ACK = 0x56;
inline constexpr std::uint8_t PACKET_ERR = 0x5A; // checksum failure: send again
inline constexpr std::uint8_t PACKET_EOT = 0x92; // end of transmission
// Asks for the screen: a calculator waiting for a key answers ACK, then DATA of 1024 bytes.
inline constexpr std::uint8_t PACKET_SCREEN = 0x6D;

// Whether a packet of this type and length field carries data and their 16-bit sum: VAR, DATA
// and SKIP packets with a length above 0. Every other packet is its four header bytes alone.
constexpr bool checksummed(std::uint8_t type, std::uint16_t length) {
    return length != 0 && (type == PACKET_VAR || type == PACKET_DATA || type == PACKET_SKIP);
}

inline constexpr std::uint8_t REASON_ABORT = 1;
inline constexpr std::uint8_t REASON_SKIP = 2;
inline constexpr std::uint8_t REASON_OUT_OF_MEMORY = 3;

inline constexpr std::size_t BUFFER_SIZE = PACKET_DATA_MAX;

// The packet buffer, BUFFER_SIZE bytes, allocated by allocate_buffer or init_link and never
// freed.
extern std::uint8_t* buffer;

// Allocates the packet buffer unless it is there, for work before init_link (checking files).
// Ends the process with status 1 when memory is short.
void allocate_buffer();

// The length field of the last packet received. A checksummed packet longer than the buffer
// keeps only its first BUFFER_SIZE bytes; this still holds its true length, so callers can
// refuse it.
extern std::uint16_t last_packet_size;

// Allocates the packet buffer, opens the chosen cable (gains access to a two-wire cable's two
// ports and releases both lines). A privileged install opens only the build's own default cable
// at its build-time device with its privilege; any other cable or device, named or defaulted, is
// opened after the privilege is dropped, with the user's own rights. Ends the process with status 1
// when any of that fails. Also arranges that every terminating signal (terminating_signals,
// cli/cli.h) releases both lines before the process ends, except SIGPIPE and SIGXFSZ, which are
// ignored so that a failing write returns its error.
void init_link();

// Drops a privileged install's privilege now unless the chosen cable is the build's own default
// at its build-time device: for a look at the chosen device before init_link, which must learn
// nothing the user could not.
void drop_privilege_for_user_choice();

// Whether this run has more privilege than its user (a setuid or setgid install, or one with file
// capabilities), until init_link drops it. Such a run reads the user's files only after
// init_link; any other run checks them before the cable is opened.
bool runs_privileged();

// Sends one byte; returns once the calculator has taken all eight bits.
void put85(std::uint8_t byte);

// Waits for one byte from the calculator.
std::uint8_t get85();

// Sends one packet of the given type. A checksummed packet carries the first `length` bytes of
// the buffer (never more than BUFFER_SIZE) and returns only once the calculator has
// acknowledged it; any other answer ends the process with status 1.
void put_packet(std::uint8_t type, std::uint16_t length);

// Reads one packet and returns its type. A checksummed packet's data are left at the start of
// the buffer, checked (asking again on a bad sum) and acknowledged. After a bad sum the type,
// last_packet_size and the buffer are those of the packet that came in its place, whatever its
// type; the failed data are cleared from the buffer.
std::uint8_t get_packet();

// Registers a routine the interrupt handler runs before it releases the lines and ends the
// process, e.g. to remove a half-written file. It must be async-signal-safe. nullptr clears it.
void on_interrupt(void (*cleanup)());

// Releases the lines as the interrupt handler does, without waiting on the calculator: for a
// program that gives up a wait (its deadline passed) and ends the process next.
void release_link();

// ---- The bare lines, for checking a cable (after init_link) ----

// Both lines as the input register shows them: LINE_A and LINE_B (link/wire.h), set when high.
std::uint8_t read_lines();
// Pulls one line low from this end: `output` is PULL_A or PULL_B (link/wire.h).
void pull_line(std::uint8_t output);
// Lets both lines go.
void release_lines();
// Whether the kernel offers direct port access at all (ioperm), whoever asks: told without any
// privilege, by turning access to `port` off. Says nothing and changes nothing.
bool direct_ports_offered(std::uint16_t port);

// ---- The byte cables' set-up, for checking a cable ----

// Whether the gray cable's device has modem lines (a pseudo-terminal and some adapters have
// none, and the cable must then be powered otherwise). Known after init_link.
bool gray_has_modem_lines();

// What init_link has done so far on the USB cable, for a report.
enum class UsbStep { found, opened, claimed, ready };
// A routine the USB cable's set-up calls after each step that succeeded; nullptr for none.
void on_usb_step(void (*step)(UsbStep step, int bus, int address));
