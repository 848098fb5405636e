// The sender: command line, one file at a time, end of transmission.
#include "pushvar/pushvar.h"

#include "atomicfile/atomicfile.h"
#include "cli/cli.h"
#include "link/link.h"
#include "varfile/varfile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// The variable files work in the packet buffer: it must hold a whole data section.
static_assert(BUFFER_SIZE >= DATA_SECTION_MAX);

namespace {

// A failed transfer; 255 to the shell.
constexpr int FAILED = -1;
// A run that sent what it could but passed over a path it was given.
constexpr int PASSED_OVER = 2;

using Bytes = std::vector<std::uint8_t>;

// Some path on the command line was missing, unreadable or not a variable file.
bool passed_over = false;

constexpr ProgramInfo PUSHVAR{
    .name = "pushvar",
    .usage = "pushvar [OPTION]... FILE...\n",
    .about = "Sends the variables in each variable FILE to a TI-85 over the link cable, in the\n"
             "order given, or restores a memory backup (which ends the run). Every file is\n"
             "checked whole before anything is sent. Put the calculator in its receive mode\n"
             "(LINK, RECV) first.\n",
    .options = "",
    .statuses = "  0    done, also after a restored backup\n"
                "  1    no FILE, a wrong command line, the link could not be set up, or the\n"
                "       calculator did not acknowledge a packet\n"
                "  2    done, but a FILE was missing, unreadable or not a variable file, or\n"
                "       a variable without data was passed over\n"
                "  255  a damaged file or a wrong checksum (then nothing is sent), or the\n"
                "       calculator refused or stopped the transfer\n",
    .more = "the manual page: man pushvar",
};

// The first header of a run may meet a calculator that is not listening yet.
void hint_at_first_header() {
    static bool armed = false;
    if (armed) return;
    armed = true;
    hint_after_wait("waiting for the calculator: is it in its receive mode (LINK, RECV)?");
}

[[noreturn]] void fail(const char* message) {
    say("%s", message);
    std::exit(FAILED);
}

[[noreturn]] void send_backup(const FileContents& contents, const char* path) {
    say("pushvar: Sending system backup from '%s'\n", printable(path).c_str());
    const auto put_part = [](std::uint8_t type, std::span<const std::uint8_t> part) {
        std::copy(part.begin(), part.end(), buffer);
        put_packet(type, static_cast<std::uint16_t>(part.size()));
    };
    hint_at_first_header();
    put_part(PACKET_VAR, contents.backup_parts[0]);
    const std::uint8_t answer = get_packet();
    hint_after_wait(nullptr);
    if (answer != PACKET_CTS) fail("pushvar: Calculator refused to receive system backup!\n");
    put_packet(PACKET_ACK, 0);
    // The calculator takes the three blocks back to back, each acknowledged inside put_packet.
    for (std::size_t block = 1; block < 4; ++block)
        put_part(PACKET_DATA, contents.backup_parts[block]);
    say("pushvar: Backup transfer OK!\n");
    std::exit(passed_over ? PASSED_OVER : 0);
}

// What a skip packet asks for. A skip without its reason byte leaves only stale bytes at the
// start of the buffer, so it counts as an unknown reason rather than whatever stands there.
void act_on_skip() {
    const std::uint8_t reason = last_packet_size != 0 ? buffer[0] : 0;
    switch (reason) {
    case REASON_SKIP:
        say("pushvar: Variable skipped!\n");
        return;
    case REASON_ABORT:
        fail("pushvar: Transfer aborted by calculator!\n");
    case REASON_OUT_OF_MEMORY:
        fail("pushvar: Calculator out of memory!\n");
    default:
        fail("pushvar: Transfer failed!\n");
    }
}

std::uint16_t send_entries(const FileContents& contents, const char* path) {
    std::uint16_t count = 0;
    for (const FileEntry& entry : contents.entries) {
        const std::span<const char> name_bytes{reinterpret_cast<const char*>(entry.name.data()),
                                               entry.name.size()};
        const std::string name = printable({name_bytes.data(), name_bytes.size()});
        // A DATA packet without data cannot carry a checksum, so no calculator would take it.
        if (entry.data_length == 0) {
            say("pushvar: Variable %s refused (no data), skipped!\n", name.c_str());
            passed_over = true;
            continue;
        }
        say("pushvar: Sending %8s, type %5s, from %12s\n", name.c_str(),
            var_types[entry.type].name.data(), printable(path).c_str());

        const std::uint16_t length =
            encode_var_header(entry.data_length, entry.type, name_bytes, {buffer, BUFFER_SIZE});
        hint_at_first_header();
        put_packet(PACKET_VAR, length);
        const std::uint8_t answer = get_packet();
        hint_after_wait(nullptr);

        switch (answer) {
        case PACKET_CTS:
            put_packet(PACKET_ACK, 0);
            std::copy(entry.data.begin(), entry.data.end(), buffer);
            put_packet(PACKET_DATA, entry.data_length);
            say("pushvar: OK!\n");
            ++count;
            break;
        case PACKET_SKIP:
            act_on_skip();
            break;
        default:
            fail("Invalid ACK packet!\n");
        }
    }
    return count;
}

enum class Verdict { send, pass_over, bad };

// A path that could not be `failed` ("opened" or "read") is passed over; errno tells why.
Verdict cannot_be(const std::string& shown, const char* failed) {
    const char* why = std::strerror(errno);
    say("pushvar: File '%s' cannot be %s: %s\n", shown.c_str(), failed, why);
    return Verdict::pass_over;
}

// Reads and checks one path, saying what is wrong with it, naming it.
Verdict load(const char* path, Bytes& bytes, FileContents& contents) {
    const std::string shown = printable(path);
    struct stat status;
    if (stat(path, &status) != 0) {
        // Only a path that leads nowhere does not exist; a directory that may not be searched
        // says why the file cannot be opened.
        if (errno != ENOENT && errno != ENOTDIR) return cannot_be(shown, "opened");
        say("pushvar: File '%s' does not exist!\n", shown.c_str());
        return Verdict::pass_over;
    }
    // The first FILE_SIZE_MAX bytes, all that a variable file can hold: read once, so that what
    // is checked is what is sent. "-" is a file of that name: pushvar sends only files.
    switch (read_whole_file(std::strcmp(path, "-") == 0 ? "./-" : path, FILE_SIZE_MAX, bytes)) {
    case whole_read::done:
        break;
    case whole_read::not_opened:
        return cannot_be(shown, "opened");
    case whole_read::not_read:
        return cannot_be(shown, "read");
    }
    contents = read_file(bytes);
    const char* problem = nullptr;
    switch (verdict(contents, problem)) {
    case FileCheck::ok:
        return Verdict::send;
    case FileCheck::no_signature:
        say("pushvar: File '%s' is not a variable file, skipped!\n", shown.c_str());
        return Verdict::pass_over;
    case FileCheck::unreadable:
        return cannot_be(shown, "read");
    case FileCheck::bad_checksum:
        say("pushvar: Grouped file '%s' has incorrect checksum!\n", shown.c_str());
        return Verdict::bad;
    case FileCheck::damaged:
        say("pushvar: File '%s' is damaged: %s\n", shown.c_str(), problem);
        return Verdict::bad;
    }
    return Verdict::bad;
}

// Sends a checked file from its copy in memory.
int send_checked(const FileContents& contents, const char* path) {
    if (contents.backup) send_backup(contents, path);
    return send_entries(contents, path);
}

} // namespace

int sendgroup(const char* path) {
    Bytes bytes;
    FileContents contents;
    switch (load(path, bytes, contents)) {
    case Verdict::send:
        return send_checked(contents, path);
    case Verdict::pass_over:
        passed_over = true;
        return 0;
    case Verdict::bad:
        break;
    }
    std::exit(FAILED);
}

int pushvar_main(int argc, char** argv) {
    open_standard_descriptors();
    const std::string default_note = "default cable: " + default_cable();
    CableOptions cable{.version_note = default_note.c_str()};
    const std::vector<char*> paths = read_command_line(argc, argv, PUSHVAR, nullptr, &cable);
    choose_cable(cable.cable, cable.device);
    say("Talvaro/Linux v1.1: sends variables to a TI-85\n"
        "By the Talvaro link tools authors. Free software; see the README for the terms.\n"
        "\n");
    // Nothing to send needs no cable.
    if (paths.empty()) {
        say("pushvar: No files specified - aborting!\n");
        usage_error(PUSHVAR);
    }
    // Every path is read and checked before the first packet: a bad file stops the whole run
    // before the calculator has been sent anything. Files can be checked without a cable, so
    // the cable comes after them; only a privileged install reads them after its drop.
    std::vector<Bytes> files(paths.size());
    std::vector<FileContents> contents(paths.size());
    std::vector<bool> sendable(paths.size(), false);
    const bool privileged = runs_privileged();
    if (privileged) init_link();
    allocate_buffer();
    bool bad = false;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        switch (load(paths[i], files[i], contents[i])) {
        case Verdict::send:
            sendable[i] = true;
            break;
        case Verdict::pass_over:
            passed_over = true;
            break;
        case Verdict::bad:
            bad = true;
            break;
        }
    }
    if (bad) std::exit(FAILED);
    // With every file passed over there is nothing to send, and no cable to open for it.
    if (std::find(sendable.begin(), sendable.end(), true) == sendable.end()) {
        say("pushvar: 0 variables sent\n");
        return passed_over ? PASSED_OVER : 0;
    }
    if (!privileged) init_link();

    int total = 0;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        if (sendable[i]) total += send_checked(contents[i], paths[i]);
    }

    if (total > 0) {
        put_packet(PACKET_EOT, 0);
        get_packet(); // the calculator's answer, whatever it is, ends the exchange
    }
    say("pushvar: %d variables sent\n", total);
    return passed_over ? PASSED_OVER : 0;
}
