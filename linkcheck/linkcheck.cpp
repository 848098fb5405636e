// The cable check: report of the cable in use, access diagnosis and the live view of the two lines.
#include "linkcheck/linkcheck.h"

#include "linkcheck/byte_cable_check.h"

#include "cli/cli.h"
#include "link/link.h"
#include "link/port_advice.h"
#include "link/wire.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <linux/capability.h>
#include <poll.h>
#include <sstream>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string hex(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

std::string read_text(const char* path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The CapEff line of /proc/self/status, as a bit set.
std::uint64_t effective_capabilities() {
    std::istringstream status(read_text("/proc/self/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("CapEff:")) return std::strtoull(line.c_str() + 7, nullptr, 16);
    }
    return 0;
}

bool in_group(gid_t group) {
    if (getegid() == group) return true;
    const int count = getgroups(0, nullptr);
    if (count <= 0) return false;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    const int got = getgroups(count, groups.data());
    for (int i = 0; i < got; ++i) {
        if (groups[static_cast<std::size_t>(i)] == group) return true;
    }
    return false;
}

std::string group_name(gid_t group) {
    if (const struct group* entry = getgrgid(group)) return entry->gr_name;
    return std::to_string(group);
}

} // namespace

// ---- CableInUse and facts ----

CableInUse cable_in_use() {
    int cable = link_type;
    const std::string device = link_device;
    if (cable == LINK_VIRTUAL) cable = virtual_cable_type(link_device);
    // The byte cables reach no port; a two-wire cable with no device uses the direct ports.
    const char* ports = byte_cable(cable)           ? "none"
                        : link_type == LINK_VIRTUAL ? "virtual"
                        : device.empty()            ? "real"
                        : cable == LINK_PARALLEL    ? "ppdev"
                                                    : "tty";
    const bool serial = cable == LINK_SERIAL;
    return {cable, ports, device, serial ? SERIAL_OUT : PARALLEL_OUT,
            serial ? SERIAL_IN : PARALLEL_IN};
}

std::string describe(const CableInUse& in_use) {
    std::string text;
    const bool parallel = in_use.cable == LINK_PARALLEL;
    if (parallel) {
        text = "linkcheck: cable: two-wire cable on the parallel port\n"
               "linkcheck: line A: pulled by data bit 1 (pin 3), read on Select (pin 13)\n"
               "linkcheck: line B: pulled by data bit 0 (pin 2), read on Paper End (pin 12)\n";
    } else if (in_use.cable == LINK_SERIAL) {
        text = "linkcheck: cable: connect85 cable on the serial port\n"
               "linkcheck: line A: pulled by RTS (DB9 pin 7), read on CTS (DB9 pin 8)\n"
               "linkcheck: line B: pulled by DTR (DB9 pin 4), read on DSR (DB9 pin 6)\n";
    } else if (byte_cable(in_use.cable)) {
        return describe_byte_cable(in_use);
    } else {
        return "linkcheck: cable: none\n";
    }
    if (in_use.ports == "real") {
        text += parallel ? "linkcheck: access: direct I/O ports, data register " +
                               hex(in_use.output_register) + " out, status register " +
                               hex(in_use.input_register) + " in\n"
                         : "linkcheck: access: direct I/O ports, modem control register " +
                               hex(in_use.output_register) + " out, modem status register " +
                               hex(in_use.input_register) + " in\n";
    } else if (in_use.ports == "ppdev") {
        text += "linkcheck: access: parallel-port device " + printable(in_use.device) +
                ", data register out, status register in\n";
    } else if (in_use.ports == "tty") {
        text += "linkcheck: access: serial device " + printable(in_use.device) +
                ", DTR and RTS out, CTS and DSR in\n";
    } else {
        text += "linkcheck: access: the " + in_use.ports + " port layer, " +
                printable(in_use.device) + "\n";
    }
    return text;
}

std::string lockdown_mode(const std::string& text) {
    // "none [integrity] confidentiality": the mode in force is bracketed.
    const auto open = text.find('[');
    const auto close = text.find(']', open);
    if (open == std::string::npos || close == std::string::npos) return "";
    const std::string mode = text.substr(open + 1, close - open - 1);
    return mode == "none" ? "" : mode;
}

std::string port_holder(const std::string& ioports, std::uint16_t port) {
    // "  0378-037a : parport0": nested ranges follow the range they lie in, so the last match
    // is the innermost. Without privilege the kernel shows every range as 0000-0000.
    // A line that does not parse, or whose numbers do not fit, is skipped.
    std::string holder;
    std::istringstream lines(ioports);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t start = line.find_first_not_of(' ');
        if (start == std::string::npos) continue;
        const char* const end = line.data() + line.size();
        std::uint32_t first = 0, last = 0;
        auto [after_first, error_first] = std::from_chars(line.data() + start, end, first, 16);
        if (error_first != std::errc{} || after_first == end || *after_first != '-') continue;
        auto [after_last, error_last] = std::from_chars(after_first + 1, end, last, 16);
        const std::string_view rest(after_last, static_cast<std::size_t>(end - after_last));
        if (error_last != std::errc{} || !rest.starts_with(" : ") || rest.size() == 3) continue;
        if (first <= port && port <= last && last != 0) holder = rest.substr(3);
    }
    // A bus's window is no driver.
    return holder.starts_with("PCI Bus") ? "" : holder;
}

AccessFacts gather_facts(const CableInUse& in_use) {
    AccessFacts facts;
    facts.root = geteuid() == 0;
    facts.raw_io = (effective_capabilities() >> CAP_SYS_RAWIO & 1) != 0;
    facts.lockdown = lockdown_mode(read_text("/sys/kernel/security/lockdown"));
    if (in_use.ports == "real") {
        facts.port_holder = port_holder(read_text("/proc/ioports"), in_use.output_register);
        facts.direct_ports = direct_ports_offered(in_use.output_register);
    }
    if (in_use.device.empty()) return facts;
    struct stat status {};
    if (stat(in_use.device.c_str(), &status) != 0) return facts;
    facts.device_exists = true;
    facts.device_is_char = S_ISCHR(status.st_mode);
    facts.device_group = group_name(status.st_gid);
    facts.in_device_group = in_group(status.st_gid);
    // As the open will be made: with the effective IDs.
    facts.device_readable_writable =
        faccessat(AT_FDCWD, in_use.device.c_str(), R_OK | W_OK, AT_EACCESS) == 0;
    return facts;
}

std::vector<std::string> likely_causes(const CableInUse& in_use, const AccessFacts& facts) {
    std::vector<std::string> causes;
    if (in_use.ports == "real" && !facts.direct_ports) {
        // No privilege would help: the one cause, whoever runs it.
        causes.push_back(ADVICE_NO_DIRECT_PORTS);
    } else if (in_use.ports == "real") {
        if (!facts.root && !facts.raw_io) {
            causes.push_back(ADVICE_NOT_PRIVILEGED);
        } else if (!facts.raw_io) {
            causes.push_back(ADVICE_CAPABILITY_TAKEN);
        }
        if (!facts.lockdown.empty()) {
            causes.push_back("the kernel is locked down (" + facts.lockdown + ")" +
                             ADVICE_LOCKDOWN);
        } else if (facts.raw_io) {
            // Privileged and not locked down: the kernel itself offers no ioperm.
            causes.push_back(ADVICE_NO_DIRECT_PORTS);
        }
    } else if (in_use.ports == "ppdev" || in_use.ports == "tty" || in_use.cable == LINK_GRAY) {
        const bool ppdev = in_use.ports == "ppdev";
        const std::string device = printable(in_use.device);
        if (!facts.device_exists) {
            causes.push_back(
                ppdev ? device + " does not exist: load the parallel-port device driver (sudo "
                                 "modprobe ppdev), or name the port with --device"
                      : device + " does not exist: plug the adapter in, or name the port "
                                 "with --device (USB adapters appear as "
                                 "/dev/ttyUSB0 or /dev/ttyACM0)");
        } else if (!facts.device_is_char) {
            causes.push_back(device + " is not a device: name the port with --device");
        } else if (!facts.device_readable_writable) {
            causes.push_back(facts.in_device_group
                                 ? device + " gives its group " + facts.device_group +
                                       " no read and write access"
                                 : device + " belongs to group " + facts.device_group +
                                       ", and you are not a member: sudo usermod -aG " +
                                       facts.device_group + " $USER, then log in again");
        } else if (ppdev) {
            const std::string holder = "another driver holds the port (such as plip), or another "
                                       "program has claimed ";
            causes.push_back(holder + device);
        } else if (in_use.cable == LINK_GRAY) {
            causes.push_back("another program holds " + device +
                             " (a getty, ModemManager or a second transfer)");
        } else {
            causes.push_back("another program holds " + device +
                             " (a getty, ModemManager or a second transfer), or it has no modem "
                             "lines this system can read");
        }
    }
    if (causes.empty()) {
        causes.push_back("no likely cause found: the message above tells what the system "
                         "refused");
    }
    return causes;
}

std::string describe_lines(std::uint8_t input_register) {
    return std::string("line A ") + ((input_register & LINE_A) != 0 ? "high" : "low") +
           ", line B " + ((input_register & LINE_B) != 0 ? "high" : "low");
}

// ---- The run ----

namespace {

constexpr ProgramInfo LINKCHECK{
    .name = "linkcheck",
    .usage = "linkcheck [OPTION]...\n",
    .about = "Checks the link cable and the access to its port: says which cable and port access\n"
             "this run uses, sets up the link as pullvar and pushvar do (naming the likely\n"
             "causes when that is refused), then shows both lines whenever they change. Type a,\n"
             "b or r and Enter to pull line A or line B low from this end or release both; q,\n"
             "the end of the input or Ctrl-C ends the run with both lines released. For TI's\n"
             "gray and USB cables, whose lines cannot be seen, it reports what it opened.\n",
    .options = "",
    .statuses = "  0    ended by q or the end of the input, or a gray or USB cable is ready\n"
                "  1    the link could not be set up, or a wrong command line\n",
    .more = "the manual page: man linkcheck",
};

std::vector<std::string> causes;
bool link_ready = false;

// init_link ends the process when access is refused; this then adds the likely causes.
void explain_refusal() {
    if (link_ready || causes.empty()) return;
    say("linkcheck: The link could not be set up. Likely cause%s:\n", causes.size() > 1 ? "s" : "");
    for (const std::string& cause : causes)
        say("linkcheck: - %s\n", cause.c_str());
}

// Runs in the interrupt handler, which then releases both lines.
void interrupted() {
    static const char text[] = "\nlinkcheck: interrupted, both lines released\n";
    [[maybe_unused]] const auto ignored = write(STDOUT_FILENO, text, sizeof text - 1);
}

constexpr int END_OF_INPUT = -1;

// The next command letter, waiting up to a millisecond; 0 when none came, END_OF_INPUT at the
// end of the input (or when it cannot be read).
int next_command() {
    pollfd input{STDIN_FILENO, POLLIN, 0};
    if (poll(&input, 1, 1) <= 0) return 0;
    unsigned char letter = 0;
    if (read(STDIN_FILENO, &letter, 1) != 1) return END_OF_INPUT;
    return letter;
}

// Shows each change of the lines and obeys a, b, r and q until q or the end of the input.
void watch() {
    int shown = -1;
    for (;;) {
        const std::uint8_t lines = read_lines();
        if (lines != shown) {
            say("linkcheck: %s\n", describe_lines(lines).c_str());
            shown = lines;
        }
        std::uint8_t output;
        const char* action;
        switch (next_command()) {
        case 0:
        case '\n':
        case '\r':
        case ' ':
        case '\t':
            continue;
        case 'a':
        case 'A':
            output = PULL_A, action = "this end pulls line A low";
            break;
        case 'b':
        case 'B':
            output = PULL_B, action = "this end pulls line B low";
            break;
        case 'r':
        case 'R':
            output = LINES_RELEASED, action = "this end releases both lines";
            break;
        case 'q':
        case 'Q':
        case END_OF_INPUT:
            release_lines();
            say("linkcheck: both lines released, done\n");
            return;
        default:
            say("linkcheck: type a, b, r or q, then Enter\n");
            continue;
        }
        if (output == LINES_RELEASED) {
            release_lines();
        } else {
            pull_line(output);
        }
        say("linkcheck: %s\n", action);
        // This end sees its own pull: if it does not, the pull never reaches the line.
        const std::uint8_t after = read_lines();
        const bool a_unpulled = output == PULL_A && (after & LINE_A) != 0;
        const bool b_unpulled = output == PULL_B && (after & LINE_B) != 0;
        if (a_unpulled || b_unpulled) {
            say("linkcheck: line %c still reads high: check its wiring, or no port answers here\n",
                a_unpulled ? 'A' : 'B');
        }
    }
}

} // namespace

int linkcheck_main(int argc, char** argv) {
    open_standard_descriptors();
    const std::string default_note = "default cable: " + default_cable();
    CableOptions cable{.version_note = default_note.c_str()};
    if (!read_command_line(argc, argv, LINKCHECK, nullptr, &cable).empty()) usage_error(LINKCHECK);
    choose_cable(cable.cable, cable.device);
    say("linkcheck: TI-85 link cable check\n");
    const CableInUse in_use = cable_in_use();
    say("%s", describe(in_use).c_str());
    AccessFacts facts;
    if (in_use.cable == LINK_PARALLEL || in_use.cable == LINK_SERIAL || in_use.cable == LINK_GRAY) {
        // A device the user chose is looked at with the user's rights, as it will be opened.
        drop_privilege_for_user_choice();
        facts = gather_facts(in_use);
        causes = likely_causes(in_use, facts);
        std::atexit(explain_refusal);
    }
    if (in_use.cable == LINK_USB) report_usb_steps();
    init_link();
    link_ready = true;
    say("linkcheck: access granted\n");
    if (byte_cable(in_use.cable)) {
        byte_cable_ready(in_use);
        return 0;
    }
    if (!facts.port_holder.empty()) {
        say("linkcheck: note: the kernel driver \"%s\" has reserved these ports too; if the lines\n"
            "linkcheck: do not follow, unload it, or name the port's device with --device\n",
            facts.port_holder.c_str());
    }
    on_interrupt(interrupted);
    say("linkcheck: Both lines read high while nothing pulls them. Type a, b or r and Enter to\n"
        "linkcheck: pull line A or line B low from this end or release both; q or Ctrl-C ends.\n");
    watch();
    return 0;
}
