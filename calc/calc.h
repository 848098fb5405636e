// The virtual calculator: a modelled two-wire cable with a scripted TI-85 on its far end.
//
// Principles of operation
// - This library is a port layer (link/ports/ports.h, in calc/ports.cpp) that runs in-process,
//   for the tests, the benchmarks and the fuzz targets: a program that links it drives the
//   modelled wire on the two-wire cables, never a real port. vti85 drives it from its own side
//   of the wire. The
//   computer's output register pulls lines A and B low, its input register reads them back (bits 4
//   and 5, the other bits noise), on the parallel and the serial cable alike.
// - The calculator runs the real four-step handshake from its end, bit by bit, reacting on the
//   computer's port accesses. Above the bits it runs a script: a function that sends and
//   receives bytes and packets the way a calculator does. The script runs on its own thread but
//   strictly in turn with the computer, so a test gives the same port trace every run.
// - What happened is kept in a record in shared memory: a child process forked after
//   reset() leaves it for its parent to read.
// - A computer waiting on a calculator that has nothing more to say is a stalled link: the
//   record says so and the process ends with STALLED_STATUS.
// - A harness that must act on the computer's accesses themselves (the receive fuzz target)
//   sets the hooks in Options; nothing else changes the port seam's behaviour.
#pragma once

#include "link/link.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace peer {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint8_t NO_ANSWER = 0; // receive(): answer nothing
inline constexpr int STALLED_STATUS = 86;

struct Options {
    int delay = 0;                     // computer's reads before each reaction of the calculator
    std::vector<std::uint16_t> refuse; // ports whose access request fails
    bool zero_on_both = false;         // send a 0 bit by pulling both lines
    bool stall_check = true;           // end the process when the link stalls
    int hold_ms = 0; // the first bit of each byte (sent or taken) comes this late, in real time
    // Called after each write and each read of the computer's port, once the wire has settled,
    // with the port and the value written or read: lets a harness watch the computer's side of
    // the wire and act on it. It may drive the wire (wire_write, wire_read) or throw.
    void (*after_write)(std::uint16_t port, std::uint8_t value) = nullptr;
    void (*after_read)(std::uint16_t port, std::uint8_t value) = nullptr;
};

// Clears the record and the wire. Call it before forking a child that runs the computer side.
void reset(const Options& options = {});

// Starts the calculator's script. It runs whenever the wire needs the calculator's next move.
void run(std::function<void()> script);

// Gives the script its turn until it waits on the wire again, so that the byte it last
// received is in its hands (the computer may have stopped accessing the ports).
void finish();

// ---- The calculator's side, for scripts ----

struct Packet {
    bool from_pc = false;
    std::uint8_t machine = 0;
    std::uint8_t type = 0;
    std::uint16_t length = 0;
    Bytes data;         // checksummed packets only
    bool intact = true; // the checksum matched the data
};

// Stops answering for good, as a calculator that was switched off mid-transfer: the computer
// waits, holding whatever line it holds, until the test ends it.
void hang();

void send_byte(std::uint8_t byte);
std::uint8_t recv_byte();

// The bytes of a packet as a calculator sends it; `corrupt` spoils the checksum.
Bytes frame(std::uint8_t type, const Bytes& data, bool corrupt = false);
// A header-only packet with the given length field.
Bytes frame_header(std::uint8_t type, std::uint16_t length = 0);

struct SendOptions {
    int corrupt = 0;       // times the checksum goes out wrong before an intact copy
    bool await_ack = true; // read the computer's answer(s) to a checksummed packet
};

// Sends one packet. A checksummed one is sent again on PACKET_ERR while `corrupt` lasts, and
// the computer's acknowledgements are read (one per copy sent).
void send(std::uint8_t type, const Bytes& data = {}, SendOptions options = {});
void send_raw(const Bytes& bytes);

// Reads one packet. A checksummed one with a bad sum is answered PACKET_ERR and read again;
// an intact one is answered with `answer` (PACKET_ACK unless told otherwise).
Packet receive(std::uint8_t answer = PACKET_ACK);

// Convenience: the data of a variable header, encoded as pushvar encodes it (varfile).
Bytes var_header(std::uint16_t data_length, std::uint8_t type, const std::string& name);

// ---- Driving the calculator from another process ----
// In the tests the port seam drives the calculator. A stand-alone calculator instead watches a
// wire shared with the computer's process and reports what it sees through these calls.

// The computer wrote `value` to its output register.
void wire_write(std::uint8_t value);
// The computer read its input register; returns the line bits (LINE_A, LINE_B) it sees.
std::uint8_t wire_read();
// The lines the calculator pulls low: bit 0 line A, bit 1 line B.
std::uint8_t calculator_pulls();
// True once the script has ended.
bool script_done();
// True while a byte is part way across the wire: some of its bits have moved, or a line is
// pulled. A computer never pauses there; only one that went away leaves it so.
bool byte_under_way();

// ---- Byte cables ----
// On the gray and USB cables the cable does the handshake: the computer exchanges whole bytes
// with the calculator's script, strictly in turn as on the wire.

enum class Next { sends, receives, done, hung };
// Gives the script its turn until it sends a byte, waits for one, or has ended (or hung).
Next byte_next();
// After Next::sends: the byte the calculator sends.
std::uint8_t byte_take();
// After Next::receives: a byte for the calculator.
void byte_give(std::uint8_t byte);
// For a double that finds the calculator silent: counts one fruitless look and ends the
// process as a stalled link after too many in a row (unless stall_check is off).
void byte_idle();

// A pseudo-terminal for a byte cable, its master returned (-1 on failure) and the device the
// computer opens in `device`.
int open_tty(std::string& device);
enum class Served { finished, gone, silent };
// Plays the script on the master's bytes until it ends and the computer has closed the device
// (finished), or until the computer closes the device first (gone) or, once a byte has crossed,
// says nothing for `give_up_ms` (silent; 0: no limit).
Served serve_tty(int master, int give_up_ms = 0);

// ---- The calculator's screen (screen.cpp) ----
// 128 x 64 pixels as the screen request sends them: 16 bytes a row, the top row first, the
// leftmost pixel in a byte's most significant bit, a 1 bit dark. The home screen is 8 lines of
// 21 characters, each a 5 x 7 glyph in a 6 x 8 cell; vti85 draws its own ASCII glyphs.

inline constexpr int HOME_COLUMNS = 21;
inline constexpr int HOME_LINES = 8;
using Screen = std::array<std::uint8_t, SCREEN_ROW_BYTES * SCREEN_HEIGHT>;

bool pixel(const Screen& screen, int x, int y);
// The home screen showing `lines` (the first HOME_LINES, each cut at HOME_COLUMNS characters; a
// byte outside 0x20-0x7E shows as '?') and the cursor, a dark cell, at the start of the next.
Screen home_screen(const std::vector<std::string>& lines);
// vti85's screen before it has received anything.
Screen waiting_screen();
// vti85's screen once it has received a variable: a picture (type 0x11, its 1010 bytes) drawn
// as it is over the top 63 rows, anything else its name and type on the home screen.
Screen received_screen(std::uint8_t type, const std::string& name, const Bytes& data);

// ---- What happened ----

struct Write {
    std::uint16_t port;
    std::uint8_t value;
};

std::vector<Packet> transcript(); // every packet, both directions, in order
std::vector<Packet> from_pc();    // the packets the calculator received
std::vector<Write> writes();      // the computer's port writes (the first 65,536)
std::vector<std::uint16_t> grants();
std::vector<std::string> violations(); // handshake faults of the computer
std::uint64_t accesses();              // port reads and writes by the computer
bool stalled();
std::uint8_t last_output(); // the last value the computer wrote to its output register

// From the test process: waits (up to `seconds`) until the computer holds a line low, e.g.
// before interrupting a child that is stuck mid-transfer. False on time-out.
bool wait_for_held_line(int seconds = 30);
// From the test process: waits (up to `seconds`) until the script has called hang().
bool wait_for_hang(int seconds = 30);

} // namespace peer
