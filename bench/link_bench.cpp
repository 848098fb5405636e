// Link benchmark: port accesses and CPU time per byte against a calculator that answers at once.
// Runs on the two-wire cable TI85_CABLE names; prints one table row per measurement (see
// bench_table.h). Never part of the tests.
#include "bench/bench_table.h"
#include "calc/calc.h"
#include "link/link.h"

namespace {

constexpr int RAW_BYTES = 4096;

// One row; `count` operations of `bytes` bytes each took `seconds` of CPU time in all.
void row(const char* what, std::uint64_t bytes, int count, double seconds) {
    const char* cable = link_type == LINK_SERIAL ? "serial" : "parallel";
    const double total = static_cast<double>(bytes) * count;
    bench_row(what, cable, bytes, static_cast<double>(peer::accesses()) / total, seconds, total,
              count);
}

} // namespace

int main(int argc, char**) {
    static std::uint8_t storage[BUFFER_SIZE];
    buffer = storage;
    for (std::size_t i = 0; i < BUFFER_SIZE; ++i)
        buffer[i] = static_cast<std::uint8_t>(i * 13);
    if (argc > 1) bench_header();
    choose_cable(nullptr, nullptr);

    peer::reset();
    peer::run([] {
        for (int i = 0; i < RAW_BYTES; ++i)
            peer::recv_byte();
    });
    double start = cpu_seconds();
    for (int i = 0; i < RAW_BYTES; ++i)
        put85(static_cast<std::uint8_t>(i));
    row("put85", 1, RAW_BYTES, cpu_seconds() - start);

    peer::reset();
    peer::run([] {
        for (int i = 0; i < RAW_BYTES; ++i)
            peer::send_byte(static_cast<std::uint8_t>(i));
    });
    start = cpu_seconds();
    for (int i = 0; i < RAW_BYTES; ++i)
        get85();
    row("get85", 1, RAW_BYTES, cpu_seconds() - start);

    peer::reset();
    peer::run([] { peer::receive(); });
    start = cpu_seconds();
    put_packet(PACKET_DATA, BUFFER_SIZE);
    row("put_packet, 32 KB of data", BUFFER_SIZE, 1, cpu_seconds() - start);

    const peer::Bytes data(buffer, buffer + BUFFER_SIZE);
    peer::reset();
    peer::run([&] { peer::send(PACKET_DATA, data); });
    start = cpu_seconds();
    get_packet();
    row("get_packet, 32 KB of data", BUFFER_SIZE, 1, cpu_seconds() - start);
    return 0;
}
