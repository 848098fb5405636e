// Fuzz target: the receiver's listening loop, fed any byte stream from the calculator's side.
//
// Input: the low four bits of the first byte say how many of the next bytes are the user's
// answers on standard input; every byte after those is what the calculator sends, byte by byte,
// through the virtual calculator's handshake. receive() runs in this process with the scratch
// folder as its working directory.
//
// The calculator does not know the protocol: it listens whenever the computer may speak and
// sends its next packet only when the computer is waiting for a byte. To tell the two apart it
// always starts by listening; a computer that then reads twice in a row with its lines released
// is waiting for a byte (after sending one it reads once, to see the release), and the harness
// answers the calculator's listen with a dummy byte (see answer_listen) so that the calculator
// goes on to send.
//
// A run ends when the program returns, when it calls exit() (linked with --wrap=exit, which turns
// that into ProgramEnded), or when the computer reads the port once the calculator has nothing
// left to send (the calculator's after_read hook throws LinkQuiet: an interrupted run).
//
// Findings besides sanitizer reports: a file in the working directory that is not a complete
// variable file of its own name, an unfinished temporary file left behind, a handshake fault of
// the computer, an exit status other than 0, 1 and 255.
#include "atomicfile/atomicfile.h"
#include "calc/calc.h"
#include "link/link.h"
#include "link/wire.h"
#include "pullvar/pullvar.h"
#include "varfile/varfile.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct ProgramEnded {
    int status;
};
struct LinkQuiet {};

bool in_program = false; // exit() throws only while the program runs

// Shared by the calculator's script and the harness. They run strictly in turns (the virtual
// calculator hands over with semaphores), so plain variables are enough.
const std::uint8_t* stream = nullptr;
std::size_t stream_size = 0;
std::size_t sent = 0;
bool listening = false;      // the script waits in recv_byte for a byte that has not begun
bool computer_waits = false; // that byte was the harness's dummy: the computer wants a byte
int reads_since_write = 0;   // the computer's port reads since its last write
bool between_runs = false;   // the harness is settling the script: send nothing

std::string scratch;
int scratch_fd = -1;
int home_fd = -1;

[[noreturn]] void finding(const char* what, const char* detail = "") {
    std::fprintf(stderr, "fuzz_receive: %s %s\n", what, detail);
    std::abort();
}

// The calculator: one script for the whole fuzzing session (a thread per run would cost more
// than the run). Between runs it waits in a listen, which the next run answers. It sends one
// byte a listen: a computer that looks for the start of a packet after an invalid one may stop
// reading anywhere and answer, and a calculator still sending then would never hear it.
void calculator() {
    for (;;) {
        listening = true;
        peer::recv_byte();
        listening = false;             // also cleared by the computer's first pull of a byte
        if (!computer_waits) continue; // a real byte from the computer: listen on
        computer_waits = false;
        if (between_runs || sent == stream_size) continue;
        peer::send_byte(stream[sent++]);
    }
}

// The computer holds both lines released and reads while the calculator listens: it waits for
// a byte. Completes the calculator's recv_byte with a dummy byte, acting as the computer on the
// wire, and tells the script that it was one.
// The script takes the byte as soon as its last bit ends, so it is told first.
void answer_listen() {
    listening = false;
    computer_waits = true;
    for (int bit = 0; bit < 8; ++bit) {
        peer::wire_write(PULL_A); // a 0 bit; the calculator acknowledges on line B at once
        peer::wire_write(LINES_RELEASED);
    }
    peer::wire_read(); // the release has been seen: the calculator may move again
}

// Brings the script back to its listen, where the next run finds it. A script that last
// received a byte is still waiting for its turn to take it.
void settle_script() {
    between_runs = true;
    if (!listening) peer::finish();
    between_runs = false;
    if (!listening) finding("the calculator's script is not back in its listen");
}

// Why the file `name` is not a complete variable file saved under its own name, or nullptr.
const char* saved_file_fault(const char* name) {
    std::vector<std::uint8_t> bytes;
    if (read_whole_file(name, FILE_SIZE_MAX + 1, bytes) != whole_read::done) {
        return "saved file cannot be read:";
    }
    const FileContents contents = read_file(bytes);
    const char* problem = nullptr;
    if (verdict(contents, problem) != FileCheck::ok) return "saved file fails the check:";
    if (contents.backup) {
        return std::strcmp(name, BACKUP_FILE_NAME) == 0 ? nullptr : "backup saved as";
    }
    const FileEntry& entry = contents.entries.front();
    VarHeader header{};
    header.type = entry.type;
    header.name_length = static_cast<std::uint8_t>(entry.name.size());
    std::copy(entry.name.begin(), entry.name.end(), header.name.begin());
    PathBuffer path{};
    if (!file_name(header, path) || std::strcmp(path.data(), name) != 0) {
        return "file name does not match its variable:";
    }
    return nullptr;
}

// A variable may be named like the temporary files (".ti85-" and six characters): only a file
// that is not a good variable file of its own name counts as left unfinished.
void check_saved_file(const char* name) {
    const char* fault = saved_file_fault(name);
    if (fault == nullptr) return;
    if (std::strncmp(name, ".ti85-", 6) == 0 && std::strlen(name) == 12) {
        fault = "unfinished file left behind:";
    }
    finding(fault, name);
}

// Checks and removes everything the run left in the scratch folder.
void check_and_clear_scratch() {
    DIR* dir = opendir(".");
    if (dir == nullptr) finding("cannot list the scratch folder");
    while (const dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        check_saved_file(name);
        unlink(name);
    }
    closedir(dir);
}

void remove_scratch() {
    if (fchdir(scratch_fd) == 0) {
        if (DIR* dir = opendir(".")) {
            while (const dirent* entry = readdir(dir))
                unlink(entry->d_name);
            closedir(dir);
        }
    }
    if (fchdir(home_fd) == 0) rmdir(scratch.c_str());
}

// A pull by the computer begins a byte: the calculator's listen has its answer.
void after_write(std::uint16_t, std::uint8_t value) {
    reads_since_write = 0;
    if ((value & 0x03) != LINES_RELEASED) listening = false;
}

// The computer waits for a byte: the calculator sends its next one, or, with nothing left to
// send, the run ends as an interrupted one.
void after_read(std::uint16_t, std::uint8_t) {
    ++reads_since_write;
    if (in_program && listening && reads_since_write >= 2 &&
        (peer::last_output() & 0x03) == LINES_RELEASED) {
        if (sent == stream_size) throw LinkQuiet{};
        answer_listen();
    }
}

} // namespace

// The names below are the ones the linker's --wrap=exit gives: reserved, and required.
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" [[noreturn]] void __real_exit(int status);

extern "C" [[noreturn]] void __wrap_exit(int status) {
    if (in_program) {
        in_program = false;
        throw ProgramEnded{status};
    }
    __real_exit(status);
}
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The serial cable has no pause after each byte; the receiver above the bytes is the same.
    choose_cable("serial", nullptr);
    buffer = new std::uint8_t[BUFFER_SIZE];
    peer::reset({.stall_check = false, .after_write = after_write, .after_read = after_read});
    peer::run(calculator);

    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    scratch = std::string(base) + "/fuzz-receive-XXXXXX";
    if (mkdtemp(scratch.data()) == nullptr) finding("cannot create the scratch folder");
    scratch_fd = open(scratch.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    home_fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (scratch_fd < 0 || home_fd < 0) finding("cannot open the scratch folder");
    std::atexit(remove_scratch);

    // The receiver talks on standard output; the fuzzer reports on stderr.
    if (std::getenv("FUZZ_SHOW_OUTPUT") == nullptr &&
        std::freopen("/dev/null", "w", stdout) == nullptr) {
        finding("cannot silence stdout");
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t typed = std::min<std::size_t>(data[0] & 0x0F, size - 1);
    stream = data + 1 + typed;
    stream_size = size - 1 - typed;
    sent = 0;
    reads_since_write = 0;

    // Standard input: the typed answers, then the end of input.
    static char typed_answers[16];
    std::memcpy(typed_answers, data + 1, typed);
    std::FILE* const answers = fmemopen(typed_answers, typed, "r");
    if (answers == nullptr) finding("fmemopen failed");
    std::FILE* const console = stdin;
    stdin = answers;

    // A fresh process: an unwritten buffer, no packet yet, both lines released.
    std::memset(buffer, 0, BUFFER_SIZE);
    last_packet_size = 0;
    const std::size_t faults = peer::violations().size();

    if (fchdir(scratch_fd) != 0) finding("cannot enter the scratch folder");
    int status = 0;
    in_program = true;
    try {
        receive();
    } catch (const ProgramEnded& end) {
        status = end.status & 0xFF;
    } catch (const LinkQuiet&) {
        // As an interrupt would: the unfinished file goes.
        abandon_backup();
        remove_unfinished_file();
    }
    in_program = false;
    settle_script();

    stdin = console;
    std::fclose(answers);
    if (status != 0 && status != 1 && status != 255) finding("unexpected exit status");
    if (peer::violations().size() != faults) {
        finding("handshake fault:", peer::violations().back().c_str());
    }
    check_and_clear_scratch();
    if (fchdir(home_fd) != 0) finding("cannot leave the scratch folder");
    return 0;
}
