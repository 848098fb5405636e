// The virtual link cable: two lines in a small shared file, between a link program built on
// the virtual port layer and a running vti85.
//
// The computer's side writes its output register value and counts its input reads; the
// calculator's side publishes which lines it pulls low. Each side computes a line as high
// unless either side pulls it. The computer writes again only once the calculator has taken in
// its last write, so that no release goes unseen between two pulls. The read count lets the
// calculator tell that the computer has looked at the lines since it last changed them.
#pragma once

#include <atomic>
#include <climits>
#include <cstdint>
#include <ctime>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

inline constexpr std::uint32_t VIRTUAL_WIRE_MAGIC = 0x54493835; // "TI85"

struct VirtualWire {
    std::atomic<std::uint32_t> magic;
    std::atomic<std::uint8_t> pc_output;    // the computer's output register
    std::atomic<std::uint32_t> pc_writes;   // writes to it so far
    std::atomic<std::uint32_t> writes_seen; // writes the calculator has taken in
    std::atomic<std::uint8_t> calc_pulls;   // bit 0: the calculator pulls A, bit 1: B
    std::atomic<std::uint64_t> pc_reads;    // input register reads by the computer
    std::atomic<std::uint32_t> changes;     // bumped by either side after a change; futex word
};

static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

// Both ends poll. A poll that keeps seeing the same state spins briefly, then sleeps until the
// other side reports a change: on a shared core (or a busy machine) the other process gets the
// processor at once, instead of after whatever else the scheduler picks.
inline constexpr int SPIN_BEFORE_SLEEP = 200;

inline void wire_changed(VirtualWire& wire) {
    wire.changes.fetch_add(1);
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&wire.changes), FUTEX_WAKE, INT_MAX,
            nullptr, nullptr, 0);
}

// Sleeps until `changes` moves on from `seen`; a short time-out covers a missed wake-up.
inline void wire_wait(VirtualWire& wire, std::uint32_t seen) {
    const timespec limit{0, 2L * 1000 * 1000};
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&wire.changes), FUTEX_WAIT, seen, &limit,
            nullptr, 0);
}
