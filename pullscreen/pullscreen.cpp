// pullscreen: the command line, the screen request and the PNG it leaves.
#include "pullscreen/pullscreen.h"

#include "atomicfile/atomicfile.h"
#include "cli/cli.h"
#include "link/link.h"
#include "png/mono_png.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr ProgramInfo PULLSCREEN{
    .name = "pullscreen",
    .usage = "pullscreen [OPTION]... [FILE]\n",
    .about = "Takes the TI-85's screen over the link cable and saves it as a PNG in FILE, or in\n"
             "the first of screen1.png, screen2.png, ... that does not exist, and prints the\n"
             "file's name. '-' writes the PNG to standard output. Nothing is done on the\n"
             "calculator, but it must be on and waiting for a key (not computing).\n",
    .options = "  -s, --scale=N  draw each pixel as N x N (1 to 8, default 2)\n"
               "      --lcd      in the calculator's grey-green colours\n",
    .statuses = "  0    the screen was saved\n"
                "  1    a wrong command line, the link could not be set up, or the calculator\n"
                "       did not answer\n"
                "  2    the PNG could not be written\n",
    .more = "the manual page: man pullscreen",
};

constexpr int status_cannot_write = 2;
// Once the answer has begun: the data packet takes about a second on the slowest cable.
constexpr int DATA_SECONDS_PER_ANSWER_SECOND = 2;
constexpr int DEFAULT_NAMES_TRIED = 100000;

png_look look;

bool own_option(const char* argument) {
    const char* bad = nullptr;
    if (!png_look_option(argument, look, bad)) return false;
    if (bad != nullptr) {
        say("pullscreen: The scale is 1 to 8, not '%s'!\n", printable(bad).c_str());
        usage_error(PULLSCREEN);
    }
    return true;
}

// The deadline's expiry: what a silent calculator gets. Exit handlers are skipped, as after an
// interrupt: a byte cable's unsent request must not go out after the run.
void no_answer() {
    release_link();
    say("No answer from the calculator: turn it on and leave it at a screen that waits for a "
        "key.\n");
    std::_Exit(1);
}

[[noreturn]] void wrong_answer(const char* what, unsigned value) {
    deadline_after_wait(0, nullptr);
    say("pullscreen: The calculator answered with %s 0x%02X, not its screen!\n", what, value);
    std::exit(1);
}

// The first of screen1.png, screen2.png, ... that does not exist (a dangling link exists).
std::string free_name() {
    for (int n = 1; n <= DEFAULT_NAMES_TRIED; ++n) {
        std::string name = "screen" + std::to_string(n) + ".png";
        struct stat st {};
        if (::lstat(name.c_str(), &st) != 0 && errno == ENOENT) return name;
    }
    say("pullscreen: screen1.png to screen%d.png all exist: name the file.\n", DEFAULT_NAMES_TRIED);
    std::exit(status_cannot_write);
}

bool write_all(int fd, const std::string& data) {
    for (std::size_t done = 0; done < data.size();) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

std::array<std::uint8_t, SCREEN_DATA_BYTES> request_screen(int seconds) {
    deadline_after_wait(seconds, no_answer);
    put_packet(PACKET_SCREEN, 0);
    const std::uint8_t answer = get_packet();
    if (answer != PACKET_ACK) wrong_answer("packet", answer);
    deadline_after_wait(seconds * DATA_SECONDS_PER_ANSWER_SECOND, no_answer);
    const std::uint8_t data = get_packet();
    if (data != PACKET_DATA) wrong_answer("packet", data);
    if (last_packet_size != SCREEN_DATA_BYTES) wrong_answer("a data length of", last_packet_size);
    deadline_after_wait(0, nullptr);
    std::array<std::uint8_t, SCREEN_DATA_BYTES> screen{};
    std::copy_n(buffer, SCREEN_DATA_BYTES, screen.begin());
    return screen;
}

int pullscreen_main(int argc, char** argv) {
    open_standard_descriptors();
    look = {};
    std::vector<std::string> args;
    std::vector<char*> arg_pointers;
    join_scale_arguments(argc, argv, args, arg_pointers);
    const std::string default_note = "default cable: " + default_cable();
    CableOptions cable{.version_note = default_note.c_str()};
    const std::vector<char*> operands = read_command_line(
        static_cast<int>(arg_pointers.size()), arg_pointers.data(), PULLSCREEN, own_option, &cable);
    choose_cable(cable.cable, cable.device);
    if (operands.size() > 1) usage_error(PULLSCREEN);
    const bool to_standard_output = operands.size() == 1 && std::strcmp(operands[0], "-") == 0;
    // The PNG alone goes to standard output; every line said goes to standard error instead.
    int png_out = STDOUT_FILENO;
    if (to_standard_output) {
        std::fflush(stdout);
        png_out = ::dup(STDOUT_FILENO);
        if (png_out < 0 || ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
            say("pullscreen: Cannot use standard output (%s)!\n", std::strerror(errno));
            return status_cannot_write;
        }
    }

    init_link();
    const std::array<std::uint8_t, SCREEN_DATA_BYTES> screen =
        request_screen(SCREEN_ANSWER_SECONDS);

    const mono_image image{SCREEN_WIDTH, SCREEN_HEIGHT, {screen.begin(), screen.end()}};
    std::string png;
    std::string reason;
    if (!write_png(image, look.scale, look.lcd, png, reason)) {
        say("pullscreen: Cannot make the PNG (%s)!\n", reason.c_str());
        return status_cannot_write;
    }
    if (to_standard_output) {
        if (write_all(png_out, png)) return 0;
        say("pullscreen: Cannot write standard output (%s)!\n", std::strerror(errno));
        return status_cannot_write;
    }
    const std::string path = operands.empty() ? free_name() : operands[0];
    int error = 0;
    if (write_whole_file(path.c_str(), png, ".pullscreen-", error) != whole_write::done) {
        say("pullscreen: Cannot write %s (%s)!\n", printable(path).c_str(), std::strerror(error));
        return status_cannot_write;
    }
    say("%s\n", printable(path).c_str());
    return 0;
}
