// linkcheck: its report of the build, the causes it gives for a refusal, and the live view of the
// lines against the virtual calculator.
#include "linkcheck/linkcheck.h"

#include "calc/calc.h"
#include "link/cable.h"
#include "link/link.h"
#include "link/wire.h"
#include "tests/support/child.h"

#include <gtest/gtest.h>

#include <csignal>
#include <unistd.h>

using testing_support::run_child;

namespace {

// The cable of this run of the tests: TI85_CABLE, as the build registers each test.
const bool cable_chosen = (choose_cable(nullptr, nullptr), true);

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(Report, NamesTheCableItsPinsAndThePortsOrDevice) {
    const std::string parallel = describe({LINK_PARALLEL, "real", "", 0x278, 0x279});
    EXPECT_TRUE(has(parallel, "linkcheck: cable: two-wire cable on the parallel port\n"));
    EXPECT_TRUE(has(parallel, "line A: pulled by data bit 1 (pin 3), read on Select (pin 13)\n"));
    EXPECT_TRUE(has(parallel, "linkcheck: access: direct I/O ports, data register 0x278 out, "
                              "status register 0x279 in\n"));

    const std::string serial = describe({LINK_SERIAL, "real", "", 0x2FC, 0x2FE});
    EXPECT_TRUE(has(serial, "line B: pulled by DTR (DB9 pin 4), read on DSR (DB9 pin 6)\n"));
    EXPECT_TRUE(has(serial, "modem control register 0x2FC out, modem status register 0x2FE in\n"));

    EXPECT_TRUE(has(describe({LINK_PARALLEL, "ppdev", "/dev/parport1", 0, 0}),
                    "access: parallel-port device /dev/parport1, data register out"));
    EXPECT_TRUE(has(describe({LINK_SERIAL, "tty", "/dev/ttyUSB0", 0, 0}),
                    "access: serial device /dev/ttyUSB0, DTR and RTS out, CTS and DSR in\n"));
    EXPECT_TRUE(has(describe({LINK_GRAY, "none", "/dev/ttyUSB1", 0, 0}),
                    "cable: TI's gray serial cable (TI-GRAPH LINK), bytes at 9600 baud, 8N1, no "
                    "flow control\nlinkcheck: access: serial device /dev/ttyUSB1, its DTR"));
    EXPECT_TRUE(has(describe({LINK_USB, "none", "", 0, 0}), "(TI-GRAPH LINK USB, 0451:e001), "
                                                            "through libusb\nlinkcheck: access: "
                                                            "the first such cable found\n"));
    EXPECT_TRUE(
        has(describe({LINK_USB, "none", "3:7", 0, 0}), "the USB device at bus:address 3:7"));
    EXPECT_EQ(describe({-1, "real", "", 0, 0}), "linkcheck: cable: none\n");
}

TEST(Report, ReadsLockdownAndTheDriverHoldingThePorts) {
    EXPECT_EQ(lockdown_mode("none [integrity] confidentiality\n"), "integrity");
    EXPECT_EQ(lockdown_mode("none integrity [confidentiality]\n"), "confidentiality");
    EXPECT_EQ(lockdown_mode("[none] integrity confidentiality\n"), "");
    EXPECT_EQ(lockdown_mode(""), "");

    const std::string ioports = "0000-0cf7 : PCI Bus 0000:00\n"
                                "  0378-037a : parport0\n"
                                "  03f8-03ff : serial\n"
                                "0d00-ffff : PCI Bus 0000:00\n"
                                "  d000-dfff : PCI Bus 0000:02\n"
                                "    d010-d012 : parport1\n";
    EXPECT_EQ(port_holder(ioports, 0x378), "parport0");
    EXPECT_EQ(port_holder(ioports, 0x3FC), "serial");
    EXPECT_EQ(port_holder(ioports, 0xD010), "parport1");
    EXPECT_EQ(port_holder(ioports, 0x278), ""); // only a bus's window
    // As an unprivileged reader sees it.
    EXPECT_EQ(port_holder("0000-0000 : PCI Bus 0000:00\n  0000-0000 : parport0\n", 0x378), "");
    // Numbers that do not fit and garbled lines name nothing, and later lines still count.
    EXPECT_EQ(port_holder("0000-1000000000000 : huge\n", 0x378), "");
    EXPECT_EQ(port_holder("0000-ffffffffffffffff0378 : wrapped\n", 0x378), "");
    EXPECT_EQ(port_holder("0378-037a\n0378 : x\n-037a : y\n0378-037a :\n  \n"
                          "0378-037a : \n0378-037a : parport0",
                          0x378),
              "parport0");
}

TEST(Causes, DirectPortsBlamePrivilegeOrLockdown) {
    const CableInUse in_use{LINK_PARALLEL, "real", "", PARALLEL_OUT, PARALLEL_IN};
    auto causes = likely_causes(in_use, {});
    ASSERT_EQ(causes.size(), 1u);
    EXPECT_TRUE(has(causes[0], "not root, and without the CAP_SYS_RAWIO capability"));

    causes = likely_causes(in_use, {.root = true, .raw_io = false});
    ASSERT_EQ(causes.size(), 1u);
    EXPECT_TRUE(has(causes[0], "container"));

    // Secure Boot's lockdown stops even root, and a user without privilege has both problems.
    causes = likely_causes(in_use, {.root = true, .raw_io = true, .lockdown = "integrity"});
    ASSERT_EQ(causes.size(), 1u);
    EXPECT_TRUE(has(causes[0], "locked down (integrity)"));
    EXPECT_EQ(likely_causes(in_use, {.lockdown = "confidentiality"}).size(), 2u);

    // Privileged and not locked down: the kernel has no direct port access to give.
    causes = likely_causes(in_use, {.root = true, .raw_io = true});
    ASSERT_EQ(causes.size(), 1u);
    EXPECT_TRUE(has(causes[0], "this system offers no direct port access"));
    // A kernel without it, for an ordinary user: that one cause, and no advice to use sudo.
    causes = likely_causes(in_use, {.direct_ports = false});
    ASSERT_EQ(causes.size(), 1u);
    EXPECT_TRUE(has(causes[0], "this system offers no direct port access"));

    EXPECT_TRUE(likely_causes({LINK_PARALLEL, "virtual", "", 0, 0}, {})[0].starts_with(
        "no likely cause found"));
}

TEST(Causes, DevicesBlameTheMissingDeviceItsGroupOrAnotherHolder) {
    const CableInUse ppdev{LINK_PARALLEL, "ppdev", "/dev/parport0", 0, 0};
    const CableInUse tty{LINK_SERIAL, "tty", "/dev/ttyUSB0", 0, 0};
    EXPECT_TRUE(has(likely_causes(ppdev, {})[0], "/dev/parport0 does not exist: load the "
                                                 "parallel-port device driver (sudo modprobe "
                                                 "ppdev)"));
    EXPECT_TRUE(has(likely_causes(tty, {})[0], "/dev/ttyUSB0 does not exist: plug the adapter in"));

    const AccessFacts closed{
        .device_exists = true, .device_is_char = true, .device_group = "dialout"};
    EXPECT_EQ(likely_causes(tty, closed)[0],
              "/dev/ttyUSB0 belongs to group dialout, and you are not a member: sudo usermod "
              "-aG dialout $USER, then log in again");
    AccessFacts member = closed;
    member.in_device_group = true;
    EXPECT_EQ(likely_causes(tty, member)[0], "/dev/ttyUSB0 gives its group dialout no read and "
                                             "write access");

    AccessFacts open = closed;
    open.device_readable_writable = true;
    EXPECT_TRUE(has(likely_causes(ppdev, open)[0], "another program has claimed /dev/parport0"));
    EXPECT_TRUE(has(likely_causes(tty, open)[0], "no modem lines"));
    // The gray cable needs no modem lines: only another program can be in the way.
    const CableInUse gray{LINK_GRAY, "none", "/dev/ttyUSB0", 0, 0};
    EXPECT_EQ(likely_causes(gray, open),
              std::vector<std::string>{"another program holds /dev/ttyUSB0 (a getty, "
                                       "ModemManager or a second transfer)"});
    EXPECT_EQ(likely_causes(gray, closed), likely_causes(tty, closed));

    AccessFacts file = closed;
    file.device_is_char = false;
    EXPECT_TRUE(has(likely_causes(tty, file)[0], "/dev/ttyUSB0 is not a device"));
    // Root-only facts do not matter to a device.
    EXPECT_EQ(likely_causes(tty, closed), likely_causes(tty, {.root = true,
                                                              .device_exists = true,
                                                              .device_is_char = true,
                                                              .device_group = "dialout"}));
}

std::string live_part(const std::string& output) {
    const auto start = output.find("linkcheck: Both lines read high");
    return start == std::string::npos ? output : output.substr(start);
}

const std::string intro =
    "linkcheck: Both lines read high while nothing pulls them. Type a, b or r and Enter to\n"
    "linkcheck: pull line A or line B low from this end or release both; q or Ctrl-C ends.\n";

TEST(Live, ReportsTheBuildThenShowsEachPullFromThisEnd) {
    peer::reset({.stall_check = false});
    const auto result = run_child([] { return linkcheck_main(0, nullptr); }, "a\nb\nr\nx\nQ\n");
    EXPECT_EQ(result.status, 0);
    const std::string head = "linkcheck: TI-85 link cable check\n" + describe(cable_in_use()) +
                             "linkcheck: access granted\n";
    EXPECT_TRUE(result.output.starts_with(head)) << result.output;
    EXPECT_EQ(live_part(result.output), intro + "linkcheck: line A high, line B high\n"
                                                "linkcheck: this end pulls line A low\n"
                                                "linkcheck: line A low, line B high\n"
                                                "linkcheck: this end pulls line B low\n"
                                                "linkcheck: line A high, line B low\n"
                                                "linkcheck: this end releases both lines\n"
                                                "linkcheck: line A high, line B high\n"
                                                "linkcheck: type a, b, r or q, then Enter\n"
                                                "linkcheck: both lines released, done\n");
    std::vector<std::uint8_t> written;
    for (const peer::Write& write : peer::writes())
        written.push_back(write.value);
    EXPECT_EQ(written, (std::vector<std::uint8_t>{0x03, PULL_A, PULL_B, 0x03, 0x03}));
}

// The end of the input ends the run as q does.
TEST(Live, ShowsTheCalculatorsPullAndItsAnswerToOurs) {
    peer::reset({.stall_check = false});
    const auto result = run_child(
        [] {
            // A 0 bit first: the calculator pulls line A and waits for this end to answer on B.
            peer::run([] { peer::send_byte(0xFE); });
            return linkcheck_main(0, nullptr);
        },
        "b\nr\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(live_part(result.output), intro + "linkcheck: line A low, line B high\n"
                                                "linkcheck: this end pulls line B low\n"
                                                "linkcheck: line A high, line B low\n"
                                                "linkcheck: this end releases both lines\n"
                                                "linkcheck: both lines released, done\n");
    EXPECT_TRUE(peer::violations().empty());
    EXPECT_EQ(peer::last_output(), LINES_RELEASED);
}

TEST(Live, CtrlCEndsTheViewWithBothLinesReleased) {
    peer::reset({.stall_check = false});
    const auto result = run_child(
        [] {
            // Input that never ends, as at a terminal.
            int input[2];
            if (pipe(input) != 0 || write(input[1], "b\n", 2) != 2) return 2;
            dup2(input[0], STDIN_FILENO);
            return linkcheck_main(0, nullptr);
        },
        "", {}, 60,
        [](int pid) {
            EXPECT_TRUE(peer::wait_for_held_line());
            kill(pid, SIGINT);
        });
    EXPECT_EQ(result.signal, SIGINT);
    EXPECT_EQ(peer::last_output(), LINES_RELEASED);
    EXPECT_TRUE(result.output.ends_with("\nlinkcheck: interrupted, both lines released\n"))
        << result.output;
}

TEST(Live, RefusedAccessEndsWithTheLinkMessageAndTheLikelyCauses) {
    peer::reset({.refuse = {cable_in_use().output_register}});
    const auto result = run_child([] { return linkcheck_main(0, nullptr); });
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(has(result.output, "Cannot access /dev/port, aborting!\n"
                                   "linkcheck: The link could not be set up. Likely cause"))
        << result.output;
    EXPECT_FALSE(has(result.output, "access granted"));
}

} // namespace
