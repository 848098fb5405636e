// The tty port layer, driven through a recording double of its system calls.
#include "link/cable.h"
#include "link/link.h"
#include "link/ports/ports.h"
#include "link/wire.h"
#include "tests/support/child.h"
#include "tests/support/fake_device_calls.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>
#include <sys/ioctl.h>

using testing_support::run_child;

namespace {

const std::string device = "/dev/ttyS0";

// The cable as a user names it, for the runs through init_link.
const bool cable_chosen = (choose_cable("serial", "/dev/ttyS0"), true);

// The layer as init_link sets it up: its device first, then the grants.
bool port_grant(std::uint16_t port) {
    port_device = device.c_str();
    return tty_ports.grant(port);
}
void port_write(std::uint16_t port, std::uint8_t value) {
    tty_ports.write(port, value);
}
std::uint8_t port_read(std::uint16_t port) {
    return tty_ports.read(port);
}
const std::string open_call = "open(" + device + ", O_RDWR|O_NOCTTY|O_NONBLOCK|O_CLOEXEC)";

std::string opened() {
    return open_call + " = 3\n"
                       "tcgetattr(3) = 0\n"
                       "tcsetattr(3, +CLOCAL -HUPCL) = 0\n"
                       "ioctl(3, TIOCMGET, 0) = 0\n";
}

TEST(Tty, OpensTheDeviceOnceKeepingTheLinesUpWhenItCloses) {
    const auto result = run_child([] {
        fake_device::set_up({});
        const bool granted = port_grant(SERIAL_OUT) && port_grant(SERIAL_IN);
        std::printf("granted %d\n", granted);
        return 0;
    });
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, opened() + "granted 1\n");
}

TEST(Tty, EachOutputValueMovesOnlyDtrAndRtsReleasingFirst) {
    const auto result = run_child([] {
        fake_device::set_up({});
        port_grant(SERIAL_OUT);
        for (std::uint8_t value : {LINES_RELEASED, PULL_A, LINES_RELEASED, PULL_B, PULL_A}) {
            port_write(SERIAL_OUT, value);
            std::printf("-> %d\n", fake_device::modem_outputs());
        }
        return 0;
    });
    const int dtr = TIOCM_DTR;
    const int rts = TIOCM_RTS;
    // Bit 0 is DTR and bit 1 RTS: pulling line A (0x01) lowers RTS, pulling line B (0x02) DTR.
    EXPECT_EQ(result.output, opened() + "ioctl(3, TIOCMBIS, DTR|RTS) = 0\n" + "-> " +
                                 std::to_string(dtr | rts) + "\n" +
                                 "ioctl(3, TIOCMBIS, DTR) = 0\n"
                                 "ioctl(3, TIOCMBIC, RTS) = 0\n" +
                                 "-> " + std::to_string(dtr) + "\n" +
                                 "ioctl(3, TIOCMBIS, DTR|RTS) = 0\n" + "-> " +
                                 std::to_string(dtr | rts) + "\n" +
                                 "ioctl(3, TIOCMBIS, RTS) = 0\n"
                                 "ioctl(3, TIOCMBIC, DTR) = 0\n" +
                                 "-> " + std::to_string(rts) + "\n" +
                                 "ioctl(3, TIOCMBIS, DTR) = 0\n"
                                 "ioctl(3, TIOCMBIC, RTS) = 0\n" +
                                 "-> " + std::to_string(dtr) + "\n");
}

TEST(Tty, ModemStatusLinesLandWhereTheUartHasThem) {
    const auto result = run_child([] {
        fake_device::set_up({});
        port_grant(SERIAL_OUT);
        const int states[] = {TIOCM_CTS | TIOCM_DSR, TIOCM_DSR, TIOCM_CTS, 0,
                              TIOCM_CTS | TIOCM_RI | TIOCM_CD};
        for (int lines : states) {
            fake_device::set_up({.modem_inputs = lines});
            const std::uint8_t value = port_read(SERIAL_IN);
            // As the serial cable reads them: bit 0 line A (CTS), bit 1 line B (DSR).
            std::printf("0x%02X %d\n", value, (port_read(SERIAL_IN) >> 4) & 0x03);
        }
        return 0;
    });
    // Each state is read twice: once directly, once as the serial cable does.
    std::string expected = opened();
    const std::pair<const char*, const char*> reads[] = {{"CTS|DSR", "0x30 3"},
                                                         {"DSR", "0x20 2"},
                                                         {"CTS", "0x10 1"},
                                                         {"0", "0x00 0"},
                                                         {"CTS|RI|CD", "0xD0 1"}};
    for (const auto& [lines, shown] : reads) {
        const std::string call = std::string("ioctl(3, TIOCMGET, ") + lines + ") = 0\n";
        expected += call + call + shown + "\n";
    }
    EXPECT_EQ(result.output, expected);
}

TEST(Tty, RefusalsNameTheDeviceAndTheReasonAndLetItGo) {
    struct Case {
        fake_device::Setup setup;
        std::string calls;
    };
    const std::string failed_open =
        open_call + " = -1 ENOENT\nCannot open " + device + " (open): No such file or directory\n";
    const Case cases[] = {
        {{.open_error = ENOENT}, failed_open},
        {{.open_error = EACCES},
         open_call + " = -1 EACCES\nCannot open " + device +
             " (open): Permission denied: join the device's group (sudo usermod -aG dialout "
             "$USER, then log in again)\n"},
        {{.tcgetattr_error = ENOTTY},
         open_call + " = 3\ntcgetattr(3) = -1 ENOTTY\nclose(3) = 0\nCannot use " + device +
             " as a serial port (tcgetattr): Inappropriate ioctl for device\n"},
        {{.failing_ioctl = "TIOCMGET", .ioctl_error = EINVAL},
         open_call +
             " = 3\ntcgetattr(3) = 0\ntcsetattr(3, +CLOCAL -HUPCL) = 0\n"
             "ioctl(3, TIOCMGET, 0) = -1 EINVAL\nclose(3) = 0\n"
             "Cannot read the modem lines of " +
             device + " (ioctl TIOCMGET): Invalid argument\n"},
    };
    for (const Case& c : cases) {
        const auto result = run_child([&] {
            fake_device::set_up(c.setup);
            init_link();
            return 0;
        });
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.output, c.calls + "Cannot use the cable on " + device + ", aborting!\n");
    }
}

TEST(Tty, InterruptReleasesBothLinesAndALostDeviceEndsTheRun) {
    auto result = run_child([] {
        fake_device::set_up({});
        init_link();
        port_write(SERIAL_OUT, PULL_B);
        std::raise(SIGINT);
        return 0;
    });
    EXPECT_EQ(result.signal, SIGINT);
    EXPECT_TRUE(result.output.ends_with("ioctl(3, TIOCMBIC, DTR) = 0\n"
                                        "ioctl(3, TIOCMBIS, DTR|RTS) = 0\n"))
        << result.output;

    result = run_child([] {
        fake_device::set_up({});
        init_link();
        fake_device::set_up({.failing_ioctl = "TIOCMGET", .ioctl_error = EIO});
        get85();
        return 0;
    });
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(result.output.ends_with("Cannot read the lines on " + device +
                                        ": Input/output error, aborting!\n"))
        << result.output;
}

} // namespace
