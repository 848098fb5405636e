// Link benchmark: port accesses and CPU time per byte against a calculator that answers at once.
// Built once per cable; prints one table row per measurement. Never part of the tests.
#include "link/link.h"
#include "tests/peer/peer.h"

#include <cstdio>
#include <ctime>
#include <cstring>

namespace {

constexpr int RAW_BYTES = 4096;

double cpu_seconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void row(const char* what, std::uint64_t bytes, double seconds) {
    const char* cable = link_type == LINK_CONNECT85 ? "serial" : "parallel";
    std::printf("| %-8s | %-24s | %7llu | %9.2f | %10.3f |\n", cable, what,
                static_cast<unsigned long long>(bytes),
                static_cast<double>(peer::accesses()) / static_cast<double>(bytes),
                seconds * 1e6 / static_cast<double>(bytes));
}

} // namespace

int main(int argc, char**) {
    static std::uint8_t storage[BUFFER_SIZE];
    buffer = storage;
    for (std::size_t i = 0; i < BUFFER_SIZE; ++i) buffer[i] = static_cast<std::uint8_t>(i * 13);
    if (argc > 1) {
        std::printf("| cable    | measurement              |   bytes | accesses/byte | CPU us/byte |\n");
        std::printf("|---|---|---|---|---|\n");
    }

    peer::reset();
    peer::run([] {
        for (int i = 0; i < RAW_BYTES; ++i) peer::recv_byte();
    });
    double start = cpu_seconds();
    for (int i = 0; i < RAW_BYTES; ++i) put85(static_cast<std::uint8_t>(i));
    row("put85", RAW_BYTES, cpu_seconds() - start);

    peer::reset();
    peer::run([] {
        for (int i = 0; i < RAW_BYTES; ++i) peer::send_byte(static_cast<std::uint8_t>(i));
    });
    start = cpu_seconds();
    for (int i = 0; i < RAW_BYTES; ++i) get85();
    row("get85", RAW_BYTES, cpu_seconds() - start);

    peer::reset();
    peer::run([] { peer::receive(); });
    start = cpu_seconds();
    put_packet(PACKET_DATA, BUFFER_SIZE);
    row("put_packet 32 KB", BUFFER_SIZE, cpu_seconds() - start);

    const peer::Bytes data(buffer, buffer + BUFFER_SIZE);
    peer::reset();
    peer::run([&] { peer::send(PACKET_DATA, data); });
    start = cpu_seconds();
    get_packet();
    row("get_packet 32 KB", BUFFER_SIZE, cpu_seconds() - start);
    return 0;
}
