// The command line every program shares: help, version, the end of the options, refusals.
#include "cli/cli.h"

#include <cstdlib>
#include <cstring>

#ifndef LINK_TOOLS_VERSION
#error "the build passes LINK_TOOLS_VERSION, the project's version"
#endif

namespace {

[[noreturn]] void show_help(const ProgramInfo& program) {
    say("Usage: %s%s\n", program.usage, program.about);
    say("Options:\n%s"
        "  -h, --help     show this help and exit\n"
        "  -V, --version  show the version and exit\n"
        "  --             end of the options: what follows is an operand even if it\n"
        "                 begins with '-'\n"
        "\n",
        program.options);
    say("Exit status:\n%s\nMore in %s\n", program.statuses, program.more);
    std::exit(0);
}

[[noreturn]] void show_version(const ProgramInfo& program) {
    say("%s %s\n", program.name, LINK_TOOLS_VERSION);
    std::exit(0);
}

} // namespace

void usage_error(const ProgramInfo& program) {
    say("Usage: %sTry '%s --help' for more.\n", program.usage, program.name);
    std::exit(1);
}

std::vector<char*> read_command_line(int argc, char** argv, const ProgramInfo& program,
                                     bool (*own_option)(const char*)) {
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
            show_help(program);
        } else if (std::strcmp(argument, "--version") == 0 || std::strcmp(argument, "-V") == 0) {
            show_version(program);
        } else if (own_option == nullptr || !own_option(argument)) {
            say("%s: Unknown option '%s'!\n", program.name, printable(argument).c_str());
            usage_error(program);
        }
    }
    return operands;
}
