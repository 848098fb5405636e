// The receiver: listening loop, variable path and backup path.
#include "pullvar/pullvar.h"

#include "cli/cli.h"
#include "link/bytes.h"
#include "link/link.h"
#include "varfile/varfile.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
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

constexpr ProgramInfo PULLVAR{
    .name = "pullvar",
    .usage = "pullvar [OPTION]... [DIR]\n",
    .about = "Receives the variables and memory backups sent from a TI-85 over the link cable\n"
             "and saves each as a variable file in DIR, or in the current directory. Start it\n"
             "first, then send from the calculator (LINK, SEND). An existing file is replaced\n"
             "only when you answer y to \"overwrite (y/n/x)?\"; n keeps it, x ends the run.\n",
    .options = "",
    .statuses = "  0    the calculator ended the transmission, or a backup was saved\n"
                "  1    the link could not be set up, DIR cannot be used, a wrong command line,\n"
                "       or the calculator did not acknowledge a packet\n"
                "  2    the calculator ended the transmission, but a variable could not be\n"
                "       saved (each is named above)\n"
                "  255  the transfer was aborted (x) or failed\n",
    .more = "the manual page: man pullvar",
};

// Every failed or aborted run ends here: no unfinished file outlives it.
[[noreturn]] void fail() {
    abandon_file();
    std::exit(-1);
}

// errno still tells why the variable-file library gave up.
[[noreturn]] void cannot_save(const char* path) {
    const char* why = std::strerror(errno);
    say("pullvar: Cannot save %s (%s)!\n", printable(path).c_str(), why);
    fail();
}

// The calculator acknowledges the skip packet; anything else ends the run in the link layer.
void refuse(std::uint8_t reason) {
    buffer[0] = reason;
    put_packet(PACKET_SKIP, 1);
}

enum class Answer { overwrite, skip, abort };

// Bytes at one prompt that answer nothing before the input is taken for x: standard input that
// never ends and never answers (/dev/zero) must not ask for ever.
constexpr int UNUSABLE_BYTES_MAX = 100;

// One character per answer. Line ends, carriage returns, spaces and tabs (what follows an
// answer typed at a terminal) are passed over without asking again; anything else but y, n or
// x asks again. The end of input keeps the existing file; UNUSABLE_BYTES_MAX bytes that answer
// nothing are taken for x.
Answer ask_overwrite() {
    int unusable = 0;
    for (;;) {
        say("pullvar: Duplicate filename - overwrite (y/n/x)? ");
        int answer;
        while ((answer = std::getchar()) == '\n' || answer == '\r' || answer == ' ' ||
               answer == '\t') {
            if (++unusable == UNUSABLE_BYTES_MAX) return Answer::abort;
        }
        switch (answer) {
        case 'y':
        case 'Y':
            return Answer::overwrite;
        case 'n':
        case 'N':
        case EOF:
            return Answer::skip;
        case 'x':
        case 'X':
            return Answer::abort;
        default:
            if (++unusable == UNUSABLE_BYTES_MAX) return Answer::abort;
            break;
        }
    }
}

// lstat: a dangling symbolic link is a file in the way like any other.
bool exists(const char* path) {
    struct stat status;
    return lstat(path, &status) == 0;
}

// Whether `path` may be written: nothing stands there, or the user says to overwrite it. A skip
// is sent and said (of `what`, "Variable" or "Backup"); an abort ends the run.
bool may_write(const char* path, const char* what) {
    if (!exists(path)) return true;
    switch (ask_overwrite()) {
    case Answer::overwrite:
        break;
    case Answer::skip:
        refuse(REASON_SKIP);
        say("pullvar: %s skipped!\n", what);
        return false;
    case Answer::abort:
        refuse(REASON_ABORT);
        say("pullvar: Transfer aborted!\n");
        fail();
    }
    return true;
}

// Creates the file before the data are asked for. False, with the refusal sent and said, when
// it cannot be saved there: the calculator keeps its data and may go on with the next variable.
int unsaved = 0; // variables that could not be saved, for the status

bool can_save(const char* path) {
    if (begin_file(path)) return true;
    ++unsaved;
    const char* why = std::strerror(errno);
    say("pullvar: Cannot save %s (%s), skipped!\n", printable(path).c_str(), why);
    refuse(REASON_SKIP);
    return false;
}

// Asks the calculator for the data; a request it does not acknowledge ends the run.
void request_data() {
    put_packet(PACKET_CTS, 0);
    if (get_packet() != PACKET_ACK) {
        say("pullvar: Data request not acknowledged!\n");
        fail();
    }
}

// The name a variable header in the buffer announces, as far as the packet holds it, for a
// message: bytes that a terminal would act on are shown as \xNN.
std::string announced_name() {
    if (last_packet_size < 4) return {};
    const std::size_t held = std::min<std::size_t>(last_packet_size, BUFFER_SIZE) - 4;
    const std::size_t length = std::min<std::size_t>(buffer[3], held);
    return printable({reinterpret_cast<const char*>(buffer + 4), length});
}

// One announced variable, from its header in the buffer to its saved file. True when saved.
bool receive_variable() {
    VarHeader header{};
    PathBuffer path{};
    const HeaderFault fault = read_var_header(buffer, last_packet_size, header);
    if (fault != HeaderFault::none) {
        say("pullvar: Variable %s refused (%s), skipped!\n", announced_name().c_str(),
            describe(fault));
        refuse(REASON_SKIP);
        return false;
    }
    // Cannot fail: read_var_header has refused every name that makes no file name.
    file_name(header, path);

    const std::string name = printable({header.name.data(), header.name_length});
    // A picture or a PrtScrn screen: say how to look at it.
    std::string view;
    if (header.type == TYPE_PICTURE || header.type == TYPE_SCREEN) {
        view = " (to view: picvar " + printable(path.data()) + " " +
               (name.empty() ? "screen" : name) + ".png)";
    }
    say("pullvar: Receiving %8s, type %5s, to %12s%s\n", name.c_str(),
        var_types[header.type].name.data(), printable(path.data()).c_str(), view.c_str());

    if (!may_write(path.data(), "Variable") || !can_save(path.data())) return false;

    request_data();
    // A file is written only from data that matches its header.
    const std::uint8_t type = get_packet();
    if (type != PACKET_DATA) {
        say("pullvar: Packet type 0x%02X received instead of the data, nothing saved!\n", type);
        fail();
    }
    if (last_packet_size != header.data_length) {
        say("pullvar: Data of %u bytes received, %u announced, nothing saved!\n",
            unsigned{last_packet_size}, unsigned{header.data_length});
        fail();
    }
    if (!write_variable(header, buffer, {buffer, BUFFER_SIZE})) cannot_save(path.data());
    say("pullvar: OK!\n");
    return true;
}

// Why the backup header in the buffer cannot be stored, or nullptr. The limit is the
// variable-file library's own, which the buffer holds whole: a backup let through here is never
// refused there.
const char* backup_problem() {
    static char problem[64];
    if (last_packet_size != BACKUP_HEADER_LENGTH) {
        std::snprintf(problem, sizeof problem, "header of %u bytes, not %u",
                      unsigned{last_packet_size}, unsigned{BACKUP_HEADER_LENGTH});
        return problem;
    }
    // An empty block's DATA packet could not be framed with a checksum.
    for (const std::size_t at : {0, 3, 5}) {
        if (read_le16({buffer + at, 2}) == 0) return "a block without data";
    }
    const unsigned long section = backup_section_length({buffer, BACKUP_HEADER_LENGTH});
    if (section > DATA_SECTION_MAX) {
        std::snprintf(problem, sizeof problem, "%lu bytes in all, more than %zu", section,
                      DATA_SECTION_MAX);
        return problem;
    }
    return nullptr;
}

// A backup announced by the header in the buffer. Returns only when it is refused (by the user
// too); otherwise it ends the process, with status 0 once "backup.85b" is saved.
void receive_backup() {
    if (const char* problem = backup_problem()) {
        say("pullvar: Backup refused (%s), skipped!\n", problem);
        refuse(REASON_SKIP);
        return;
    }

    say("pullvar: Receiving system backup to '%s'\n", BACKUP_FILE_NAME);
    // The only full backup the user has is replaced only when the user says so.
    if (!may_write(BACKUP_FILE_NAME, "Backup") || !can_save(BACKUP_FILE_NAME)) return;
    if (!begin_backup(buffer, last_packet_size)) cannot_save(BACKUP_FILE_NAME);
    // The block lengths the header announced, before the blocks overwrite it in the buffer.
    const std::uint16_t announced[3]{read_le16({buffer, 2}), read_le16({buffer + 3, 2}),
                                     read_le16({buffer + 5, 2})};
    request_data();
    for (int block = 1; block <= 3; ++block) {
        const std::uint8_t type = get_packet();
        if (type != PACKET_DATA) {
            say("pullvar: Packet type 0x%02X received instead of backup block %d, nothing "
                "saved!\n",
                type, block);
            fail();
        }
        // A backup is saved only as its header describes it, as a variable is.
        if (last_packet_size != announced[block - 1]) {
            say("pullvar: Backup block %d of %u bytes received, %u announced, nothing saved!\n",
                block, unsigned{last_packet_size}, unsigned{announced[block - 1]});
            fail();
        }
        // A block longer than the buffer holds is refused there, before it is read.
        if (!add_backup_block(buffer, last_packet_size)) cannot_save(BACKUP_FILE_NAME);
    }
    if (!finish_backup({buffer, BUFFER_SIZE})) cannot_save(BACKUP_FILE_NAME);
    say("pullvar: Backup received OK!\n");
    std::exit(0);
}

} // namespace

void receive() {
    say("pullvar: Listening for packets...\n");
    int received = 0;
    hint_after_wait("waiting for the calculator: choose LINK, SEND on it and pick what to send");
    for (;;) {
        const std::uint8_t type = get_packet();
        hint_after_wait(nullptr);
        if (type == PACKET_EOT) {
            put_packet(PACKET_ACK, 0);
            break;
        }
        // Consumed, and acknowledged by the link layer if it carried data. A variable header
        // packet without data announces nothing: the buffer still holds an earlier packet.
        if (type != PACKET_VAR || last_packet_size == 0) {
            say("pullvar: Invalid packet received!\n");
            continue;
        }
        // A header too short to hold a type code is refused as a variable's.
        if (last_packet_size > 2 && buffer[2] == TYPE_BACKUP) {
            receive_backup();
        } else if (receive_variable()) {
            ++received;
        }
    }
    say("pullvar: %d variables received\n", received);
}

int pullvar_main(int argc, char** argv) {
    open_standard_descriptors();
    const std::string default_note = "default cable: " + default_cable();
    CableOptions cable{.version_note = default_note.c_str()};
    const std::vector<char*> operands = read_command_line(argc, argv, PULLVAR, nullptr, &cable);
    choose_cable(cable.cable, cable.device);
    if (operands.size() > 1) usage_error(PULLVAR);
    say("Talvaro/Linux v1.1: receives variables from a TI-85\n"
        "By the Talvaro link tools authors. Free software; see the README for the terms.\n"
        "\n");
    // The directory is entered with the user's own rights (a directory root may enter is not
    // one the user may), before the cable unless a privileged install must first drop its
    // privilege.
    const bool privileged = runs_privileged();
    if (privileged) init_link();
    if (!operands.empty() && chdir(operands[0]) != 0) {
        // Before printable, which allocates: arguments are evaluated in no set order.
        const char* why = std::strerror(errno);
        say("pullvar: Cannot use directory %s (%s)!\n", printable(operands[0]).c_str(), why);
        std::exit(1);
    }
    // A folder that takes no file would lose every variable sent.
    if (faccessat(AT_FDCWD, ".", W_OK | X_OK, AT_EACCESS) != 0) {
        const char* why = std::strerror(errno);
        say("pullvar: Cannot save files in %s (%s)!\n",
            printable(operands.empty() ? "the current directory" : operands[0]).c_str(), why);
        std::exit(1);
    }
    if (!privileged) init_link();
    // Neither an interrupt nor an exit from the link layer may leave a half-written file behind.
    on_interrupt(remove_unfinished_file);
    std::atexit(remove_unfinished_file);
    unsaved = 0;
    receive();
    return unsaved == 0 ? 0 : 2;
}
