// The command line shared by every program: the parser itself, then help, version and a wrong
// option in each of the five programs. The link programs run in-process on a modelled wire that
// refuses every port and records every request, so that asking for help provably touches
// nothing; pixdb and vti85 run as built.
#include "calc/calc.h"
#include "cli/cli.h"
#include "link/link.h"
#include "link/ports/virtual_wire.h"
#include "link/wire.h"
#include "linkcheck/linkcheck.h"
#include "pullvar/pullvar.h"
#include "pushvar/pushvar.h"
#include "tests/support/child.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;
using testing_support::ChildResult;
using testing_support::run_child;
using testing_support::ScratchDir;
using Words = std::vector<std::string>;

const ProgramInfo TOY{.name = "toy",
                      .usage = "toy [OPTION]... FILE...\n",
                      .about = "Does nothing.\n",
                      .options = "",
                      .statuses = "  0  done\n",
                      .more = "nowhere"};

bool takes_loud(const char* argument) {
    return std::string(argument) == "--loud";
}

// argv for a command line; the words must outlive it.
std::vector<char*> argv_of(Words& words) {
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    return argv;
}

TEST(CommandLine, OperandsInOrderOptionsAnywhereUntilTheDoubleDash) {
    struct Case {
        Words line;
        Words operands;
    };
    const Case cases[] = {
        {{"toy"}, {}},
        {{"toy", "a", "--loud", "b"}, {"a", "b"}},
        {{"toy", "--", "-x", "--help", "--"}, {"-x", "--help", "--"}},
        {{"toy", "-", "a"}, {"-", "a"}},
    };
    for (Case c : cases) {
        const auto result = run_child([&] {
            std::vector<char*> argv = argv_of(c.line);
            Words got;
            for (char* operand :
                 read_command_line(static_cast<int>(c.line.size()), argv.data(), TOY, takes_loud))
                got.emplace_back(operand);
            return got == c.operands ? 0 : 2;
        });
        EXPECT_EQ(result.status, 0) << c.line.size();
        EXPECT_EQ(result.output, "");
    }
}

// Runs one of the five programs with `args` after its name; in-process, it also checks that no
// port was asked for or touched.
using Program = std::function<ChildResult(const Words& args)>;

Program in_process(int (*main)(int, char**), const char* name) {
    return [=](const Words& args) {
        peer::reset({.refuse = {PARALLEL_OUT, PARALLEL_IN, SERIAL_OUT, SERIAL_IN}});
        ChildResult result =
            run_child([&] { return testing_support::call_main(main, name, args); });
        EXPECT_TRUE(peer::grants().empty()) << args[0];
        EXPECT_EQ(peer::accesses(), 0u) << args[0];
        return result;
    };
}

Program built(const char* path) {
    return [=](const Words& args) {
        return run_child([&] { return testing_support::exec_program(path, args); });
    };
}

TEST(CommandLine, HelpVersionAndWrongOptionsTouchNoPortOrFile) {
    struct Case {
        std::string name;
        Program run;
        bool cable = false; // takes the cable options
    };
    const Case programs[] = {
        {"pullvar", in_process(pullvar_main, "pullvar"), true},
        {"pushvar", in_process(pushvar_main, "pushvar"), true},
        {"linkcheck", in_process(linkcheck_main, "linkcheck"), true},
        {"pixdb", built(PIXDB_PATH)},
        {"vti85", built(VTI85_PATH)},
#ifdef PICVAR_PATH
        {"picvar", built(PICVAR_PATH)},
#endif
    };
    const bool wire_before = fs::exists(virtual_place(VIRTUAL_WIRE_NAME));
    for (const Case& program : programs) {
        SCOPED_TRACE(program.name);
        ScratchDir dir;
        const fs::path made = dir.path / "made";
        // Operands that would make each program write or send, were it to run.
        const Words operands{made.string(), made.string()};
        for (const char* help : {"--help", "-h"}) {
            Words args{help};
            args.insert(args.end(), operands.begin(), operands.end());
            const ChildResult result = program.run(args);
            EXPECT_EQ(result.status, 0);
            EXPECT_TRUE(result.output.starts_with("Usage: " + program.name + " [OPTION]..."))
                << result.output;
            EXPECT_NE(result.output.find("\nExit status:\n  0 "), std::string::npos);
            EXPECT_NE(result.output.find("\nMore in "), std::string::npos);
        }
        for (const char* version : {"--version", "-V"}) {
            const ChildResult result = program.run({version});
            EXPECT_EQ(result.status, 0);
            EXPECT_EQ(result.output,
                      program.name + " " + LINK_TOOLS_VERSION + "\n" +
                          (program.cable ? "default cable: " + default_cable() + "\n" : ""));
        }
        // A wrong cable is refused before anything is opened or written.
        if (program.cable) {
            const ChildResult result = program.run({"-c", "lpt"});
            EXPECT_EQ(result.status, 1);
            EXPECT_EQ(result.output, "Unknown cable 'lpt' (--cable): choose parallel, serial, "
                                     "gray, usb or virtual.\n");
            // A device's control bytes are shown escaped too (pushvar opens it after its files).
            if (program.name != "pushvar") {
                const ChildResult escaped = program.run({"-c", "gray", "-d", "/dev/\x1B[2J"});
                EXPECT_EQ(escaped.status, 1);
                EXPECT_NE(escaped.output.find("/dev/\\x1B[2J"), std::string::npos)
                    << escaped.output;
                EXPECT_EQ(escaped.output.find('\x1B'), std::string::npos);
            }
            EXPECT_TRUE(program.run({"--device"})
                            .output.starts_with(program.name +
                                                ": Option '--device' needs a value!\nUsage: "));
        }
        // A control byte in a wrong option is shown escaped, never sent to the terminal.
        const std::pair<std::string, std::string> wrongs[] = {
            {"-x", "-x"}, {"--helpful", "--helpful"}, {"-hV", "-hV"}, {"-\x1B[2J", "-\\x1B[2J"}};
        for (const auto& [wrong, shown] : wrongs) {
            Words args = operands;
            args.push_back(wrong);
            const ChildResult result = program.run(args);
            EXPECT_EQ(result.status, 1);
            EXPECT_TRUE(result.output.starts_with(program.name + ": Unknown option '" + shown +
                                                  "'!\nUsage: " + program.name + " "))
                << result.output;
            EXPECT_TRUE(result.output.ends_with("Try '" + program.name + " --help' for more.\n"));
        }
        EXPECT_FALSE(fs::exists(made));
        EXPECT_EQ(fs::exists(virtual_place(VIRTUAL_WIRE_NAME)), wire_before);
    }
}

} // namespace
