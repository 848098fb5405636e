// The cable routines and the packet layer against the virtual calculator.
#include "calc/calc.h"
#include "link/cable.h"
#include "link/link.h"
#include "link/wire.h"
#include "tests/support/child.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <stdexcept>
#include <unistd.h>

using testing_support::run_child;

namespace {

// The cable of this run of the tests: TI85_CABLE, as the build registers each test.
const bool cable_chosen = (choose_cable(nullptr, nullptr), true);

const std::uint16_t OUT = link_type == LINK_SERIAL ? SERIAL_OUT : PARALLEL_OUT;
const std::uint16_t IN = link_type == LINK_SERIAL ? SERIAL_IN : PARALLEL_IN;

std::vector<std::uint8_t> written_values() {
    std::vector<std::uint8_t> values;
    for (const peer::Write& write : peer::writes())
        values.push_back(write.value);
    return values;
}

// The packet buffer without init_link, for tests that run in this process.
void give_buffer() {
    static std::uint8_t storage[BUFFER_SIZE];
    buffer = storage;
}

TEST(Cable, ParallelSendWritesOneLinePerBitThenReleases) {
    peer::reset();
    std::uint8_t seen = 0;
    peer::run([&] { seen = peer::recv_byte(); });
    put85_parallel(0x01);
    peer::finish();
    EXPECT_EQ(seen, 0x01);
    std::vector<std::uint8_t> expected{0x02, 0x03};
    for (int bit = 1; bit < 8; ++bit)
        expected.insert(expected.end(), {0x01, 0x03});
    EXPECT_EQ(written_values(), expected);
    for (const peer::Write& write : peer::writes())
        EXPECT_EQ(write.port, PARALLEL_OUT);

    peer::reset();
    peer::run([&] { seen = peer::recv_byte(); });
    put85_parallel(0x80);
    peer::finish();
    EXPECT_EQ(seen, 0x80);
    expected.clear();
    for (int bit = 0; bit < 7; ++bit)
        expected.insert(expected.end(), {0x01, 0x03});
    expected.insert(expected.end(), {0x02, 0x03});
    EXPECT_EQ(written_values(), expected);
    EXPECT_TRUE(peer::violations().empty());
}

TEST(Cable, EveryByteCrossesBothCablesBothWaysAtAnyPace) {
    for (int delay : {0, 3}) {
        for (bool serial : {false, true}) {
            peer::reset({.delay = delay});
            std::vector<std::uint8_t> heard;
            peer::run([&] {
                for (int value = 0; value < 256; ++value) {
                    peer::send_byte(static_cast<std::uint8_t>(value));
                    heard.push_back(peer::recv_byte());
                }
            });
            for (int value = 0; value < 256; ++value) {
                const std::uint8_t got = serial ? get85_connect85() : get85_parallel();
                ASSERT_EQ(got, value) << "serial " << serial << " delay " << delay;
                serial ? put85_connect85(got) : put85_parallel(got);
            }
            peer::finish();
            ASSERT_EQ(heard.size(), 256u);
            for (int value = 0; value < 256; ++value)
                EXPECT_EQ(heard[value], value);
            EXPECT_TRUE(peer::violations().empty()) << peer::violations()[0];
        }
    }
}

TEST(Cable, BothLinesLowAtTheStartOfABitIsAZero) {
    for (bool serial : {false, true}) {
        peer::reset({.zero_on_both = true});
        peer::run([] { peer::send_byte(0x5A); });
        EXPECT_EQ(serial ? get85_connect85() : get85_parallel(), 0x5A);
        // Each 0 bit is acknowledged on line B, each 1 bit on line A.
        std::vector<std::uint8_t> expected;
        for (int bit = 0; bit < 8; ++bit) {
            expected.insert(expected.end(), {(0x5A >> bit & 1) ? PULL_A : PULL_B, 0x03});
        }
        EXPECT_EQ(written_values(), expected);
        EXPECT_TRUE(peer::violations().empty());
    }
}

TEST(Cable, SerialSenderWaitsForBothLinesLowThenBothHigh) {
    // A slow calculator: the computer must keep polling while only its own line reads low.
    peer::reset({.delay = 5});
    std::uint8_t seen = 0;
    peer::run([&] { seen = peer::recv_byte(); });
    put85_connect85(0xC3);
    peer::finish();
    EXPECT_EQ(seen, 0xC3);
    std::vector<std::uint8_t> expected;
    for (int bit = 0; bit < 8; ++bit) {
        expected.insert(expected.end(), {(0xC3 >> bit & 1) ? PULL_B : PULL_A, 0x03});
    }
    EXPECT_EQ(written_values(), expected);
    for (const peer::Write& write : peer::writes())
        EXPECT_EQ(write.port, SERIAL_OUT);
    EXPECT_GE(peer::accesses(), 8u * (2u * 5u + 2u));
    EXPECT_TRUE(peer::violations().empty());
}

TEST(Cable, AnsweringAtOnceTakesFourPortAccessesPerBit) {
    for (bool serial : {false, true}) {
        peer::reset();
        peer::run([] {
            peer::send_byte(0x3C);
            peer::recv_byte();
        });
        const std::uint8_t got = serial ? get85_connect85() : get85_parallel();
        serial ? put85_connect85(got) : put85_parallel(got);
        EXPECT_EQ(peer::accesses(), 2u * 32u);
    }
}

// A harness watching the wire through the model's hooks sees every access, after the wire
// has settled, and what it throws ends the computer's access.
TEST(Cable, PortHooksSeeEveryAccessAndMayEndIt) {
    static std::vector<peer::Write> hooked;
    static std::uint64_t reads = 0;
    hooked.clear();
    reads = 0;
    peer::reset({.after_write =
                     [](std::uint16_t port, std::uint8_t value) {
                         hooked.push_back({port, value});
                     },
                 .after_read =
                     [](std::uint16_t port, std::uint8_t) {
                         EXPECT_EQ(port, PARALLEL_IN);
                         ++reads;
                     }});
    peer::run([] { peer::send_byte(0xA5); });
    EXPECT_EQ(get85_parallel(), 0xA5);
    const std::vector<peer::Write> recorded = peer::writes();
    ASSERT_EQ(hooked.size(), recorded.size());
    for (std::size_t i = 0; i < hooked.size(); ++i) {
        EXPECT_EQ(hooked[i].port, recorded[i].port);
        EXPECT_EQ(hooked[i].value, recorded[i].value);
    }
    EXPECT_EQ(hooked.size() + reads, peer::accesses());

    peer::reset({.stall_check = false, .after_read = [](std::uint16_t, std::uint8_t) {
                     throw std::runtime_error("quiet");
                 }});
    EXPECT_THROW(get85_parallel(), std::runtime_error);
    EXPECT_EQ(peer::accesses(), 1u);
}

TEST(Setup, InitLinkGainsBothPortsAndReleasesTheLines) {
    peer::reset();
    const auto result = run_child([] {
        init_link();
        return buffer != nullptr ? 0 : 2;
    });
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(peer::grants(), (std::vector<std::uint16_t>{OUT, IN}));
    ASSERT_EQ(peer::writes().size(), 1u);
    EXPECT_EQ(peer::writes()[0].port, OUT);
    EXPECT_EQ(peer::writes()[0].value, 0x03);
}

TEST(Setup, RefusedPortEndsTheRunWithoutAskingForTheNext) {
    peer::reset({.refuse = {OUT}});
    auto result = run_child([] {
        init_link();
        return 0;
    });
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, "Cannot access /dev/port, aborting!\n");
    EXPECT_EQ(peer::grants(), std::vector<std::uint16_t>{OUT});
    EXPECT_TRUE(peer::writes().empty());

    peer::reset({.refuse = {IN}});
    result = run_child([] {
        init_link();
        return 0;
    });
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, "Cannot access /dev/port, aborting!\n");
    EXPECT_EQ(peer::grants(), (std::vector<std::uint16_t>{OUT, IN}));
    EXPECT_TRUE(peer::writes().empty());
}

void remove_marker() {
    unlink("partial");
}

TEST(Setup, InterruptRunsTheCleanupAndReleasesTheLines) {
    testing_support::ScratchDir dir;
    testing_support::write_file(dir.path / "partial", "half");
    // A calculator that stops answering leaves the computer holding a line low.
    peer::reset();
    const auto result = run_child(
        [] {
            init_link();
            on_interrupt(remove_marker);
            peer::run([] { peer::hang(); });
            put85(0x00);
            return 0;
        },
        "", dir.path, 60,
        [](int pid) {
            EXPECT_TRUE(peer::wait_for_held_line());
            kill(pid, SIGINT);
        });
    EXPECT_EQ(result.signal, SIGINT);
    EXPECT_EQ(peer::last_output(), 0x03);
    EXPECT_FALSE(std::filesystem::exists(dir.path / "partial"));
}

TEST(Packets, HeaderOnlyPacketsAreFourBytesAndNeverAcknowledged) {
    give_buffer();
    peer::reset();
    std::vector<peer::Packet> seen;
    peer::run([&] {
        seen.push_back(peer::receive());
        seen.push_back(peer::receive());
        seen.push_back(peer::receive());
        peer::send_raw(peer::frame_header(PACKET_EOT, 7));
        peer::send_raw(peer::frame_header(PACKET_DATA, 0));
    });
    put_packet(PACKET_ACK, 0);
    put_packet(PACKET_CTS, 5); // any header-only type sends its length as given
    put_packet(PACKET_VAR, 0); // a checksummed type with length 0 carries nothing
    std::memset(buffer, 0xEE, 4);
    EXPECT_EQ(get_packet(), PACKET_EOT);
    EXPECT_EQ(last_packet_size, 7);
    EXPECT_EQ(get_packet(), PACKET_DATA);
    EXPECT_EQ(last_packet_size, 0);
    EXPECT_EQ(buffer[0], 0xEE);

    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].machine, MACHINE_ID_PC);
    EXPECT_EQ(seen[0].type, PACKET_ACK);
    EXPECT_EQ(seen[1].type, PACKET_CTS);
    EXPECT_EQ(seen[1].length, 5);
    EXPECT_EQ(seen[2].type, PACKET_VAR);
    EXPECT_EQ(seen[2].length, 0);
    // Nothing went back for the two header-only packets received.
    EXPECT_EQ(peer::from_pc().size(), 3u);
}

TEST(Packets, SkipCarriesItsReasonAndWaitsForTheAcknowledgement) {
    give_buffer();
    peer::reset();
    peer::Packet skip;
    peer::run([&] { skip = peer::receive(); });
    buffer[0] = REASON_SKIP;
    put_packet(PACKET_SKIP, 1);
    peer::finish();
    // 05 36 01 00, the reason 02, checksum 02 00
    EXPECT_EQ(skip.machine, 0x05);
    EXPECT_EQ(skip.type, 0x36);
    EXPECT_EQ(skip.length, 1);
    EXPECT_EQ(skip.data, peer::Bytes{0x02});
    EXPECT_TRUE(skip.intact);
    EXPECT_EQ(last_packet_size, 0); // the acknowledgement's length field
    EXPECT_EQ(buffer[0], REASON_SKIP);
}

TEST(Packets, ChecksumIsTheSixteenBitSumOfTheData) {
    give_buffer();
    peer::reset();
    peer::Packet data;
    peer::run([&] {
        data = peer::receive();
        // 300 x 0xFF sums to 76,500, which wraps to 0x2AD4: sent D4 2A.
        peer::Bytes bytes{0x85, PACKET_DATA, 0x2C, 0x01};
        bytes.insert(bytes.end(), 300, 0xFF);
        bytes.insert(bytes.end(), {0xD4, 0x2A});
        peer::send_raw(bytes);
        peer::receive();
    });
    std::memset(buffer, 0xFF, 300);
    put_packet(PACKET_DATA, 300);
    peer::finish();
    EXPECT_TRUE(data.intact);
    EXPECT_EQ(data.data.size(), 300u);

    std::memset(buffer, 0, 300);
    EXPECT_EQ(get_packet(), PACKET_DATA);
    EXPECT_EQ(last_packet_size, 300);
    EXPECT_EQ(buffer[299], 0xFF);
    const auto sent = peer::from_pc();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].type, PACKET_ACK);
}

std::vector<std::uint8_t> types_from_pc() {
    std::vector<std::uint8_t> types;
    for (const peer::Packet& packet : peer::from_pc())
        types.push_back(packet.type);
    return types;
}

TEST(Packets, BadChecksumsAreAskedForAgainAndEachCopyAcknowledged) {
    give_buffer();
    for (int failures : {1, 2, 5}) {
        peer::reset();
        const auto result = run_child([&] {
            peer::run([&] {
                // Spoiled copies carry other data than the good one, which must win.
                for (int i = 0; i < failures; ++i) {
                    peer::send_raw(peer::frame(PACKET_DATA, {9, 9, 9, 9}, true));
                    peer::receive(); // the request to send again
                }
                peer::send(PACKET_DATA, {1, 2, 3});
                for (int i = 0; i < failures; ++i)
                    peer::receive();
            });
            const std::uint8_t type = get_packet();
            std::printf("type %02X size %u data %u %u %u %u\n", type, last_packet_size, buffer[0],
                        buffer[1], buffer[2], buffer[3]);
            return 0;
        });
        std::string expected;
        for (int i = 0; i < failures; ++i)
            expected += "\nChecksum failure!\n";
        // Type, length and data are all the good copy's; nothing of the spoiled ones is left.
        expected += "type 15 size 3 data 1 2 3 0\n";
        EXPECT_EQ(result.output, expected);
        std::vector<std::uint8_t> expected_types(failures, PACKET_ERR);
        expected_types.insert(expected_types.end(), failures + 1, PACKET_ACK);
        EXPECT_EQ(types_from_pc(), expected_types);
    }
}

// Whatever comes in place of the copy asked for is what the caller sees; the failed data are
// gone from the buffer, and the cable carries one ERR, and one ACK per checksummed packet read.
TEST(Packets, WhatComesInsteadOfTheResendIsWhatIsReturned) {
    give_buffer();
    struct Case {
        const char* what;
        peer::Bytes instead;
        std::string returned;
        int acknowledgements;
    };
    const std::vector<Case> cases{
        {"end of transmission", peer::frame_header(PACKET_EOT), "type 92 size 0 data 0 0 0 0", 1},
        {"acknowledgement", peer::frame_header(PACKET_ACK), "type 56 size 0 data 0 0 0 0", 1},
        {"shorter data", peer::frame(PACKET_DATA, {7, 8}), "type 15 size 2 data 7 8 0 0", 2},
    };
    for (const Case& c : cases) {
        peer::reset();
        const auto result = run_child([&] {
            peer::run([&] {
                peer::send_raw(peer::frame(PACKET_DATA, {9, 9, 9, 9}, true));
                peer::receive();
                peer::send_raw(c.instead);
                for (int i = 0; i < c.acknowledgements; ++i)
                    peer::receive();
            });
            const std::uint8_t type = get_packet();
            std::printf("type %02X size %u data %u %u %u %u\n", type, last_packet_size, buffer[0],
                        buffer[1], buffer[2], buffer[3]);
            return 0;
        });
        EXPECT_EQ(result.output, "\nChecksum failure!\n" + c.returned + "\n") << c.what;
        std::vector<std::uint8_t> expected_types{PACKET_ERR};
        expected_types.insert(expected_types.end(), c.acknowledgements, PACKET_ACK);
        EXPECT_EQ(types_from_pc(), expected_types) << c.what;
    }
}

TEST(Packets, AnythingButAnAcknowledgementEndsTheRun) {
    give_buffer();
    for (std::uint8_t answer : {PACKET_ERR, PACKET_CTS}) {
        peer::reset();
        const auto result = run_child([&] {
            peer::run([&] { peer::receive(answer); });
            buffer[0] = 7;
            put_packet(PACKET_VAR, 1);
            return 0;
        });
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.output, "Packet not acknowledged, exiting...\n");
    }
}

TEST(Packets, OversizedPacketIsReadInFullButKeptWithinTheBuffer) {
    give_buffer();
    peer::reset();
    peer::Bytes big(40000);
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<std::uint8_t>(i * 7);
    peer::run([&] {
        peer::send(PACKET_DATA, big);
        peer::send(PACKET_VAR, {1, 2});
    });
    EXPECT_EQ(get_packet(), PACKET_DATA);
    EXPECT_EQ(last_packet_size, 40000);
    EXPECT_EQ(0, std::memcmp(buffer, big.data(), BUFFER_SIZE));
    // Still in step: the next packet is read as a packet.
    EXPECT_EQ(get_packet(), PACKET_VAR);
    EXPECT_EQ(types_from_pc(), (std::vector<std::uint8_t>{PACKET_ACK, PACKET_ACK}));

    peer::reset();
    const auto result = run_child([] {
        put_packet(PACKET_DATA, BUFFER_SIZE + 1);
        return 0;
    });
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, "Packet longer than the buffer, exiting...\n");
    EXPECT_TRUE(peer::writes().empty());
}

} // namespace
