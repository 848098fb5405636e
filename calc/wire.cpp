// The modelled wire and the calculator's bit-level handshake.
#include "calc/state.h"

#include "link/wire.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/mman.h>
#include <unistd.h>

namespace peer {

Record* record = nullptr;
Wire wire;

namespace {

// A computer that polls this often without the calculator being able to move is waiting for
// something that will never come.
constexpr std::uint32_t STALL_READS = 200000;

} // namespace

Options options;

bool output_port(std::uint16_t port) {
    return port == PARALLEL_OUT || port == SERIAL_OUT;
}
bool input_port(std::uint16_t port) {
    return port == PARALLEL_IN || port == SERIAL_IN;
}

// Bits other than 4 and 5 read as noise, so the computer must mask them.
std::uint8_t noise() {
    wire.noise = wire.noise * 1103515245u + 12345u;
    return static_cast<std::uint8_t>(wire.noise >> 16) & ~(LINE_A | LINE_B);
}

namespace {

std::int64_t now_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

// A calculator whose user has yet to act: it holds back the first bit of a byte for hold_ms.
bool holding_back() {
    if (options.hold_ms == 0 || wire.bit != 0 || wire.phase != 0) return false;
    if (wire.hold_until == 0) wire.hold_until = now_ms() + options.hold_ms;
    if (now_ms() < wire.hold_until) return true;
    wire.hold_until = 0;
    return false;
}

// The calculator's move, if it can make one now. Returns false when it must wait.
bool react() {
    switch (wire.mode) {
    case Mode::sending: {
        const bool one = (wire.byte >> wire.bit & 1) != 0;
        const bool pc_ack = one ? wire.pc_a : wire.pc_b;
        switch (wire.phase) {
        case 0: // pull our line: B for a 1, A (or, if asked, both) for a 0
            if (wire.hold || holding_back()) return false;
            (one ? wire.calc_b : wire.calc_a) = true;
            if (!one && options.zero_on_both) wire.calc_b = true;
            wire.phase = 1;
            return true;
        case 1: // the computer acknowledged on the other line: release ours
            if (!pc_ack) return false;
            wire.calc_a = wire.calc_b = false;
            wire.phase = 2;
            return true;
        default: // the computer released its acknowledgement: the bit is done
            if (pc_ack) return false;
            wire.phase = 0;
            if (++wire.bit == 8) wire.mode = Mode::idle;
            return true;
        }
    }
    case Mode::receiving:
        if (wire.phase == 0) {
            if (wire.pc_a == wire.pc_b || holding_back()) return false;
            // Line B low carries a 1 and is acknowledged on A; line A a 0, acknowledged on B.
            wire.incoming = wire.pc_b;
            (wire.pc_b ? wire.calc_a : wire.calc_b) = true;
            wire.phase = 1;
            return true;
        }
        if (wire.incoming ? wire.pc_b : wire.pc_a) return false;
        wire.calc_a = wire.calc_b = false;
        wire.byte = static_cast<std::uint8_t>(wire.byte | (wire.incoming ? 1 : 0) << wire.bit);
        wire.phase = 0;
        if (++wire.bit == 8) {
            // The computer waits to see our release; it must read it before we pull again
            // (the script may take the byte meanwhile).
            wire.mode = Mode::idle;
            wire.hold = true;
        }
        return true;
    case Mode::idle:
        hand_over();
        return true;
    case Mode::done:
    case Mode::hung:
        return false;
    }
    return false;
}

// Lets the calculator make every move it can. With a delay it waits that many reads first.
void settle(bool reading) {
    // As a receiver the computer lets go of its acknowledgement and moves on without reading
    // again, so even a slow calculator catches that release at once.
    if (wire.mode == Mode::sending && wire.phase == 2) react();
    for (;;) {
        if (wire.delay_left > 0 && wire.mode != Mode::idle) {
            if (reading) --wire.delay_left;
            wire.idle_reads = 0;
            return;
        }
        if (!react()) return;
        wire.idle_reads = 0;
        if (wire.mode != Mode::idle) wire.delay_left = options.delay;
    }
}

} // namespace

void violation(const char* what) {
    if (record->violation_count < MAX_VIOLATIONS) {
        std::snprintf(record->violations[record->violation_count], sizeof record->violations[0],
                      "%s (mode %d, bit %d, phase %d)", what, static_cast<int>(wire.mode), wire.bit,
                      wire.phase);
    }
    ++record->violation_count;
}

namespace {

// Handshake rules for the computer's side of each bit, checked against what it held before.
void check_write(std::uint8_t value) {
    if ((value & ~0x03) != 0) violation("bits 2-7 written");
    if ((value & 0x03) == 0x00) violation("both lines pulled");
    const bool pull_a = (value & 0x02) == 0;
    const bool pull_b = (value & 0x01) == 0;
    const bool held = wire.pc_a || wire.pc_b;
    const bool changed = pull_a != wire.pc_a || pull_b != wire.pc_b;
    if (!changed) return;
    if (wire.mode == Mode::receiving) {
        // The computer sends: it holds one line until acknowledged, then lets go.
        if (wire.phase == 0 && held) violation("released before the acknowledgement");
        if (wire.phase == 1 && (pull_a || pull_b)) violation("changed lines instead of releasing");
    } else if (wire.mode == Mode::sending) {
        // The computer receives: it acknowledges on the other line, then lets go.
        const bool one = (wire.byte >> wire.bit & 1) != 0;
        const bool ack = one ? pull_a : pull_b;
        const bool wrong = one ? pull_b : pull_a;
        if (wire.phase == 0 && (pull_a || pull_b)) violation("pulled a line before a bit came");
        if (wire.phase == 1 && wrong) violation("acknowledged on the wrong line");
        if (wire.phase == 1 && held && !ack) violation("released before the bit ended");
        if (wire.phase == 2 && (pull_a || pull_b)) violation("changed lines instead of releasing");
    }
}

Record* map_record() {
    void* memory =
        mmap(nullptr, sizeof(Record), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        std::perror("peer: mmap");
        std::abort();
    }
    return static_cast<Record*>(memory);
}

} // namespace

void reset(const Options& new_options) {
    if (record == nullptr) record = map_record();
    std::memset(static_cast<void*>(record), 0, sizeof(Record));
    record->last_output = 0xFF;
    options = new_options;
    wire = Wire{};
    forget_script();
}

bool wait_for_held_line(int seconds) {
    for (int waited = 0; waited < seconds * 100; ++waited) {
        const std::uint8_t value = record->last_output;
        if (value != 0xFF && value != LINES_RELEASED) return true;
        usleep(10000);
    }
    return false;
}

bool wait_for_hang(int seconds) {
    for (int waited = 0; waited < seconds * 100 && !record->hung; ++waited)
        usleep(10000);
    return record->hung;
}

void stall() {
    record->stalled = true;
    std::fflush(stdout);
    std::fprintf(stderr, "peer: the link stalled (mode %d, bit %d, phase %d)\n",
                 static_cast<int>(wire.mode), wire.bit, wire.phase);
    _exit(STALLED_STATUS);
}

void wire_write(std::uint8_t value) {
    record->last_output = value;
    check_write(value);
    // Output bit 1 low pulls line A, bit 0 low pulls line B.
    wire.pc_a = (value & 0x02) == 0;
    wire.pc_b = (value & 0x01) == 0;
    wire.idle_reads = 0;
    settle(false);
}

std::uint8_t wire_read() {
    settle(true);
    if (options.stall_check && wire.mode != Mode::hung && wire.hold_until == 0 &&
        ++wire.idle_reads > STALL_READS) {
        stall();
    }
    const std::uint8_t lines = line_bits(record->last_output, calculator_pulls());
    wire.hold = false;
    return lines;
}

std::uint8_t calculator_pulls() {
    return static_cast<std::uint8_t>((wire.calc_a ? 1 : 0) | (wire.calc_b ? 2 : 0));
}

bool script_done() {
    return wire.mode == Mode::done;
}

bool byte_under_way() {
    const bool moving = wire.mode == Mode::sending || wire.mode == Mode::receiving;
    return (moving && (wire.bit != 0 || wire.phase != 0)) || wire.pc_a || wire.pc_b ||
           wire.calc_a || wire.calc_b;
}

Next byte_next() {
    finish();
    switch (wire.mode) {
    case Mode::sending:
        return Next::sends;
    case Mode::receiving:
        return Next::receives;
    case Mode::hung:
        return Next::hung;
    default:
        return Next::done;
    }
}

std::uint8_t byte_take() {
    wire.mode = Mode::idle;
    wire.idle_reads = 0;
    return wire.byte;
}

void byte_give(std::uint8_t byte) {
    wire.byte = byte;
    wire.mode = Mode::idle;
    wire.idle_reads = 0;
}

void byte_idle() {
    // A byte cable's double looks far less often than a port is read.
    if (options.stall_check && wire.mode != Mode::hung && ++wire.idle_reads > 1000) stall();
}

} // namespace peer
