// The USB cable's byte layer through a double of its libusb calls, with the virtual
// calculator's script behind the cable.
#include "calc/calc.h"
#include "cli/cli.h"
#include "link/link.h"
#include "tests/support/child.h"
#include "tests/support/fake_usb_calls.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>

using testing_support::run_child;

namespace {

const std::string opened = "usb_start() = 0\n"
                           "usb_open(1:5) = 0\n"
                           "usb_claim_interface(0) = 0\n"
                           "usb_clear_halt(0x81) = 0\n"
                           "usb_clear_halt(0x02) = 0\n";

peer::Bytes counting(int size, int step) {
    peer::Bytes bytes;
    for (int i = 0; i < size; ++i)
        bytes.push_back(static_cast<std::uint8_t>(i * step + 1));
    return bytes;
}

// The calculator sends a 40-byte variable header packet (more than one USB packet), takes a
// 70-byte data packet, then ends the transmission. The computer does its part, ending on the
// acknowledgement that pullvar sends last, which goes out only as the process ends.
int transfer_both_ways() {
    peer::run([] {
        peer::send(PACKET_VAR, counting(40, 3));
        peer::receive();
        peer::send(PACKET_EOT);
        peer::receive();
    });
    init_link();
    const std::uint8_t type = get_packet();
    const peer::Bytes expected = counting(40, 3);
    const bool intact = std::equal(expected.begin(), expected.end(), buffer);
    std::printf("got 0x%02X, %u bytes, %s\n", type, last_packet_size, intact ? "intact" : "spoilt");
    const peer::Bytes data = counting(70, 5);
    std::copy(data.begin(), data.end(), buffer);
    put_packet(PACKET_DATA, 70);
    std::printf("end 0x%02X\n", get_packet());
    put_packet(PACKET_ACK, 0);
    const fake_usb::Counts& counts = fake_usb::counts();
    std::printf("faults %d, dropped %d\n", counts.faults, counts.bytes_dropped);
    return 0;
}

TEST(Usb, PacketsCrossBothWaysWhateverTheCableDoes) {
    struct Case {
        const char* what;
        fake_usb::Setup setup;
        std::string extra_calls; // once the computer begins to send
    };
    const Case cases[] = {
        {"whole packets", {}, ""},
        {"short reads", {.read_cap = 5}, ""},
        {"a bigger packet size", {.packet_size = 64}, ""},
        {"empty reads", {.empty_every = 2}, ""},
        {"stale input", {.stale = {0x05, 0x56, 0x00, 0x00, 0x99}}, ""},
        {"a stalled IN pipe", {.halt_in_at = 4}, "usb_clear_halt(0x81) = 0\n"},
        {"a stalled OUT pipe", {.halt_out_at = 1}, "usb_clear_halt(0x02) = 0\n"},
    };
    for (const Case& c : cases) {
        peer::reset();
        const auto result = run_child([&] {
            fake_usb::set_up(c.setup);
            return transfer_both_ways();
        });
        EXPECT_EQ(result.status, 0) << c.what;
        EXPECT_EQ(result.output, opened + "got 0x06, 40 bytes, intact\n" + c.extra_calls +
                                     "end 0x92\n"
                                     "faults 0, dropped 0\n")
            << c.what;
        const std::vector<peer::Packet> received = peer::from_pc();
        ASSERT_EQ(received.size(), 3U) << c.what;
        EXPECT_EQ(received[0].type, PACKET_ACK) << c.what;
        EXPECT_EQ(received[1].type, PACKET_DATA) << c.what;
        EXPECT_TRUE(received[1].intact) << c.what;
        EXPECT_EQ(received[1].data, counting(70, 5)) << c.what;
        EXPECT_EQ(received[2].type, PACKET_ACK) << c.what; // sent as the process ended
    }
}

TEST(Usb, FailuresSayWhatFailedAndWhatToDo) {
    struct Case {
        fake_usb::Setup setup;
        std::string output;
    };
    const std::string start = "usb_start() = 0\n";
    const std::string none = start + "No TI-GRAPH LINK USB cable (0451:e001) found: plug it in, or "
                                     "choose another cable with --cable=gray, serial, parallel or "
                                     "virtual (or TI85_CABLE), aborting!\n";
    const Case cases[] = {
        {{.devices = {}}, none},
        {{.devices = {{1, 2, 0x1d6b, 0x0002}, {3, 4, 0x0451, 0x1234}}}, none},
        {{.open_error = USB_ERROR_ACCESS},
         start + "usb_open(1:5) = ACCESS\n"
                 "No permission to open the USB cable at bus 1 address 5: install the udev rule "
                 "(see the README), then plug the cable in again, aborting!\n"},
        {{.claim_error = USB_ERROR_BUSY},
         start + "usb_open(1:5) = 0\nusb_claim_interface(0) = BUSY\n"
                 "The USB cable at bus 1 address 5 is busy: another program holds it, "
                 "aborting!\n"},
        {{.start_error = USB_ERROR_IO}, "usb_start() = IO\nCannot use USB: IO, aborting!\n"},
        {{.unplug_at_read = 2}, opened + "The USB cable was unplugged, aborting!\n"},
        {{.halt_in_at = 2, .halts_for_good = true},
         opened +
             [] {
                 std::string clears;
                 for (int i = 0; i < 7; ++i)
                     clears += "usb_clear_halt(0x81) = 0\n";
                 return clears;
             }() +
             "The USB cable keeps stalling: plug it in again, aborting!\n"},
    };
    for (const Case& c : cases) {
        peer::reset();
        const auto result = run_child([&] {
            fake_usb::set_up(c.setup);
            peer::run([] { peer::send(PACKET_EOT); });
            init_link();
            get_packet();
            return 0;
        });
        EXPECT_EQ(result.status, 1) << c.output;
        EXPECT_EQ(result.output, c.output);
    }
}

// A cable that answers every read at once with nothing is waited on with growing sleeps, not
// asked again and again: once the wait has lasted, about 125 reads a second, where a spinning
// loop makes millions. One whose writes succeed without moving a byte ends the run.
TEST(Usb, EmptyAnswersNeitherSpinNorLoopForEver) {
    peer::reset({.stall_check = false});
    auto result = run_child([] {
        fake_usb::set_up({.empty_every = 1});
        init_link();
        std::thread([] {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            const int before = fake_usb::counts().reads;
            std::this_thread::sleep_for(std::chrono::seconds(1));
            const int reads = fake_usb::counts().reads - before;
            std::printf("reads in a second: %s\n", reads < 1000 ? "few" : "many");
            std::fflush(stdout);
            std::_Exit(0);
        }).detach();
        get85();
        return 1;
    });
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, opened + "reads in a second: few\n");

    peer::reset();
    result = run_child([] {
        fake_usb::set_up({.writes_take_nothing = true});
        peer::run([] { peer::receive(); });
        init_link();
        put_packet(PACKET_ACK, 0);
        get85();
        return 0;
    });
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, opened + "The USB cable takes no data: plug it in again, aborting!\n");
}

// A silent calculator earns the person at the terminal the armed hint, as on the two-wire cables.
TEST(Usb, AWaitForASilentCalculatorShowsTheHint) {
    peer::reset({.stall_check = false});
    std::string errors;
    const auto result = testing_support::run_child_with_errors(
        true, errors,
        [] {
            fake_usb::set_up({});
            peer::run(peer::hang);
            init_link();
            hint_after_wait("waiting for the calculator");
            get85();
            return 0;
        },
        "", {}, 3600);
    EXPECT_EQ(result.signal, SIGTERM);
    EXPECT_EQ(errors, "waiting for the calculator\n");
}

} // namespace
