// Test support: a program's entry run in a child process against the virtual calculator.
#pragma once

#include "calc/calc.h"
#include "tests/support/child.h"

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace testing_support {

struct ProgramRun {
    std::vector<std::string> args;          // after the program's name
    std::string input;                      // standard input
    std::filesystem::path dir;              // working directory
    peer::Options options;                  // the calculator's
    std::function<void(int pid)> meanwhile; // in the parent while the child runs
    std::function<void()> setup;            // in the child first: a limit, a closed descriptor
};

// Resets the calculator, then runs `entry` (a program's main) named `name` in a child, with the
// calculator playing `script`.
inline ChildResult run_program(int (*entry)(int, char**), const char* name,
                               const std::function<void()>& script, const ProgramRun& run) {
    peer::reset(run.options);
    return run_child(
        [&] {
            if (run.setup) run.setup();
            peer::run(script);
            return call_main(entry, name, run.args);
        },
        run.input, run.dir, 60, run.meanwhile);
}

} // namespace testing_support
