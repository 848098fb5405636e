// Cable set-up and byte transfer on the two-wire handshake.
#include "link/cable.h"

#include "link/byte_cables.h"
#include "link/idle_wait.h"
#include "link/link.h"
#include "link/ports/ports.h"
#include "link/privileges.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <new>

std::uint8_t* buffer = nullptr;

volatile std::sig_atomic_t port_abandoned = 0;

namespace {

void (*interrupt_cleanup)() = nullptr;

[[noreturn]] void bad_configuration() {
    std::fputs("Invalid configuration, please recompile!\n", stdout);
    std::exit(1);
}

std::uint16_t output_register() {
    return link_type == LINK_CONNECT85 ? SERIAL_OUT : PARALLEL_OUT;
}

std::uint16_t input_register() {
    return link_type == LINK_CONNECT85 ? SERIAL_IN : PARALLEL_IN;
}

// An interrupted transfer must not leave the calculator with a line held low.
extern "C" void interrupted(int signal) {
    if (interrupt_cleanup != nullptr) interrupt_cleanup();
    port_abandoned = 1;
    if (byte_cable(link_type)) {
        release_byte_cable();
    } else {
        port_write(output_register(), LINES_RELEASED);
    }
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

void grant(std::uint16_t port) {
    if (!port_grant(port)) {
        std::fputs("Cannot access /dev/port, aborting!\n", stdout);
        std::exit(1);
    }
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

void on_interrupt(void (*cleanup)()) {
    interrupt_cleanup = cleanup;
}

void init_link() {
    buffer = new (std::nothrow) std::uint8_t[BUFFER_SIZE];
    if (buffer == nullptr) {
        std::fputs("Cannot allocate memory, aborting!\n", stdout);
        std::exit(1);
    }
    switch (link_type) {
    case LINK_PARALLEL:
        grant(PARALLEL_OUT);
        grant(PARALLEL_IN);
        outb(PARALLEL_OUT, LINES_RELEASED);
        break;
    case LINK_CONNECT85:
        grant(SERIAL_OUT);
        grant(SERIAL_IN);
        outb(SERIAL_OUT, LINES_RELEASED);
        break;
    case LINK_GRAY:
        open_gray();
        break;
    case LINK_USB:
        open_usb();
        break;
    default:
        bad_configuration();
    }
    catch_interrupts();
    // Port access is all the privilege a run needs, and it outlives the drop.
    drop_privileges();
}

void put85(std::uint8_t byte) {
    switch (link_type) {
    case LINK_PARALLEL:
        put85_parallel(byte);
        break;
    case LINK_CONNECT85:
        put85_connect85(byte);
        break;
    case LINK_GRAY:
        put85_gray(byte);
        break;
    case LINK_USB:
        put85_usb(byte);
        break;
    default:
        bad_configuration();
    }
}

std::uint8_t get85() {
    switch (link_type) {
    case LINK_PARALLEL:
        return get85_parallel();
    case LINK_CONNECT85:
        return get85_connect85();
    case LINK_GRAY:
        return get85_gray();
    case LINK_USB:
        return get85_usb();
    default:
        bad_configuration();
    }
}

std::uint8_t read_lines() {
    return port_read(input_register()) & (LINE_A | LINE_B);
}

void pull_line(std::uint8_t output) {
    outb(output_register(), output);
}

void release_lines() {
    outb(output_register(), LINES_RELEASED);
}

void outb(std::uint16_t port, std::uint8_t value) {
    port_write(port, value);
}

// The waits have no time limit; a long one only earns the person watching a hint.
void timetest() {
    still_waiting();
}
void timereset() {}

void put85_parallel(std::uint8_t byte) {
    IdleWait idle;
    for (int bit = 0; bit < 8; ++bit) {
        // A 1 goes out on line B and is acknowledged on line A; a 0 the other way round.
        const bool one = (byte & 1) != 0;
        const std::uint8_t ack = one ? LINE_A : LINE_B;
        outb(PARALLEL_OUT, one ? PULL_B : PULL_A);
        while ((port_read(PARALLEL_IN) & ack) != 0) {
            timetest();
            if (bit == 0) idle_wait(idle);
        }
        outb(PARALLEL_OUT, LINES_RELEASED);
        while ((port_read(PARALLEL_IN) & ack) == 0) {
            timetest();
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
        while ((lines = port_read(PARALLEL_IN) & (LINE_A | LINE_B)) == (LINE_A | LINE_B)) {
            timetest();
            if (bit == 0) idle_wait(idle);
        }
        if (lines == LINE_A) {
            // Line B low: a 1. Acknowledge on A until the calculator lets B go.
            result = static_cast<std::uint8_t>((result >> 1) | 0x80);
            outb(PARALLEL_OUT, PULL_A);
            while ((port_read(PARALLEL_IN) & LINE_B) == 0) {
                timetest();
            }
        } else {
            // Line A low, or both low: a 0. Acknowledge on B until A is released.
            result = static_cast<std::uint8_t>(result >> 1);
            outb(PARALLEL_OUT, PULL_B);
            while ((port_read(PARALLEL_IN) & LINE_A) == 0) {
                timetest();
            }
        }
        outb(PARALLEL_OUT, LINES_RELEASED);
    }
    pause_after_byte();
    return result;
}

void setport(std::uint8_t value) {
    outb(SERIAL_OUT, value & 0x03);
}

std::uint8_t getport() {
    return (port_read(SERIAL_IN) >> 4) & 0x03;
}

void put85_connect85(std::uint8_t byte) {
    IdleWait idle;
    for (int bit = 0; bit < 8; ++bit) {
        setport((byte & 1) != 0 ? PULL_B : PULL_A);
        // Our own line and the calculator's acknowledgement: both low.
        while (getport() != 0) {
            timetest();
            if (bit == 0) idle_wait(idle);
        }
        setport(LINES_RELEASED);
        while (getport() != 3) {
            timetest();
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
        while ((lines = getport()) == 3) {
            timetest();
            if (bit == 0) idle_wait(idle);
        }
        std::uint8_t awaited;
        if (lines == 1) {
            // Line B low: a 1, acknowledged on A until B is released.
            result = static_cast<std::uint8_t>(result + weight);
            setport(PULL_A);
            awaited = 2;
        } else {
            setport(PULL_B);
            awaited = 1;
        }
        while ((getport() & awaited) == 0) {
            timetest();
        }
        setport(LINES_RELEASED);
        weight = static_cast<std::uint8_t>(weight << 1);
    }
    return result;
}
