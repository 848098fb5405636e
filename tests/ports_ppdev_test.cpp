// The ppdev port layer, driven through a recording double of its system calls.
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

using testing_support::run_child;

namespace {

const std::string device = "/dev/parport0";

// The cable as a user names it, for the runs through init_link.
const bool cable_chosen = (choose_cable("parallel", "/dev/parport0"), true);

// The layer as init_link sets it up: its device first, then the grants.
bool port_grant(std::uint16_t port) {
    port_device = device.c_str();
    return ppdev_ports.grant(port);
}
void port_write(std::uint16_t port, std::uint8_t value) {
    ppdev_ports.write(port, value);
}
std::uint8_t port_read(std::uint16_t port) {
    return ppdev_ports.read(port);
}

std::string opened() {
    return "open(" + device + ", O_RDWR|O_CLOEXEC) = 3\nioctl(3, PPCLAIM) = 0\n";
}

TEST(Ppdev, ClaimsTheDeviceOnceAndWritesEachValueAsItIs) {
    const auto result = run_child([] {
        fake_device::set_up({});
        const bool granted = port_grant(PARALLEL_OUT) && port_grant(PARALLEL_IN);
        std::printf("granted %d\n", granted);
        for (std::uint8_t value : {LINES_RELEASED, PULL_A, PULL_B})
            port_write(PARALLEL_OUT, value);
        return 0;
    });
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, opened() + "granted 1\n"
                                        "ioctl(3, PPWDATA, 0x03) = 0\n"
                                        "ioctl(3, PPWDATA, 0x01) = 0\n"
                                        "ioctl(3, PPWDATA, 0x02) = 0\n");
}

TEST(Ppdev, StatusRegisterReadsAsThePortShowsIt) {
    const auto result = run_child([] {
        fake_device::set_up({});
        port_grant(PARALLEL_OUT);
        // Both lines high, A low, B low, both low; then with Busy (inverted) and the other bits.
        for (unsigned char status : {0x30, 0x20, 0x10, 0x00, 0xB8, 0x47}) {
            fake_device::set_up({.status = status});
            std::printf("read 0x%02X\n", port_read(PARALLEL_IN));
        }
        return 0;
    });
    EXPECT_EQ(result.output, opened() + "ioctl(3, PPRSTATUS, 0x30) = 0\nread 0x30\n"
                                        "ioctl(3, PPRSTATUS, 0x20) = 0\nread 0x20\n"
                                        "ioctl(3, PPRSTATUS, 0x10) = 0\nread 0x10\n"
                                        "ioctl(3, PPRSTATUS, 0x00) = 0\nread 0x00\n"
                                        "ioctl(3, PPRSTATUS, 0xB8) = 0\nread 0xB8\n"
                                        "ioctl(3, PPRSTATUS, 0x47) = 0\nread 0x47\n");
}

TEST(Ppdev, RefusedDeviceIsNamedWithTheReasonAndEndsTheSetUp) {
    auto result = run_child([] {
        fake_device::set_up({.open_error = EACCES});
        init_link();
        return 0;
    });
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, "open(" + device +
                                 ", O_RDWR|O_CLOEXEC) = -1 EACCES\n"
                                 "Cannot open " +
                                 device +
                                 " (open): Permission denied\n"
                                 "Cannot use the cable on " +
                                 device + ", aborting!\n");

    // A port held by another driver: the device is let go again.
    result = run_child([] {
        fake_device::set_up({.failing_ioctl = "PPCLAIM", .ioctl_error = EBUSY});
        init_link();
        return 0;
    });
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, "open(" + device +
                                 ", O_RDWR|O_CLOEXEC) = 3\n"
                                 "ioctl(3, PPCLAIM) = -1 EBUSY\n"
                                 "close(3) = 0\n"
                                 "Cannot claim " +
                                 device +
                                 " (ioctl PPCLAIM): Device or resource busy\n"
                                 "Cannot use the cable on " +
                                 device + ", aborting!\n");
}

TEST(Ppdev, InitLinkReleasesTheLinesAndSoDoesAnInterrupt) {
    const auto result = run_child([] {
        fake_device::set_up({});
        init_link();
        std::printf("ready\n");
        std::fflush(stdout);
        std::raise(SIGINT);
        return 0;
    });
    EXPECT_EQ(result.signal, SIGINT);
    EXPECT_EQ(result.output, opened() + "ioctl(3, PPWDATA, 0x03) = 0\n"
                                        "ready\n"
                                        "ioctl(3, PPWDATA, 0x03) = 0\n");
}

TEST(Ppdev, LostDeviceEndsTheRunInsteadOfWaitingForever) {
    const auto result = run_child([] {
        fake_device::set_up({});
        init_link();
        fake_device::set_up({.failing_ioctl = "PPRSTATUS", .ioctl_error = ENODEV});
        get85();
        return 0;
    });
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.output.find("ioctl(3, PPRSTATUS, 0x00) = -1 ENODEV\n"
                                 "Cannot read the lines on " +
                                 device + ": No such device, aborting!\n"),
              std::string::npos)
        << result.output;
}

} // namespace
