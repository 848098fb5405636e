// linkcheck: a check of the link cable and of port access, for people who build or buy a cable.
//
// Principles of operation
// - It says which cable and which port access this run uses (direct I/O ports, or a ppdev or
//   tty device), then sets up the link with init_link exactly as pullvar and pushvar do. When
//   that is refused, it adds the likely causes, found before the attempt: not root, the
//   device's group, a driver holding the port, kernel lockdown.
// - With access granted it shows the state of both lines whenever it changes, as the user
//   sends from the calculator or shorts a line to ground. Typing a, b or r (and Enter)
//   pulls line A or line B low from this end or releases both, which checks the wiring in the
//   other direction; q ends the run, and so do the end of the input and Ctrl-C, all with the
//   lines released.
// - Messages go to standard output, each beginning "linkcheck: ", except those of the link
//   library itself. Status 0 after q or the end of the input, 1 when the link cannot be set up
//   or the command line is wrong; an interrupt ends the process by its signal, as in the other
//   link programs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The cable this run drives, as chosen at run time (option, environment or default).
struct CableInUse {
    int cable;          // link_type: 0 parallel, 1 serial, 2 gray, 3 USB
    std::string ports;  // the port layer: "real", "ppdev", "tty", ...; "none" for 2 and 3
    std::string device; // the device of a device layer
    std::uint16_t output_register;
    std::uint16_t input_register;
};

CableInUse cable_in_use();

// "linkcheck: cable: ..." and "linkcheck: access: ..." lines, each ended by a line feed.
std::string describe(const CableInUse& in_use);

// What the system says about access, gathered before the attempt with the rights the open will
// have: a privileged install's only for the build's own default cable and device.
struct AccessFacts {
    bool root = false;                     // effective user ID 0
    bool raw_io = false;                   // CAP_SYS_RAWIO in the effective set
    std::string lockdown;                  // the kernel's lockdown mode, empty when there is none
    std::string port_holder;               // the driver that reserved the cable's ports, if any
    bool device_exists = false;            // device layers only, from here on
    bool device_is_char = false;           // a character device
    std::string device_group;              // name (or number) of the device's group
    bool device_readable_writable = false; // by this process's user and groups
    bool in_device_group = false;
    bool direct_ports = true; // the kernel offers direct port access to whoever may have it
};

AccessFacts gather_facts(const CableInUse& in_use);

// The mode in force in the text of /sys/kernel/security/lockdown; empty for none.
std::string lockdown_mode(const std::string& text);
// The driver that reserved `port` in the text of /proc/ioports; empty for none.
std::string port_holder(const std::string& ioports, std::uint16_t port);

// The likely causes of a refused set-up, most likely first; one line each, without prefix.
std::vector<std::string> likely_causes(const CableInUse& in_use, const AccessFacts& facts);

// The lines, as shown: "line A high, line B low".
std::string describe_lines(std::uint8_t input_register);

// The program: options, describe, set up, then watch the lines until q, the end of the input or
// an interrupt.
int linkcheck_main(int argc, char** argv);
