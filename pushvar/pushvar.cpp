// The sender: command line, one file at a time, end of transmission.
#include "pushvar/pushvar.h"

#include "link/link.h"
#include "varfile/varfile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/stat.h>
#include <vector>

namespace {

struct Closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, Closer>;

// A failed transfer; 255 to the shell.
constexpr int FAILED = -1;

constexpr ProgramInfo PUSHVAR{
    .name = "pushvar",
    .usage = "pushvar [OPTION]... FILE...\n",
    .about = "Sends the variables in each variable FILE to a TI-85 over the link cable, in the\n"
             "order given, or restores a memory backup (which ends the run). Each file is\n"
             "checked whole before anything of it is sent. Put the calculator in its receive\n"
             "mode (LINK, RECV) first.\n",
    .options = "",
    .statuses = "  0    done, also after a restored backup\n"
                "  1    no FILE, a wrong command line, the link could not be set up, or the\n"
                "       calculator did not acknowledge a packet\n"
                "  255  a damaged file or a wrong checksum, or the calculator refused or\n"
                "       stopped the transfer\n",
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
    std::fputs(message, stdout);
    std::exit(FAILED);
}

// The file passed its check but a read of it failed later: it changed or vanished meanwhile.
[[noreturn]] void read_failed(const char* path) {
    std::printf("pushvar: File '%s' cannot be read: %s\n", path, std::strerror(errno));
    std::exit(FAILED);
}

[[noreturn]] void send_backup(File file, const char* path) {
    say("pushvar: Sending system backup from '%s'\n", path);
    std::uint16_t length = 0;
    if (!read_backup_header(file.get(), length)) read_failed(path);
    hint_at_first_header();
    put_packet(PACKET_VAR, length);
    const std::uint8_t answer = get_packet();
    hint_after_wait(nullptr);
    if (answer != PACKET_CTS) fail("pushvar: Calculator refused to receive system backup!\n");
    put_packet(PACKET_ACK, 0);
    // The calculator takes the three blocks back to back, each acknowledged inside put_packet.
    for (int block = 0; block < 3; ++block) {
        if (!read_backup_block(file.get(), length)) read_failed(path);
        put_packet(PACKET_DATA, length);
    }
    std::fputs("pushvar: Backup transfer OK!\n", stdout);
    file.reset();
    std::exit(0);
}

// What a skip packet asks for. A skip without its reason byte leaves only stale bytes at the
// start of the buffer, so it counts as an unknown reason rather than whatever stands there.
void act_on_skip() {
    const std::uint8_t reason = last_packet_size != 0 ? buffer[0] : 0;
    switch (reason) {
    case REASON_SKIP:
        std::fputs("pushvar: Variable skipped!\n", stdout);
        return;
    case REASON_ABORT:
        fail("pushvar: Transfer aborted by calculator!\n");
    case REASON_OUT_OF_MEMORY:
        fail("pushvar: Calculator out of memory!\n");
    default:
        fail("pushvar: Transfer failed!\n");
    }
}

std::uint16_t send_entries(std::FILE* file, const char* path) {
    const long end = data_section_end(file);
    if (end < 0) read_failed(path);
    std::uint16_t count = 0;
    long position = OFFSET_DATA;
    do {
        // read_entry refuses a name, type or length beyond the limits, should the file have
        // changed since its check.
        VarHeader header{};
        if (!read_entry(file, position, header)) read_failed(path);
        say("pushvar: Sending %8s, type %5s, from %12s\n", header.name.data(),
            var_types[header.type].data(), path);

        // The variable header goes out as the calculator expects it: D, T, K, the name.
        buffer[0] = static_cast<std::uint8_t>(header.data_length & 0xFF);
        buffer[1] = static_cast<std::uint8_t>(header.data_length >> 8);
        buffer[2] = header.type;
        buffer[3] = header.name_length;
        std::memcpy(buffer + 4, header.name.data(), header.name_length);
        hint_at_first_header();
        put_packet(PACKET_VAR, static_cast<std::uint16_t>(header.name_length + 4));
        const std::uint8_t answer = get_packet();
        hint_after_wait(nullptr);

        switch (answer) {
        case PACKET_CTS:
            put_packet(PACKET_ACK, 0);
            if (!read_entry_data(file, header.data_length)) read_failed(path);
            put_packet(PACKET_DATA, header.data_length);
            std::fputs("pushvar: OK!\n", stdout);
            ++count;
            break;
        case PACKET_SKIP:
            if (!skip_entry_data(file, header.data_length)) read_failed(path);
            act_on_skip();
            break;
        default:
            fail("Invalid ACK packet!\n");
        }

        position = std::ftell(file);
        if (position < 0) read_failed(path);
    } while (position < end);
    return count;
}

} // namespace

int sendgroup(const char* path) {
    File file(std::fopen(path, "rb"));
    if (!file) {
        std::printf("pushvar: File '%s' cannot be opened: %s\n", path, std::strerror(errno));
        return 0;
    }

    // A directory opens, but its first read fails: unreadable, not a file without signature.
    const char* problem = nullptr;
    switch (check_file(file.get(), problem)) {
    case FileCheck::ok:
        break;
    case FileCheck::no_signature:
        return 0;
    case FileCheck::unreadable:
        std::printf("pushvar: File '%s' cannot be read: %s\n", path, std::strerror(errno));
        return 0;
    case FileCheck::bad_checksum:
        fail("pushvar: Grouped file has incorrect checksum!\n");
    case FileCheck::damaged:
        std::printf("pushvar: File '%s' is damaged: %s\n", path, problem);
        std::exit(FAILED);
    }

    if (is_backup(file.get())) send_backup(std::move(file), path);
    return send_entries(file.get(), path);
}

int pushvar_main(int argc, char** argv) {
    const std::vector<char*> paths = read_command_line(argc, argv, PUSHVAR);
    std::fputs("Talvaro/Linux v1.1: sends variables to a TI-85\n"
               "By the Talvaro link tools authors. Free software; see the README for the terms.\n"
               "\n",
               stdout);
    std::fflush(stdout);
    // Nothing to send needs no cable.
    if (paths.empty()) {
        say("pushvar: No files specified - aborting!\n");
        usage_error(PUSHVAR);
    }
    init_link();

    int total = 0;
    for (char* const path : paths) {
        struct stat status;
        if (stat(path, &status) != 0) {
            std::printf("pushvar: File '%s' does not exist!\n", path);
            continue;
        }
        total += sendgroup(path);
    }

    if (total > 0) {
        put_packet(PACKET_EOT, 0);
        std::fflush(stdout);
        get_packet(); // the calculator's answer, whatever it is, ends the exchange
    }
    std::printf("pushvar: %d variables sent\n", total);
    return 0;
}
