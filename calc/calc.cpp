// The calculator's script: its turns on the wire, its packet layer, and the record of packets.
#include "calc/state.h"

#include "link/bytes.h"
#include "varfile/varfile.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <semaphore>
#include <thread>

namespace peer {

namespace {

// The computer and the script take turns: exactly one of them runs at any time.
struct Turns {
    std::binary_semaphore script{0};
    std::binary_semaphore wire{0};
};
Turns* turns = nullptr;

void wait_for_wire() {
    Turns* own = turns;
    own->wire.release();
    own->script.acquire();
}

// Transcript entries: from_pc, intact, machine, type, length (2), data size (4), data.
void note(const Packet& packet) {
    const std::size_t size = 10 + packet.data.size();
    if (record->transcript_used + size > TRANSCRIPT_BYTES) {
        record->transcript_full = true;
        return;
    }
    std::uint8_t* at = record->transcript + record->transcript_used;
    const auto data_size = static_cast<std::uint32_t>(packet.data.size());
    at[0] = packet.from_pc;
    at[1] = packet.intact;
    at[2] = packet.machine;
    at[3] = packet.type;
    std::memcpy(at + 4, &packet.length, 2);
    std::memcpy(at + 6, &data_size, 4);
    if (data_size != 0) std::memcpy(at + 10, packet.data.data(), data_size);
    record->transcript_used += static_cast<std::uint32_t>(size);
}

std::uint16_t recv_u16() {
    const std::uint8_t low = recv_byte();
    const std::uint8_t high = recv_byte();
    return read_le16(std::array{low, high});
}

Packet receive_one() {
    Packet packet;
    packet.from_pc = true;
    packet.machine = recv_byte();
    packet.type = recv_byte();
    packet.length = recv_u16();
    if (checksummed(packet.type, packet.length)) {
        for (int i = 0; i < packet.length; ++i)
            packet.data.push_back(recv_byte());
        packet.intact = recv_u16() == sum16(packet.data);
    }
    note(packet);
    return packet;
}

void send_noted(std::uint8_t type, std::uint16_t length, const Bytes& data, bool corrupt) {
    send_raw(checksummed(type, length) ? frame(type, data, corrupt) : frame_header(type, length));
    note({false, MACHINE_ID_TI85, type, length, data, !corrupt});
}

} // namespace

void hand_over() {
    if (turns == nullptr) {
        wire.mode = Mode::done;
        return;
    }
    turns->script.release();
    turns->wire.acquire();
}

void finish() {
    while (wire.mode == Mode::idle)
        hand_over();
}

void forget_script() {
    turns = nullptr;
}

void run(std::function<void()> script) {
    // Never freed: a script left waiting keeps using its turns until the process ends.
    struct Script {
        Turns turns;
        std::function<void()> body;
    };
    static auto* scripts = new std::vector<Script*>;
    wire.mode = Mode::idle; // the new script has the next move
    scripts->push_back(new Script{{}, std::move(script)});
    turns = &scripts->back()->turns;
    Turns* own = turns;
    std::function<void()>* body = &scripts->back()->body;
    std::thread([own, body] {
        own->script.acquire();
        (*body)();
        wire.mode = Mode::done;
        own->wire.release();
    }).detach();
    // A computer that ends the process right after a byte still has that byte recorded.
    static bool registered = false;
    if (!registered) std::atexit(finish);
    registered = true;
}

void hang() {
    wire.mode = Mode::hung;
    record->hung = true;
    wait_for_wire();
}

void send_byte(std::uint8_t byte) {
    wire.mode = Mode::sending;
    wire.byte = byte;
    wire.bit = 0;
    wire.phase = 0;
    wait_for_wire();
}

std::uint8_t recv_byte() {
    wire.mode = Mode::receiving;
    wire.byte = 0;
    wire.bit = 0;
    wire.phase = 0;
    wait_for_wire();
    return wire.byte;
}

Bytes frame(std::uint8_t type, const Bytes& data, bool corrupt) {
    Bytes bytes = frame_header(type, static_cast<std::uint16_t>(data.size()));
    bytes.insert(bytes.end(), data.begin(), data.end());
    append_le16(bytes, static_cast<std::uint16_t>(sum16(data) + (corrupt ? 1 : 0)));
    return bytes;
}

Bytes frame_header(std::uint8_t type, std::uint16_t length) {
    Bytes bytes{MACHINE_ID_TI85, type};
    append_le16(bytes, length);
    return bytes;
}

void send_raw(const Bytes& bytes) {
    for (std::uint8_t byte : bytes)
        send_byte(byte);
}

void send(std::uint8_t type, const Bytes& data, SendOptions options) {
    const auto length = static_cast<std::uint16_t>(data.size());
    for (int copy = 0;; ++copy) {
        const bool corrupt = copy < options.corrupt;
        send_noted(type, length, data, corrupt);
        if (!checksummed(type, length) || !options.await_ack) return;
        const Packet answer = receive_one();
        if (answer.type == PACKET_ERR && corrupt) continue;
        if (answer.type != PACKET_ACK) return;
        // The computer acknowledges once for every copy it read.
        for (int more = 0; more < copy; ++more)
            receive_one();
        return;
    }
}

Packet receive(std::uint8_t answer) {
    for (;;) {
        Packet packet = receive_one();
        if (!checksummed(packet.type, packet.length)) return packet;
        if (!packet.intact) {
            send_noted(PACKET_ERR, 0, {}, false);
            continue;
        }
        if (answer != NO_ANSWER) send_noted(answer, 0, {}, false);
        return packet;
    }
}

Bytes var_header(std::uint16_t data_length, std::uint8_t type, const std::string& name) {
    Bytes bytes(4 + name.size());
    bytes.resize(encode_var_header(data_length, type, name, bytes));
    return bytes;
}

std::vector<Packet> transcript() {
    finish();
    std::vector<Packet> packets;
    for (std::uint32_t at = 0; at < record->transcript_used;) {
        const std::uint8_t* entry = record->transcript + at;
        Packet packet;
        packet.from_pc = entry[0] != 0;
        packet.intact = entry[1] != 0;
        packet.machine = entry[2];
        packet.type = entry[3];
        std::uint32_t data_size = 0;
        std::memcpy(&packet.length, entry + 4, 2);
        std::memcpy(&data_size, entry + 6, 4);
        packet.data.assign(entry + 10, entry + 10 + data_size);
        packets.push_back(std::move(packet));
        at += 10 + data_size;
    }
    return packets;
}

std::vector<Packet> from_pc() {
    std::vector<Packet> packets;
    for (Packet& packet : transcript()) {
        if (packet.from_pc) packets.push_back(std::move(packet));
    }
    return packets;
}

std::vector<Write> writes() {
    const std::uint32_t count = std::min(record->write_count, MAX_WRITES);
    return {record->writes, record->writes + count};
}

std::vector<std::uint16_t> grants() {
    const std::uint32_t count = std::min(record->grant_count, MAX_GRANTS);
    return {record->grants, record->grants + count};
}

std::vector<std::string> violations() {
    std::vector<std::string> found;
    const std::uint32_t count = std::min(record->violation_count, MAX_VIOLATIONS);
    for (std::uint32_t i = 0; i < count; ++i)
        found.emplace_back(record->violations[i]);
    return found;
}

std::uint64_t accesses() {
    return record->accesses;
}
bool stalled() {
    return record->stalled;
}
std::uint8_t last_output() {
    return record->last_output;
}

} // namespace peer
