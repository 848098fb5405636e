// Test support: running code that ends the process, and scratch directories.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace testing_support {

struct ChildResult {
    int status = -1;    // exit status 0-255, or -1 when a signal ended the child
    int signal = 0;     // the signal that ended it
    std::string output; // everything written to standard output
};

// Runs `body` in a forked child with `input` as standard input and the working directory
// `dir` (if not empty). The child ends with body's return value unless it ends itself.
// A child still running after `seconds` is killed.
// `meanwhile`, if given, runs in the parent with the child's pid while the child runs.
ChildResult run_child(const std::function<int()>& body, const std::string& input = "",
                      const std::filesystem::path& dir = {}, int seconds = 60,
                      const std::function<void(int pid)>& meanwhile = {});

// As run_child, with standard error on a pseudo-terminal (`terminal`) or in a plain file, and
// what arrived there in `errors`, byte for byte (the terminal passes bytes through unchanged).
// With `end_after_ms` above 0 the child is sent SIGTERM after that long, for a run that would
// wait forever.
ChildResult run_child_with_errors(bool terminal, std::string& errors,
                                  const std::function<int()>& body, const std::string& input = "",
                                  const std::filesystem::path& dir = {}, int end_after_ms = 0);

// A fresh empty directory, removed with everything in it at the end of its scope.
struct ScratchDir {
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::filesystem::path path;
};

// Calls a program's entry (its main) with `name`, then `args`, as its command line.
int call_main(int (*entry)(int, char**), const std::string& name,
              const std::vector<std::string>& args);

// A program's entry run in a child: call_main in run_child.
ChildResult run_main(int (*entry)(int, char**), const std::string& name,
                     const std::filesystem::path& dir, const std::vector<std::string>& args,
                     const std::string& input = "");

// Replaces the process with the program at `path`, given `args`; returns 127 if it cannot.
int exec_program(const std::string& path, const std::vector<std::string>& args);

// The ordinary user a test run as root turns into where root's right to write anywhere would
// hide a fault: nobody.
inline constexpr unsigned ORDINARY_ID = 65534;
// In a child: becomes ORDINARY_ID when run as root; nothing otherwise. False if that fails.
bool become_ordinary_user();

std::string read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const std::string& bytes);
std::vector<std::string> lines(const std::string& text);
// The names of the entries of a directory, sorted.
std::vector<std::string> listing(const std::filesystem::path& dir);

} // namespace testing_support
