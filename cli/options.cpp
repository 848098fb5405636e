// The command line every program shares: help, version, the end of the options, refusals.
#include "cli/cli.h"

#include <cstdlib>
#include <cstring>

#ifndef LINK_TOOLS_VERSION
#error "the build passes LINK_TOOLS_VERSION, the project's version"
#endif

namespace {

constexpr char CABLE_HELP[] =
    "  -c, --cable=NAME     the cable: parallel (two-wire cable, parallel port), serial\n"
    "                       (two-wire cable, serial port), gray (TI's gray cable), usb (TI's\n"
    "                       USB cable) or virtual (the virtual calculator vti85); default:\n"
    "                       TI85_CABLE, else the build's (see --version)\n"
    "  -d, --device=DEVICE  the cable's device: a parallel-port device (/dev/parport0) or a\n"
    "                       serial device (/dev/ttyS0, /dev/ttyUSB0) instead of the direct\n"
    "                       ports, the gray cable's serial device (default /dev/ttyUSB0), the\n"
    "                       USB cable's BUS:ADDRESS as lsusb shows it (default: the first\n"
    "                       found), vti85's wire or pseudo-terminal; default: TI85_DEVICE\n";

[[noreturn]] void show_help(const ProgramInfo& program, bool cable) {
    say("Usage: %s%s\n", program.usage, program.about);
    say("Options:\n%s%s"
        "  -h, --help     show this help and exit\n"
        "  -V, --version  show the version and exit\n"
        "  --             end of the options: what follows is an operand even if it\n"
        "                 begins with '-'\n"
        "\n",
        program.options, cable ? CABLE_HELP : "");
    say("Exit status:\n%s\nMore in %s\n", program.statuses, program.more);
    std::exit(0);
}

[[noreturn]] void show_version(const ProgramInfo& program, const CableOptions* cable) {
    say("%s %s\n", program.name, LINK_TOOLS_VERSION);
    if (cable != nullptr && cable->version_note != nullptr) say("%s\n", cable->version_note);
    std::exit(0);
}

// -c NAME, -cNAME, --cable=NAME, --cable NAME: the value, or nullptr when `argument` (argv[at])
// is not this option. A value in the next argument moves `at` on; a missing one is a usage error.
const char* option_value(const char* argument, char** argv, int argc, int& at,
                         const char* short_name, const char* long_name,
                         const ProgramInfo& program) {
    const std::size_t long_size = std::strlen(long_name);
    const char* value = nullptr;
    if (std::strncmp(argument, short_name, 2) == 0) {
        value = argument + 2;
    } else if (std::strncmp(argument, long_name, long_size) == 0) {
        value = argument + long_size;
        if (*value == '=') {
            return value + 1;
        }
        if (*value != '\0') return nullptr;
    } else {
        return nullptr;
    }
    if (*value != '\0') return value;
    if (at + 1 >= argc) {
        say("%s: Option '%s' needs a value!\n", program.name, printable(argument).c_str());
        usage_error(program);
    }
    return argv[++at];
}

} // namespace

void usage_error(const ProgramInfo& program) {
    say("Usage: %sTry '%s --help' for more.\n", program.usage, program.name);
    std::exit(1);
}

std::vector<char*> read_command_line(int argc, char** argv, const ProgramInfo& program,
                                     bool (*own_option)(const char*), CableOptions* cable) {
    std::vector<char*> operands;
    bool options_ended = false;
    for (int at = 1; at < argc; ++at) {
        char* const argument = argv[at];
        // "-" alone names standard input by custom, so it is an operand like any other.
        if (options_ended || argument[0] != '-' || argument[1] == '\0') {
            operands.push_back(argument);
        } else if (std::strcmp(argument, "--") == 0) {
            options_ended = true;
        } else if (std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0) {
            show_help(program, cable != nullptr);
        } else if (std::strcmp(argument, "--version") == 0 || std::strcmp(argument, "-V") == 0) {
            show_version(program, cable);
        } else if (const char* name = cable == nullptr ? nullptr
                                                       : option_value(argument, argv, argc, at,
                                                                      "-c", "--cable", program)) {
            cable->cable = name;
        } else if (const char* device =
                       cable == nullptr
                           ? nullptr
                           : option_value(argument, argv, argc, at, "-d", "--device", program)) {
            cable->device = device;
        } else if (own_option == nullptr || !own_option(argument)) {
            say("%s: Unknown option '%s'!\n", program.name, printable(argument).c_str());
            usage_error(program);
        }
    }
    return operands;
}

void join_option_values(int argc, char** argv, std::span<const OptionNames> options,
                        std::vector<std::string>& args, std::vector<char*>& pointers) {
    args.assign(argv, argv + argc);
    for (std::size_t at = 1; at + 1 < args.size(); ++at) {
        if (args[at] == "--") break;
        for (const OptionNames& option : options) {
            if (args[at] == option.short_name || args[at] == option.long_name) {
                args[at] = std::string(option.long_name) + "=" + args[at + 1];
                args.erase(args.begin() + static_cast<std::ptrdiff_t>(at) + 1);
                break;
            }
        }
    }
    pointers.clear();
    pointers.reserve(args.size() + 1);
    for (std::string& arg : args)
        pointers.push_back(arg.data());
    pointers.push_back(nullptr);
}
