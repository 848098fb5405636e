// Waits before a byte on the two-wire cables: a calculator that takes its time costs no CPU.
#include "calc/calc.h"
#include "link/link.h"

#include <gtest/gtest.h>

#include <ctime>

namespace {

// The cable of this run of the tests: TI85_CABLE, as the build registers each test.
const bool cable_chosen = (choose_cable(nullptr, nullptr), true);

double seconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

TEST(IdleWait, ALateCalculatorIsAwaitedAsleepInBothDirections) {
    constexpr int HOLD_MS = 200;
    for (const bool sending : {false, true}) {
        peer::reset({.hold_ms = HOLD_MS});
        std::uint8_t got = 0;
        peer::run([&] {
            if (sending) {
                got = peer::recv_byte();
            } else {
                peer::send_byte(0xA5);
            }
        });
        const double wall = seconds(CLOCK_MONOTONIC);
        const double cpu = seconds(CLOCK_THREAD_CPUTIME_ID);
        if (sending) {
            put85(0xA5);
            peer::finish();
        } else {
            got = get85();
        }
        const double cpu_used = seconds(CLOCK_THREAD_CPUTIME_ID) - cpu;
        EXPECT_EQ(got, 0xA5) << sending;
        // The model counts the hold in whole milliseconds from its first poll, which may come
        // before this thread reads the clock: the wait happened, give or take a little.
        EXPECT_GE(seconds(CLOCK_MONOTONIC) - wall, HOLD_MS * 0.9e-3) << sending;
        // Spinning through the wait reads the lines millions of times and keeps a core busy.
        EXPECT_LT(peer::accesses(), 50000U) << sending;
        EXPECT_LT(cpu_used, HOLD_MS * 1e-3 / 5) << sending;
        EXPECT_TRUE(peer::violations().empty()) << sending;
    }
}

} // namespace
