// Packets: framing, checksums, acknowledgements and the request to send again.
#include "cli/cli.h"
#include "link/link.h"

#include "link/bytes.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

std::uint16_t last_packet_size = 0;

namespace {

struct Header {
    std::uint8_t type;
    std::uint16_t length;
};

// The first byte of every packet a TI-85 sends.

constexpr std::array KNOWN_TYPES{PACKET_VAR, PACKET_CTS, PACKET_DATA, PACKET_SKIP,
                                 PACKET_ACK, PACKET_ERR, PACKET_EOT};

// Set by a header of a type there is not: a stray byte has put the bytes out of step with the
// packets (the calculator's machine id was read as the type), and they would stay so for good.
bool out_of_step = false;

bool known_type(std::uint8_t type) {
    return std::find(KNOWN_TYPES.begin(), KNOWN_TYPES.end(), type) != KNOWN_TYPES.end();
}

Header get_header() {
    std::array<std::uint8_t, 4> bytes{};
    if (out_of_step) {
        // The next packet begins at the next byte that is the calculator's machine id.
        while ((bytes[0] = get85()) != MACHINE_ID_TI85) {
        }
    } else {
        bytes[0] = get85(); // the sender's machine id: any value will do
    }
    for (std::size_t i = 1; i < bytes.size(); ++i)
        bytes[i] = get85();
    // A type there is not, after a stray byte: the header began at a machine id already read.
    while (!known_type(bytes[1])) {
        const auto id = std::find(bytes.begin() + 1, bytes.end(), MACHINE_ID_TI85);
        if (id == bytes.end()) break;
        const auto kept = std::copy(id, bytes.end(), bytes.begin());
        std::generate(kept, bytes.end(), get85);
    }
    out_of_step = !known_type(bytes[1]);
    return {bytes[1], read_le16(std::array{bytes[2], bytes[3]})};
}

// Reads `length` data bytes and their checksum. All of them are read and summed so that the
// framing stays in step, but only the first BUFFER_SIZE are kept.
bool get_data(std::uint16_t length) {
    std::uint16_t sum = 0;
    progress_begin(length);
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint8_t byte = get85();
        if (i < BUFFER_SIZE) buffer[i] = byte;
        sum = sum16({&byte, 1}, sum);
        progress_step(i + 1);
    }
    progress_end();
    const std::uint8_t low = get85();
    const std::uint8_t high = get85();
    return sum == read_le16(std::array{low, high});
}

} // namespace

void put_packet(std::uint8_t type, std::uint16_t length) {
    const bool with_data = checksummed(type, length);
    if (with_data && length > BUFFER_SIZE) {
        // Callers check lengths first; never send bytes from beyond the buffer.
        std::fputs("Packet longer than the buffer, exiting...\n", stdout);
        std::exit(1);
    }
    if (type == PACKET_DATA && length == 0) {
        // Callers refuse variables without data: such a packet would go out as a bare header,
        // with no checksum and no acknowledgement, and be misread.
        std::fputs("Data packet without data, exiting...\n", stdout);
        std::exit(1);
    }
    put85(MACHINE_ID_PC);
    put85(type);
    for (const std::uint8_t byte : le16(length))
        put85(byte);
    if (!with_data) return;

    progress_begin(length);
    for (std::size_t i = 0; i < length; ++i) {
        put85(buffer[i]);
        progress_step(i + 1);
    }
    progress_end();
    for (const std::uint8_t byte : le16(sum16({buffer, length})))
        put85(byte);

    if (get_packet() != PACKET_ACK) {
        std::fputs("Packet not acknowledged, exiting...\n", stdout);
        std::exit(1);
    }
}

std::uint8_t get_packet() {
    // Each checksummed packet read earns one acknowledgement, sent once a packet has arrived
    // intact (or a header-only packet came in its place): the same bytes on the cable as asking
    // again from a nested read, without a stack that grows with every failure.
    int acknowledgements = 0;
    Header packet = get_header();
    while (checksummed(packet.type, packet.length)) {
        ++acknowledgements;
        if (get_data(packet.length)) break;
        // Data that failed its sum must never pass for the answer, whatever comes instead.
        std::memset(buffer, 0, std::min<std::size_t>(packet.length, BUFFER_SIZE));
        std::fputs("\nChecksum failure!\n", stdout);
        put_packet(PACKET_ERR, 0);
        packet = get_header();
    }
    for (; acknowledgements > 0; --acknowledgements) {
        put_packet(PACKET_ACK, 0);
    }

    // The caller sees the packet that ended the exchange, never one that failed its sum.
    last_packet_size = packet.length;
    return packet.type;
}
