// Inside the link library: a wait for the calculator that may last long costs no CPU.
//
// Used before the first bit of a byte, where the calculator may take minutes (the user has yet
// to start a transfer). The first millisecond or so of unchanged lines is spun, as a byte in
// flight needs; after that every read follows a sleep, a quarter of a millisecond at first and
// doubling up to 8 ms while the lines stay unchanged: waking costs some CPU of its own (about
// 25 us on a virtual machine), so a wait that lasts wakes rarely. Nothing is missed: the
// calculator holds its line until the computer has seen it. Bits in flight never sleep, so a
// calculator that answers at once still costs exactly the port accesses of the handshake.
#pragma once

#include <cstdint>
#include <ctime>

inline constexpr std::int64_t IDLE_SPIN_NS = 1'000'000;
inline constexpr long IDLE_FIRST_NAP_NS = 250'000;
inline constexpr long IDLE_LONGEST_NAP_NS = 8'000'000;

struct IdleWait {
    std::int64_t since = -1; // when the lines were first seen unchanged, in ns
    long nap_ns = IDLE_FIRST_NAP_NS;
};

// Call after every read of a wait that found the lines unchanged.
inline void idle_wait(IdleWait& wait) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const std::int64_t ns = static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
    if (wait.since < 0) wait.since = ns;
    if (ns - wait.since < IDLE_SPIN_NS) return;
    const timespec nap{0, wait.nap_ns};
    nanosleep(&nap, nullptr);
    if (wait.nap_ns < IDLE_LONGEST_NAP_NS) wait.nap_ns *= 2;
}
