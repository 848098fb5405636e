// The gray cable's byte layer through the kernel's terminal layer: a pseudo-terminal stands in
// for the serial device, with the virtual calculator's script on its far end.
#include "calc/calc.h"
#include "cli/cli.h"
#include "link/link.h"
#include "tests/support/child.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace fs = std::filesystem;
using testing_support::run_child;

namespace {

// The gray cable on the test's pseudo-terminal, linked where the build says.
const std::string device = GRAY_TEST_TTY;
const bool cable_chosen = (choose_cable("gray", GRAY_TEST_TTY), true);

struct Pty {
    Pty() {
        fs::remove(device);
        master = peer::open_tty(slave);
        if (master >= 0) fs::create_symlink(slave, device);
    }
    ~Pty() {
        fs::remove(device);
        if (master >= 0) close(master);
    }
    int master = -1;
    std::string slave;
};

TEST(Gray, PacketsCrossThePseudoTerminalBothWays) {
    Pty pty;
    ASSERT_GE(pty.master, 0);
    // Left over from before the run: discarded when the device is set up.
    ASSERT_EQ(write(pty.master, "\x05\x56\x00", 3), 3);
    peer::reset();
    const peer::Bytes header = peer::var_header(300, 0x12, "PROG");
    const auto result = run_child(
        [&] {
            init_link();
            // The device is the run's alone: another open is refused (EBUSY), except to root,
            // who is let in but sees the exclusive mode.
            int exclusive = 0;
            const int other = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            if (other < 0) exclusive = errno == EBUSY;
            if (other >= 0 && ioctl(other, TIOCGEXCL, &exclusive) != 0) exclusive = -1;
            if (other >= 0) close(other);
            std::printf("modem lines %d, exclusive %d\n", gray_has_modem_lines(), exclusive);
            const std::uint8_t type = get_packet();
            const bool intact = std::equal(header.begin(), header.end(), buffer);
            std::printf("got 0x%02X, %u bytes, %s\n", type, last_packet_size,
                        intact ? "intact" : "spoilt");
            for (int i = 0; i < 300; ++i)
                buffer[i] = static_cast<std::uint8_t>(i);
            put_packet(PACKET_DATA, 300);
            std::printf("end 0x%02X\n", get_packet());
            put_packet(PACKET_ACK, 0);
            return 0;
        },
        "", {}, 60,
        [&](int) {
            peer::run([&] {
                peer::send(PACKET_VAR, header);
                peer::receive();
                peer::send(PACKET_EOT);
                peer::receive();
            });
            EXPECT_EQ(peer::serve_tty(pty.master), peer::Served::finished);
        });
    EXPECT_EQ(result.status, 0);
    // A pseudo-terminal has no modem lines, which is no fault.
    EXPECT_EQ(result.output, "modem lines 0, exclusive 1\ngot 0x06, 8 bytes, intact\nend 0x92\n");
    // The pseudo-terminal outlives the run, and must not stay closed to the next one.
    int exclusive = -1;
    const int after = open(pty.slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    EXPECT_EQ(ioctl(after, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    close(after);
    const std::vector<peer::Packet> received = peer::from_pc();
    ASSERT_EQ(received.size(), 3U);
    EXPECT_EQ(received[0].type, PACKET_ACK);
    EXPECT_EQ(received[1].type, PACKET_DATA);
    EXPECT_TRUE(received[1].intact);
    EXPECT_EQ(received[1].data.size(), 300U);
    EXPECT_EQ(received[2].type, PACKET_ACK);
}

TEST(Gray, RefusalsNameTheDeviceAndWhatToDo) {
    struct Case {
        const char* target; // what the device path leads to; nullptr: nothing; "": a held pty
        std::string output;
    };
    const Case cases[] = {
        {nullptr, "Cannot open " + device +
                      ": No such file or directory: plug the cable in, or name its device with "
                      "--device, aborting!\n"},
        {"/dev/null", "Cannot use " + device +
                          ": Inappropriate ioctl for device: it is not a serial device; name "
                          "one with --device, aborting!\n"},
        {"", device + " is in use by another program (a second transfer?), aborting!\n"},
    };
    for (const Case& c : cases) {
        Pty pty;
        int holder = -1;
        if (c.target == nullptr) {
            fs::remove(device);
        } else if (*c.target != '\0') {
            fs::remove(device);
            fs::create_symlink(c.target, device);
        } else {
            holder = open(pty.slave.c_str(), O_RDWR | O_NOCTTY);
            ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
        }
        const auto result = run_child([] {
            init_link();
            return 0;
        });
        EXPECT_EQ(result.status, 1) << c.output;
        EXPECT_EQ(result.output, c.output);
        if (holder >= 0) close(holder);
    }
}

TEST(Gray, AWaitForTheCalculatorEndsOnAnInterrupt) {
    Pty pty;
    ASSERT_GE(pty.master, 0);
    const auto result = run_child(
        [] {
            init_link();
            std::printf("ready\n");
            std::fflush(stdout);
            get85();
            return 0;
        },
        "", {}, 60,
        [](int pid) {
            usleep(300 * 1000);
            kill(pid, SIGINT);
        });
    EXPECT_EQ(result.signal, SIGINT);
    EXPECT_EQ(result.output, "ready\n");
}

// A silent calculator earns the person at the terminal the armed hint, as on the two-wire cables.
TEST(Gray, AWaitForASilentCalculatorShowsTheHint) {
    Pty pty;
    ASSERT_GE(pty.master, 0);
    std::string errors;
    const auto result = testing_support::run_child_with_errors(
        true, errors,
        [] {
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
