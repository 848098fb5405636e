// Inside the virtual calculator: the wire's state and the shared record.
#pragma once

#include "calc/calc.h"

namespace peer {

inline constexpr std::uint32_t MAX_WRITES = 1 << 16;
inline constexpr std::uint32_t MAX_GRANTS = 16;
inline constexpr std::uint32_t MAX_VIOLATIONS = 8;
inline constexpr std::uint32_t TRANSCRIPT_BYTES = 1 << 21;

// What the tests read back; lives in shared memory so that a forked child's record survives it.
struct Record {
    std::uint64_t accesses;
    std::uint32_t write_count;
    Write writes[MAX_WRITES];
    std::uint32_t grant_count;
    std::uint16_t grants[MAX_GRANTS];
    std::uint32_t violation_count;
    char violations[MAX_VIOLATIONS][160];
    std::uint8_t last_output;
    bool stalled;
    bool hung;
    bool transcript_full;
    std::uint32_t transcript_used;
    std::uint8_t transcript[TRANSCRIPT_BYTES];
};

enum class Mode { idle, sending, receiving, done, hung };

struct Wire {
    bool pc_a = false, pc_b = false;     // lines the computer pulls
    bool calc_a = false, calc_b = false; // lines the calculator pulls
    Mode mode = Mode::idle;
    std::uint8_t byte = 0;
    int bit = 0;
    int phase = 0;
    bool incoming = false; // the bit being received
    int delay_left = 0;
    bool hold = false; // a read must come before the calculator moves again
    std::uint32_t idle_reads = 0;
    std::uint32_t noise = 1;
    std::int64_t hold_until = 0; // ms on the monotonic clock; 0 when not holding back
};

extern Record* record;
extern Wire wire;
extern Options options;

// Whether a port is the computer's output or input register, on either cable.
bool output_port(std::uint16_t port);
bool input_port(std::uint16_t port);
// Bits of the input register other than the lines.
std::uint8_t noise();
// Records a handshake fault of the computer.
void violation(const char* what);

// Gives the script its turn; returns when it waits on the wire again (or has ended).
void hand_over();
[[noreturn]] void stall();
// Drops the script of an earlier run (whose thread a forked child does not have).
void forget_script();

} // namespace peer
