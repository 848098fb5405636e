// Wait benchmark: CPU time spent while the calculator keeps the computer waiting, and for the
// gray cable the time per byte through a pseudo-terminal. Runs on the cable TI85_CABLE names;
// prints rows of the second benchmark table. Never part of the tests.
#include "calc/calc.h"
#include "link/link.h"

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

constexpr int WAIT_MS = 1000;

double seconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

const char* cable_name() {
    switch (link_type) {
    case LINK_PARALLEL:
        return "parallel";
    case LINK_SERIAL:
        return "serial";
    case LINK_GRAY:
        return "gray, through a pseudo-terminal";
    default:
        return "USB, a cable that stays silent (250 ms library time-outs)";
    }
}

void row(const char* what, const char* result) {
    std::printf("| %s | %s | %s |\n", what, cable_name(), result);
}

// CPU of the whole process while get85 waits WAIT_MS for a byte, per second of waiting.
void idle_row(const std::function<void()>& wait) {
    const double wall = seconds(CLOCK_MONOTONIC);
    const double cpu = seconds(CLOCK_PROCESS_CPUTIME_ID);
    wait();
    const double waited = seconds(CLOCK_MONOTONIC) - wall;
    char text[64];
    std::snprintf(text, sizeof text, "%.2f ms per s",
                  (seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu) * 1e3 / waited);
    row("CPU while the calculator keeps the computer waiting", text);
}

void two_wire() {
    peer::reset({.hold_ms = WAIT_MS});
    peer::run([] { peer::send_byte(0x5A); });
    idle_row([] { get85(); });
}

void gray() {
    std::string slave;
    const int master = peer::open_tty(slave);
    std::filesystem::remove(link_device);
    std::filesystem::create_symlink(slave, link_device);
    peer::reset();
    peer::run([] {
        // Ready after a second, then one 32 KB packet.
        peer::recv_byte();
        usleep(WAIT_MS * 1000);
        peer::send_byte(0x5A);
        peer::send(PACKET_DATA, peer::Bytes(BUFFER_SIZE, 0xA5));
    });
    std::thread calculator([master] { peer::serve_tty(master); });
    init_link();
    put85(0);
    idle_row([] { get85(); });
    const double wall = seconds(CLOCK_MONOTONIC);
    const double cpu = seconds(CLOCK_PROCESS_CPUTIME_ID);
    get_packet();
    char text[64];
    std::snprintf(text, sizeof text, "%.2f us per byte (CPU %.2f us)",
                  (seconds(CLOCK_MONOTONIC) - wall) * 1e6 / BUFFER_SIZE,
                  (seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu) * 1e6 / BUFFER_SIZE);
    row("time for a 32 KB packet from the calculator", text);
    std::filesystem::remove(link_device);
    calculator.detach();
}

} // namespace

int main(int argc, char**) {
    choose_cable(nullptr, nullptr);
    if (argc > 1) {
        std::printf("\n| measurement | cable | result |\n|---|---|---|\n");
    }
    std::fflush(stdout);
    if (link_type == LINK_GRAY) {
        gray();
    } else if (link_type == LINK_USB) {
        init_link();
        // Nothing ever comes: the wait is cut short after WAIT_MS by the benchmark's cable.
        idle_row([] { get85(); });
    } else {
        two_wire();
    }
    std::fflush(stdout);
    _exit(0);
}
