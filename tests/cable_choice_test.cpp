// The cable a run uses: chosen by option, variable or the build's default, refused before
// anything is touched, and nothing but the build's own default opened with an install's privilege.
#include "calc/calc.h"
#include "link/link.h"
#include "link/ports/usb_calls.h"
#include "link/wire.h"
#include "tests/support/child.h"
#include "tests/support/fake_identity_calls.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

using testing_support::Kernel;
using testing_support::kernel;
using testing_support::run_child;

namespace {

struct Environment {
    const char* cable;
    const char* device;
};

// Runs choose_cable in a child with the variables set as given (nullptr: unset); prints the
// cable and device chosen.
testing_support::ChildResult choose(const char* name, const char* device, Environment env) {
    peer::reset();
    return run_child([&] {
        for (const auto& [variable, value] :
             {std::pair{"TI85_CABLE", env.cable}, std::pair{"TI85_DEVICE", env.device}}) {
            if (value == nullptr) {
                unsetenv(variable);
            } else {
                setenv(variable, value, 1);
            }
        }
        choose_cable(name, device);
        std::printf("%s %s\n", cable_name(link_type), link_device);
        return 0;
    });
}

TEST(CableChoice, OptionBeatsVariableBeatsDefault) {
    struct Case {
        const char* name;
        const char* device;
        Environment env;
        std::string chosen;
    };
    const std::string wire = virtual_place(VIRTUAL_WIRE_NAME);
    for (const Case& c : std::vector<Case>{
             // Each cable by option and by variable, with its own default device.
             {"parallel", nullptr, {}, "parallel "},
             {nullptr, nullptr, {"serial", nullptr}, "serial "},
             {"gray", nullptr, {}, "gray /dev/ttyUSB0"},
             {nullptr, nullptr, {"usb", nullptr}, "usb "},
             {"virtual", nullptr, {}, "virtual " + wire},
             // A device goes with its cable; the option beats the variable.
             {"parallel", "/dev/parport1", {"gray", "/dev/ttyUSB3"}, "parallel /dev/parport1"},
             {"serial", nullptr, {"gray", "/dev/ttyUSB3"}, "serial "},
             {nullptr, "/dev/ttyUSB2", {"gray", "/dev/ttyUSB3"}, "gray /dev/ttyUSB2"},
             {nullptr, nullptr, {"usb", "3:7"}, "usb 3:7"},
             // Nothing named: the build's default (these tests are built with the parallel one).
             {nullptr, nullptr, {"", nullptr}, "parallel "},
         }) {
        if (std::string(c.chosen).starts_with("usb") && !usb_available()) continue;
        const auto result = choose(c.name, c.device, c.env);
        EXPECT_EQ(result.status, 0) << c.chosen;
        EXPECT_EQ(result.output, c.chosen + "\n");
    }
}

TEST(CableChoice, RefusalsNameTheChoicesAndTouchNothing) {
    struct Case {
        const char* name;
        const char* device;
        Environment env;
        std::string said;
    };
    for (const Case& c : std::vector<Case>{
             {"ser1al",
              nullptr,
              {},
              "Unknown cable 'ser1al' (--cable): choose parallel, serial, "
              "gray, usb or virtual."},
             {nullptr,
              nullptr,
              {"lpt", nullptr},
              "Unknown cable 'lpt' (TI85_CABLE): choose "
              "parallel, serial, gray, usb or virtual."},
             {"gray",
              "1:5",
              {},
              "The gray cable takes a device file, such as /dev/ttyUSB0, not "
              "'1:5' (--device)."},
             {nullptr,
              nullptr,
              {"usb", "/dev/ttyUSB0"},
              usb_available() ? "The usb cable takes BUS:ADDRESS as lsusb shows it, such as 1:5, "
                                "not '/dev/ttyUSB0' (TI85_DEVICE)."
                              : "This build has no USB cable (TI85_CABLE): install "
                                "libusb-1.0-0-dev and pkg-config and build again, or choose "
                                "parallel, serial, gray or virtual."},
         }) {
        const auto result = choose(c.name, c.device, c.env);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.output, c.said + "\n");
        EXPECT_TRUE(peer::grants().empty());
        EXPECT_TRUE(peer::writes().empty());
    }
}

// What the kernel said about the run's identity when the first port write came (the lines
// released, right after access was granted).
uid_t identity_at_first_write = 0;

TEST(CableChoice, PrivilegedRunOpensOnlyTheBuildsOwnDefaultWithItsPrivilege) {
    struct Case {
        const char* cable;
        const char* device;
        Environment env;
        bool privileged_open;
        std::vector<std::uint16_t> grants;
    };
    const std::vector<std::uint16_t> parallel{PARALLEL_OUT, PARALLEL_IN};
    const std::vector<std::uint16_t> serial{SERIAL_OUT, SERIAL_IN};
    for (const Case& c : std::vector<Case>{
             {"parallel", nullptr, {}, true, parallel},
             {nullptr, nullptr, {}, true, parallel},
             {"parallel", "/dev/parport1", {}, false, parallel},
             {nullptr, nullptr, {nullptr, "/dev/parport1"}, false, parallel},
             // Another cable's own default is a user's choice too.
             {"serial", nullptr, {}, false, serial},
             {nullptr, nullptr, {"serial", nullptr}, false, serial},
             {"virtual", nullptr, {}, false, parallel},
         }) {
        const std::string what = std::string(c.cable != nullptr ? c.cable : "default") + " " +
                                 (c.device != nullptr ? c.device : "");
        peer::reset({.after_write = [](std::uint16_t, std::uint8_t) {
            if (identity_at_first_write == 0) identity_at_first_write = kernel.euid + 1;
        }});
        const auto result = run_child([&] {
            setenv("TI85_CABLE", c.env.cable != nullptr ? c.env.cable : "", 1);
            setenv("TI85_DEVICE", c.env.device != nullptr ? c.env.device : "", 1);
            // A setuid-root install run by user 1000.
            kernel = Kernel{};
            kernel.euid = kernel.suid = 0;
            choose_cable(c.cable, c.device);
            init_link();
            std::printf("opened as %u, then %u\n", identity_at_first_write - 1, kernel.euid);
            return 0;
        });
        EXPECT_TRUE(result.output.ends_with(std::string("opened as ") +
                                            (c.privileged_open ? "0" : "1000") + ", then 1000\n"))
            << what << ": " << result.output;
        // Whatever was named, only the build's own addresses were ever asked for.
        EXPECT_EQ(peer::grants(), c.grants) << what;
    }
}

} // namespace
