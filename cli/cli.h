// The programs' side of the console: what they print and how they read their command line.
//
// Principles of operation
// - Every line a program prints goes through `say`, on standard output, flushed at once: a run
//   spends most of its time waiting on the calculator or the user, and an interrupt must not
//   swallow what was said.
// - Progress and waiting hints go to standard error, and only when it is a terminal: they are
//   for the person watching, never for a script reading standard output.
//
// Used by every program and by the link library; depends on nothing but the standard library.
#pragma once

#include <csignal>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Prints a line (or part of one) on standard output and flushes it.
__attribute__((format(printf, 1, 2))) void say(const char* format, ...);

// ---- Console safety (console.cpp) ----

// `text` as it may be printed: every control byte (0x00-0x1F, 0x7F-0x9F) written as \xNN, so
// that a name from a calculator or a file cannot move the cursor, clear the screen or retitle
// the terminal. Only for printing: file names on disk keep their bytes.
std::string printable(std::string_view text);

// Makes sure descriptors 0, 1 and 2 are open, on /dev/null where they are not, so that a file
// or device the program opens later can never become standard input or output. Call first
// thing in every program. Ends the process with status 1 if /dev/null cannot be opened.
void open_standard_descriptors();

// Every signal whose default action ends the process and that a handler can catch: all but
// SIGKILL, the real-time signals included. A program that must not leave a temporary file or a
// line held low catches or blocks every one of them, not just the interrupt signals.
sigset_t terminating_signals();

// ---- Progress and hints, on standard error at a terminal only ----

// A display of a transfer of `total` bytes, for more than 1024 bytes only: bytes so far of the
// total, percent and bytes per second on one line, redrawn at most ten times a second.
void progress_begin(std::size_t total);
// `done` bytes of the total have crossed. Cheap when nothing is shown.
void progress_step(std::size_t done);
// Erases the display; the cursor is back at the start of its line.
void progress_end();

// Arms a hint, said once (as a line of its own) when the waits on the calculator that follow
// have lasted three seconds. nullptr disarms it. The text must outlive the wait.
void hint_after_wait(const char* text);
// Called from every wait on the calculator: says an armed hint once its time has come. Looks at
// the clock only now and then, and costs one test while no hint is armed.
void still_waiting();
// The same for a wait that sleeps in the system between calls (a byte cable's timed read): looks
// at the clock every time.
void still_waiting_after_sleep();
// Whether an armed hint is yet to be said, or a deadline is armed: a wait that can sleep in the
// system until the calculator sends need wake for nothing else.
bool hint_pending();

// Arms a time limit on the waits on the calculator that follow: once `seconds` have passed, the
// next still_waiting or still_waiting_after_sleep disarms it and calls `expiry`, which ends the
// process (it releases the lines and says why). nullptr disarms it. For a request that the
// calculator answers at once or never, such as the screen request.
void deadline_after_wait(int seconds, void (*expiry)());
// Calls the expiry of an armed deadline that has passed; one test while none is armed. Called
// for every byte that crosses, so that a calculator that keeps sending cannot outlast it.
void check_deadline();

// ---- The command line ----
//
// Every program reads its options the same way, before it touches a port, a device or a file:
// -h/--help and -V/--version answer and end the run, "--" ends the options, and any other
// argument that begins with '-' (except "-" alone) is the program's own option or a mistake.

// What a program says about itself. Each text is whole lines, each ended by a line feed.
struct ProgramInfo {
    const char* name;     // "pullvar"
    const char* usage;    // what follows "Usage: ", e.g. "pullvar [OPTION]... [DIR]\n"
    const char* about;    // what the program does and what its operands mean
    const char* options;  // the program's own options, "" for none
    const char* statuses; // its exit statuses
    const char* more;     // where to read more, e.g. "the manual page: man pullvar"
};

// The cable options of the programs that talk to the calculator: -c, --cable=NAME and -d,
// --device=DEVICE (each also with its value as the next argument); nullptr where not given.
struct CableOptions {
    const char* cable = nullptr;
    const char* device = nullptr;
    const char* version_note = nullptr; // a line --version adds: the build's default cable
};

// Takes the options out of the command line and returns the operands in order. --help prints the
// help text and --version the name and the project's version, both ending the process with
// status 0. With `cable`, the cable options are taken into it and shown in the help. An option
// that is none of these is offered to `own_option`; one it does not take is refused with the
// usage line and status 1. Prints on standard output only.
std::vector<char*> read_command_line(int argc, char** argv, const ProgramInfo& program,
                                     bool (*own_option)(const char* argument) = nullptr,
                                     CableOptions* cable = nullptr);

// Prints the usage line and where to find help, and ends the process with status 1.
[[noreturn]] void usage_error(const ProgramInfo& program);

// The command line with each option of `options` (a short and a long name, such as "-C" and
// "--directory") followed by its value in the next argument joined into "LONG=VALUE", one
// argument each, in `args` (before "--"); `pointers` into them, ended by a null pointer, to hand
// to read_command_line.
struct OptionNames {
    const char* short_name;
    const char* long_name;
};
void join_option_values(int argc, char** argv, std::span<const OptionNames> options,
                        std::vector<std::string>& args, std::vector<char*>& pointers);
