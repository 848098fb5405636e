// vti85: a virtual TI-85 on the far end of the virtual link cable.
//
// It runs the calculator's half of the link, bit by bit, against pullvar or pushvar built on
// the virtual port layer: the same handshake and packets a real calculator uses, in a separate
// process that shares the two lines through a small file. In `send` mode it sends variable
// files the way a calculator sends variables (then the end of transmission); in `receive` mode
// it takes what pushvar sends and saves each variable it accepts as a variable file, and answers
// a screen request (pullscreen) with its screen, which shows the last variable received.
#include "atomicfile/atomicfile.h"
#include "calc/calc.h"
#include "cli/cli.h"
#include "link/link.h"
#include "link/ports/virtual_wire.h"
#include "link/wire.h"
#include "varfile/varfile.h"
#include "vti85/session.h"
#include "vti85/tty_mode.h"

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

// The calculator's own memory, where the variable-file code reads files and checks what it
// writes. The calculator model keeps its packets elsewhere and needs no packet buffer.
std::array<std::uint8_t, DATA_SECTION_MAX> memory;

constexpr ProgramInfo VTI85{
    .name = "vti85",
    .usage = "vti85 [OPTION]... send FILE...\n"
             "   or: vti85 [OPTION]... receive DIR\n",
    .about = "A virtual TI-85 on the virtual link cable, for pullvar and pushvar with\n"
             "--cable=virtual. Start it first, then the link program. The cable is the file\n"
             "vti85-link in a folder only its user may write: $XDG_RUNTIME_DIR, or else\n"
             "vti85-UID in $TMPDIR or /tmp.\n"
             "\n"
             "  send FILE...    send the variables and backups in FILE... to pullvar, then end\n"
             "                  the transmission (a backup ends the transfer at once)\n"
             "  receive DIR     take what pushvar sends; save each accepted variable in DIR;\n"
             "                  answer pullscreen with a screen showing the last one\n",
    .options = "  --answer=LIST  receive: answers to successive variables, comma-separated, the\n"
               "                 last one repeating: accept, skip, memory, abort, refuse\n"
               "                 (default accept)\n"
               "  --corrupt-once send: spoil the checksum of the first data packet once\n"
               "  --no-ack       receive: answer the first data packet with an error\n"
               "  --hang         receive: stop answering for good when the first data packet\n"
               "                 begins, like a calculator switched off mid-transfer\n"
               "  --give-up=SECONDS  give a transfer up when the computer says nothing for\n"
               "                 SECONDS in it (default 60; in the middle of a byte on the\n"
               "                 two-wire cable at most 5), then wait for the next computer\n"
               "  --stay         receive: after the end of a transmission, stay for the next\n"
               "                 computer (pushvar or pullscreen) until interrupted\n"
               "  --tty          be on TI's gray cable instead: offer a pseudo-terminal, linked\n"
               "                 as vti85-tty in that folder, for pullvar and pushvar with\n"
               "                 --cable=virtual --device=vti85-tty\n",
    .statuses = "  0    its part of the transfer is done\n"
                "  1    a wrong command line, a FILE or DIR cannot be used, or the cable cannot\n"
                "       be laid\n",
    .more = "the manual page: man vti85",
};

VirtualWire* wire = nullptr;
bool hung = false; // the script has stopped answering for good (--hang)
// What the calculator shows. Each session is a process of its own, so this lives in memory
// shared with them all: a screen request after a transfer sees what that transfer left.
peer::Screen* screen = nullptr;

struct Settings {
    bool sending = false;
    std::vector<std::string> paths; // files to send, or the directory to receive into
    std::vector<std::string> answers{"accept"};
    bool corrupt_once = false;
    bool no_ack = false;
    bool hang = false;
    bool tty = false;
    bool stay = false;
    int give_up_s = 60;
};
Settings settings;

std::vector<std::string> split(const std::string& list) {
    std::vector<std::string> items;
    std::size_t start = 0;
    for (std::size_t comma; (comma = list.find(',', start)) != std::string::npos;) {
        items.push_back(list.substr(start, comma - start));
        start = comma + 1;
    }
    items.push_back(list.substr(start));
    return items;
}

// One of vti85's own options; false for any other.
bool own_option(const char* argument) {
    const std::string option = argument;
    if (option == "--corrupt-once") {
        settings.corrupt_once = true;
    } else if (option == "--no-ack") {
        settings.no_ack = true;
    } else if (option == "--hang") {
        settings.hang = true;
    } else if (option == "--tty") {
        settings.tty = true;
    } else if (option == "--stay") {
        settings.stay = true;
    } else if (option.rfind("--give-up=", 0) == 0) {
        const std::string seconds = option.substr(10);
        const bool digits = !seconds.empty() && seconds.size() <= 5 &&
                            seconds.find_first_not_of("0123456789") == std::string::npos;
        settings.give_up_s = digits ? std::stoi(seconds) : 0;
        if (settings.give_up_s < 1 || settings.give_up_s > 86400) {
            // One line for one mistake: it says all there is to say.
            std::printf("vti85: --give-up takes a number of seconds from 1 to 86400\n");
            std::exit(1);
        }
    } else if (option.rfind("--answer=", 0) == 0) {
        settings.answers = split(option.substr(9));
        for (const std::string& answer : settings.answers) {
            if (answer != "accept" && answer != "skip" && answer != "memory" && answer != "abort" &&
                answer != "refuse") {
                std::printf("vti85: unknown answer '%s': choose accept, skip, memory, abort or "
                            "refuse\n",
                            printable(answer).c_str());
                std::exit(1);
            }
        }
    } else {
        return false;
    }
    return true;
}

bool parse(int argc, char** argv) {
    const std::vector<char*> operands = read_command_line(argc, argv, VTI85, own_option);
    if (operands.empty()) return false;
    const std::string mode = operands[0];
    settings.sending = mode == "send";
    if (mode != "send" && mode != "receive") return false;
    settings.paths.assign(operands.begin() + 1, operands.end());
    return settings.sending ? !settings.paths.empty() : settings.paths.size() == 1;
}

// A variable's name as it may be printed (up to a zero byte, as the name buffer holds it): names
// come from files and from the computer, and a control byte must not reach the terminal.
std::string shown(const VarHeader& header) {
    return printable(header.name.data());
}

// ---- Sending, as a calculator sends to pullvar ----

// A file to send, read whole and checked: nullptr, or why it cannot be sent.
const char* load(const std::string& path, std::vector<std::uint8_t>& bytes,
                 FileContents& contents) {
    if (read_whole_file(path.c_str(), FILE_SIZE_MAX, bytes) != whole_read::done) {
        return std::strerror(errno);
    }
    contents = read_file(bytes);
    const char* problem = nullptr;
    switch (verdict(contents, problem)) {
    case FileCheck::ok:
        return nullptr;
    case FileCheck::no_signature:
        return "not a variable file";
    case FileCheck::bad_checksum:
        return "its checksum does not match its data";
    case FileCheck::damaged:
    case FileCheck::unreadable:
        break;
    }
    return problem != nullptr ? problem : "damaged";
}

// Every file to send is read and checked before the calculator says it is ready; the first
// that cannot be sent is named, with the reason.
bool files_usable() {
    std::vector<std::uint8_t> bytes;
    FileContents contents;
    for (const std::string& path : settings.paths) {
        if (const char* why = load(path, bytes, contents)) {
            std::printf("vti85: cannot send %s: %s\n", printable(path).c_str(), why);
            return false;
        }
    }
    return true;
}

int corruptions() {
    const bool spoil = settings.corrupt_once;
    settings.corrupt_once = false;
    return spoil ? 1 : 0;
}

peer::Bytes bytes_of(std::span<const std::uint8_t> part) {
    return {part.begin(), part.end()};
}

// Returns false when the transfer ended (a backup, or the computer aborted).
bool send_backup(const FileContents& contents, const char* path) {
    std::printf("vti85: sending the backup in %s\n", path);
    peer::send(PACKET_VAR, bytes_of(contents.backup_parts[0]));
    if (peer::receive().type != PACKET_CTS) {
        std::printf("vti85: the computer refused the backup\n");
        return false;
    }
    peer::send(PACKET_ACK);
    for (std::size_t block = 1; block < 4; ++block)
        peer::send(PACKET_DATA, bytes_of(contents.backup_parts[block]), {.corrupt = corruptions()});
    std::printf("vti85: backup sent\n");
    return false;
}

bool send_variables(const FileContents& contents) {
    for (const FileEntry& entry : contents.entries) {
        const std::string name(entry.name.begin(), entry.name.end());
        std::printf("vti85: sending %s (%s)\n", printable(name.c_str()).c_str(),
                    var_types[entry.type].name.data());
        peer::send(PACKET_VAR, peer::var_header(entry.data_length, entry.type, name));
        const peer::Packet answer = peer::receive();
        if (answer.type == PACKET_SKIP) {
            const int reason = answer.data.empty() ? 0 : answer.data[0];
            std::printf("vti85: the computer skipped it (reason %d)\n", reason);
            if (reason != REASON_SKIP) return false;
            continue;
        }
        if (answer.type != PACKET_CTS) {
            std::printf("vti85: unexpected answer 0x%02X\n", answer.type);
            return false;
        }
        peer::send(PACKET_ACK);
        peer::send(PACKET_DATA, bytes_of(entry.data), {.corrupt = corruptions()});
    }
    return true;
}

void send_all() {
    std::vector<std::uint8_t> bytes;
    FileContents contents;
    for (const std::string& path : settings.paths) {
        if (const char* why = load(path, bytes, contents)) {
            std::printf("vti85: %s is not a usable variable file: %s\n", path.c_str(), why);
            continue;
        }
        const bool go_on =
            contents.backup ? send_backup(contents, path.c_str()) : send_variables(contents);
        if (!go_on) return;
    }
    peer::send(PACKET_EOT);
    peer::receive();
    std::printf("vti85: end of transmission\n");
}

// ---- Receiving, as a calculator takes what pushvar sends ----

void receive_backup(const peer::Packet& header) {
    std::printf("vti85: receiving a backup\n");
    peer::send(PACKET_CTS);
    peer::receive();
    bool ok = begin_backup(header.data.data(), static_cast<std::uint16_t>(header.data.size()));
    for (int block = 0; block < 3; ++block) {
        const peer::Packet data = peer::receive();
        ok = ok && add_backup_block(data.data.data(), static_cast<std::uint16_t>(data.data.size()));
    }
    ok = ok && finish_backup(memory);
    std::printf(ok ? "vti85: saved %s\n" : "vti85: could not save %s\n", BACKUP_FILE_NAME);
}

// Returns false when the transfer is over.
bool receive_variable(const peer::Packet& packet, std::size_t index) {
    VarHeader header{};
    const HeaderFault fault =
        read_var_header(packet.data.data(), static_cast<std::uint16_t>(packet.data.size()), header);
    const std::string& answer = settings.answers[std::min(index, settings.answers.size() - 1)];
    std::printf("vti85: offered %s (%s): %s\n", shown(header).c_str(),
                fault == HeaderFault::none ? var_types[header.type].name.data() : describe(fault),
                answer.c_str());
    if (answer == "skip" || answer == "memory" || answer == "abort") {
        const std::uint8_t reason = answer == "skip"     ? REASON_SKIP
                                    : answer == "memory" ? REASON_OUT_OF_MEMORY
                                                         : REASON_ABORT;
        peer::send(PACKET_SKIP, {reason});
        return reason == REASON_SKIP;
    }
    if (answer == "refuse" || fault != HeaderFault::none) {
        peer::send(PACKET_ERR);
        return false;
    }
    peer::send(PACKET_CTS);
    peer::receive();
    if (settings.hang) {
        std::printf("vti85: no longer answering\n");
        hung = true;
        peer::hang();
    }
    const bool refuse_data = settings.no_ack;
    settings.no_ack = false;
    const peer::Packet data = peer::receive(refuse_data ? PACKET_ERR : PACKET_ACK);
    if (refuse_data) return false;
    *screen = peer::received_screen(header.type,
                                    std::string(header.name.data(), header.name_length), data.data);
    PathBuffer path{};
    file_name(header, path);
    const bool saved = data.data.size() == header.data_length &&
                       write_variable(path.data(), header, data.data.data(), memory);
    std::printf(saved ? "vti85: saved %s\n" : "vti85: could not save %s\n",
                printable(path.data()).c_str());
    return true;
}

void receive_all() {
    for (std::size_t index = 0;;) {
        const peer::Packet packet = peer::receive();
        if (packet.type == PACKET_SCREEN) {
            // Silent on a calculator: no key to press, nothing shown.
            peer::send(PACKET_ACK);
            peer::send(PACKET_DATA, {screen->begin(), screen->end()});
            std::printf("vti85: sent its screen\n");
            continue;
        }
        if (packet.type == PACKET_EOT) {
            peer::send(PACKET_ACK);
            std::printf("vti85: end of transmission\n");
            return;
        }
        if (packet.type != PACKET_VAR || packet.data.size() < 3) {
            std::printf("vti85: unexpected packet 0x%02X\n", packet.type);
            continue;
        }
        if (packet.data[2] == TYPE_BACKUP) {
            receive_backup(packet);
            return;
        }
        if (!receive_variable(packet, index++)) return;
    }
}

// ---- The wire ----

// Where the wire lies, set before any handler can run.
std::string wire_path;

void release_and_leave(int signal) {
    end_session(signal);
    if (wire != nullptr) wire->calc_pulls.store(0);
    unlink(wire_path.c_str());
    remove_unfinished_file();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

bool lay_wire() {
    wire_path = own_place(VIRTUAL_WIRE_NAME);
    if (wire_path.empty()) return false;
    // Never through a link, whoever planted it: the wire is a file of its own.
    const int fd = open(wire_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        std::printf("vti85: cannot create %s: %s\n", wire_path.c_str(), std::strerror(errno));
        return false;
    }
    // One calculator per cable: a second one would reset the wire under the first. The lock
    // lasts as long as the process (the descriptor stays open).
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        std::printf("vti85: another vti85 is already using %s\n", wire_path.c_str());
        close(fd);
        return false;
    }
    if (ftruncate(fd, sizeof(VirtualWire)) != 0) {
        std::printf("vti85: cannot size %s: %s\n", wire_path.c_str(), std::strerror(errno));
        return false;
    }
    void* mapped = mmap(nullptr, sizeof(VirtualWire), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mapped == MAP_FAILED) return false;
    wire = static_cast<VirtualWire*>(mapped);
    // A cable left by an earlier calculator is no cable until it is reset.
    wire->magic.store(0);
    wire->pc_output.store(LINES_RELEASED);
    wire->calc_pulls.store(0);
    wire->pc_reads.store(0);
    wire->pc_writes.store(0);
    wire->writes_seen.store(0);
    wire->changes.store(0);
    wire->magic.store(VIRTUAL_WIRE_MAGIC);
    return true;
}

std::int64_t now_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

// A computer that has said nothing for this long in the middle of a byte has gone away: a link
// program never pauses there.
constexpr int BYTE_GIVE_UP_MS = 5000;

// True when the computer, heard at `heard_at` (ms; -1: not yet), has been silent too long.
bool computer_gone(std::int64_t heard_at) {
    if (heard_at < 0 || hung) return false;
    const std::int64_t silent = now_ms() - heard_at;
    const int limit = settings.give_up_s * 1000;
    return silent >= limit ||
           (peer::byte_under_way() && silent >= std::min(limit, BYTE_GIVE_UP_MS));
}

// Watches the computer's side of the wire and lets the calculator react, until its work is
// done (true) or the computer has gone away in the middle of it (false). `writes` and `reads`
// are the computer's counts that the calculator has already answered.
bool drive(std::uint32_t writes, std::uint64_t reads) {
    std::int64_t heard_at = -1;
    for (int idle = 0; !peer::script_done();) {
        const std::uint32_t seen = wire->changes.load();
        const std::uint32_t now = wire->pc_writes.load();
        if (now != writes) {
            writes = now;
            peer::wire_write(wire->pc_output.load());
            wire->writes_seen.store(now);
        } else if (wire->pc_reads.load() != reads) {
            peer::wire_read();
        } else {
            // Spin briefly, then sleep until the computer does something.
            if (++idle >= SPIN_BEFORE_SLEEP) {
                idle = 0;
                wire_wait(*wire, seen);
                if (computer_gone(heard_at)) {
                    wire->calc_pulls.store(0);
                    wire_changed(*wire);
                    std::printf("vti85: the computer said nothing for %d s mid-transfer: "
                                "transfer given up, waiting for the next computer\n",
                                static_cast<int>((now_ms() - heard_at) / 1000));
                    return false;
                }
            }
            continue;
        }
        idle = 0;
        heard_at = now_ms();
        wire->calc_pulls.store(peer::calculator_pulls());
        wire_changed(*wire);
        // Only reads counted after this point have seen what was just published.
        reads = wire->pc_reads.load();
    }
    wire->calc_pulls.store(peer::calculator_pulls());
    wire_changed(*wire);
    return true;
}

// One computer's session on the wire: a fresh calculator, until its transfer ends or the
// computer goes away.
int wire_session(int index) {
    // The first session counts from the reset, so that a program that attached before it began
    // has its first writes and reads answered; a later one starts where the last left off.
    const std::uint32_t writes = index == 0 ? 0 : wire->pc_writes.load();
    const std::uint64_t reads = index == 0 ? 0 : wire->pc_reads.load();
    wire->writes_seen.store(writes);
    peer::reset({.stall_check = false});
    peer::run(settings.sending ? send_all : receive_all);
    if (!drive(writes, reads)) return SESSION_GAVE_UP;
    return settings.stay ? SESSION_AGAIN : 0;
}

} // namespace

int main(int argc, char** argv) {
    open_standard_descriptors();
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (!parse(argc, argv)) usage_error(VTI85);
    if (settings.sending && !files_usable()) return 1;
    if (!settings.sending && chdir(settings.paths[0].c_str()) != 0) {
        std::printf("vti85: cannot use %s: %s\n", settings.paths[0].c_str(), std::strerror(errno));
        return 1;
    }
    if (!settings.sending && faccessat(AT_FDCWD, ".", W_OK | X_OK, AT_EACCESS) != 0) {
        std::printf("vti85: cannot save files in %s: %s\n", settings.paths[0].c_str(),
                    std::strerror(errno));
        return 1;
    }
    void* shared = mmap(nullptr, sizeof(peer::Screen), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) {
        std::printf("vti85: cannot make its screen: %s\n", std::strerror(errno));
        return 1;
    }
    screen = static_cast<peer::Screen*>(shared);
    *screen = peer::waiting_screen();
    if (settings.tty) {
        return run_on_tty(settings.sending ? send_all : receive_all, settings.give_up_s * 1000,
                          settings.stay);
    }
    if (!lay_wire()) return 1;
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        std::signal(signal, release_and_leave);
    std::printf("vti85: virtual TI-85 ready on %s\n", wire_path.c_str());

    const int status = serve_sessions(wire_session);
    unlink(wire_path.c_str());
    return status;
}
