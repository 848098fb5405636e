// pullscreen against the calculator model: on the two-wire cables, and (built with USB_DOUBLE)
// on the USB cable through its double, a byte cable whose waits sleep in the library.
#include "calc/calc.h"
#include "png/mono_png.h"
#include "pullscreen/pullscreen.h"
#include "tests/support/programs.h"
#ifdef USB_DOUBLE
#include "tests/support/fake_usb_calls.h"
#endif

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

using testing_support::ProgramRun;
using testing_support::ScratchDir;

#ifdef USB_DOUBLE
constexpr bool two_wire = false;
// A cable that hands over each byte as it comes, as a real one does.
void set_up_cable() {
    fake_usb::set_up({});
}
void set_up_trickle() {
    fake_usb::set_up({.read_cap = 1});
}
#else
constexpr bool two_wire = true;
void set_up_cable() {}
void set_up_trickle() {}
#endif

const std::string no_answer =
    "No answer from the calculator: turn it on and leave it at a screen that waits for a key.\n";

peer::Bytes known_screen() {
    peer::Bytes bytes(SCREEN_DATA_BYTES);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 37 + i / 16);
    return bytes;
}

struct Seen {
    bool from_pc;
    std::uint8_t machine, type;
    std::uint16_t length;
};

void expect_packets(const std::vector<Seen>& expected, const char* what) {
    const std::vector<peer::Packet> packets = peer::transcript();
    ASSERT_EQ(packets.size(), expected.size()) << what;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const Seen& e = expected[i];
        EXPECT_TRUE(packets[i].from_pc == e.from_pc && packets[i].machine == e.machine &&
                    packets[i].type == e.type && packets[i].length == e.length)
            << what << ", packet " << i << ": type 0x" << std::hex << int{packets[i].type};
    }
}

// The exchange exactly as on the cable, a bad sum asked again, and the pixels through the PNG.
TEST(Pullscreen, ScreenArrivesBitForBit) {
    struct Case {
        const char* what;
        int corrupt;
        std::vector<Seen> packets;
        std::string said;
    };
    const Seen request{true, 0x05, 0x6D, 0}, acknowledged{false, 0x85, 0x56, 0},
        data{false, 0x85, 0x15, 1024}, ack{true, 0x05, 0x56, 0}, again{true, 0x05, 0x5A, 0};
    const Case cases[] = {
        {"intact", 0, {request, acknowledged, data, ack}, "shot.png\n"},
        {"a bad sum",
         1,
         {request, acknowledged, data, again, data, ack, ack},
         "\nChecksum failure!\nshot.png\n"},
    };
    for (const Case& c : cases) {
        ScratchDir dir;
        const auto result = testing_support::run_program(
            pullscreen_main, "pullscreen",
            [&] {
                peer::receive();
                peer::send(PACKET_ACK);
                peer::send(PACKET_DATA, known_screen(), {.corrupt = c.corrupt});
            },
            ProgramRun{.args = {"-s", "1", "shot.png"}, .dir = dir.path, .setup = set_up_cable});
        EXPECT_EQ(result.status, 0) << c.what;
        // After what the USB double says as the cable is set up.
        EXPECT_TRUE(result.output.ends_with(c.said)) << c.what << ": " << result.output;
        expect_packets(c.packets, c.what);

        const std::string file = testing_support::read_file(dir.path / "shot.png");
        png_facts facts;
        mono_image image;
        std::string reason;
        ASSERT_EQ(read_png({reinterpret_cast<const std::uint8_t*>(file.data()), file.size()}, 128,
                           64, facts, image, reason),
                  png_read::ok)
            << c.what << ": " << reason;
        EXPECT_EQ(image.bits, known_screen()) << c.what;
    }
}

// A calculator that never answers, stops after its acknowledgement, or keeps sending without
// ever delivering a screen: the run ends on time with both lines released and no file. The
// program as shipped waits 5 s; the other cases pass request_screen a shorter limit (1 s for the
// acknowledgement, twice that for the data).
TEST(Pullscreen, SilentOrEndlessCalculatorEndsTheRunOnTime) {
    struct Case {
        const char* what;
        void (*after_request)();
        double seconds;
    };
    const Case cases[] = {
        {"silent", [] { peer::hang(); }, 5},
        {"acknowledges only",
         [] {
             peer::send(PACKET_ACK);
             peer::hang();
         },
         2},
        {"bad sums without end",
         [] {
             peer::send(PACKET_ACK);
             peer::send(PACKET_DATA, known_screen(), {.corrupt = 1 << 30});
         },
         2},
        {"a byte every 200 ms",
         [] {
             peer::send(PACKET_ACK);
             for (const std::uint8_t byte : peer::frame(PACKET_DATA, known_screen())) {
                 std::this_thread::sleep_for(std::chrono::milliseconds(200));
                 peer::send_byte(byte);
             }
         },
         2},
    };
    for (const Case& c : cases) {
        ScratchDir dir;
        const bool shipped = c.seconds == 5;
        const auto start = std::chrono::steady_clock::now();
        const auto result = testing_support::run_program(
            [](int argc, char** argv) {
                if (argc > 1) return pullscreen_main(argc, argv);
                init_link();
                request_screen(1);
                return 0;
            },
            "pullscreen",
            [&] {
                peer::receive();
                c.after_request();
            },
            ProgramRun{.args = shipped ? std::vector<std::string>{"shot.png"}
                                       : std::vector<std::string>{},
                       .dir = dir.path,
                       .setup = set_up_trickle});
        const double took =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(result.status, 1) << c.what;
        EXPECT_TRUE(result.output.ends_with(no_answer)) << c.what << ": " << result.output;
        EXPECT_GE(took, c.seconds) << c.what;
        EXPECT_LT(took, c.seconds + 1.5) << c.what;
        EXPECT_TRUE(testing_support::listing(dir.path).empty()) << c.what;
        if (two_wire) {
            EXPECT_EQ(peer::last_output(), 0x03) << c.what;
        }
    }
}

} // namespace
