// The recording double of the device calls.
#include "tests/support/fake_device_calls.h"

#include "link/ports/device_calls.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
// After sys/ioctl.h, which it needs.
#include <linux/ppdev.h>

namespace fake_device {

namespace {

Setup setup;
int outputs = 0;

// What tcgetattr hands out: a port as the system leaves it, hanging up on close.
constexpr tcflag_t initial_cflag = B9600 | CS8 | CREAD | HUPCL;

std::string flag_names(int flags) {
    std::string names = (flags & O_ACCMODE) == O_RDWR ? "O_RDWR" : "O_RDONLY/O_WRONLY";
    const std::pair<int, const char*> known[] = {
        {O_NOCTTY, "O_NOCTTY"}, {O_NONBLOCK, "O_NONBLOCK"}, {O_CLOEXEC, "O_CLOEXEC"}};
    for (const auto& [flag, name] : known) {
        if ((flags & flag) != 0) names += std::string("|") + name;
    }
    return names;
}

std::string modem_names(int lines) {
    const std::pair<int, const char*> known[] = {{TIOCM_DTR, "DTR"}, {TIOCM_RTS, "RTS"},
                                                 {TIOCM_CTS, "CTS"}, {TIOCM_DSR, "DSR"},
                                                 {TIOCM_RI, "RI"},   {TIOCM_CD, "CD"}};
    std::string names;
    for (const auto& [line, name] : known) {
        if ((lines & line) != 0) names += (names.empty() ? "" : "|") + std::string(name);
    }
    return names.empty() ? "0" : names;
}

const char* request_name(unsigned long request) {
    switch (request) {
    case PPCLAIM:
        return "PPCLAIM";
    case PPWDATA:
        return "PPWDATA";
    case PPRSTATUS:
        return "PPRSTATUS";
    case TIOCMGET:
        return "TIOCMGET";
    case TIOCMSET:
        return "TIOCMSET";
    case TIOCMBIS:
        return "TIOCMBIS";
    case TIOCMBIC:
        return "TIOCMBIC";
    default:
        return "unknown request";
    }
}

int result(int error) {
    if (error == 0) return 0;
    errno = error;
    return -1;
}

// Each line goes out at once: a test may end the process by a signal right after a call.
void print_result(int error) {
    if (error == 0) {
        std::printf(" = 0\n");
    } else {
        std::printf(" = -1 %s\n", strerrorname_np(error));
    }
    std::fflush(stdout);
}

} // namespace

void set_up(const Setup& new_setup) {
    setup = new_setup;
    outputs = 0;
}

int modem_outputs() {
    return outputs;
}

} // namespace fake_device

using namespace fake_device;

int sys_open(const char* path, int flags) {
    std::printf("open(%s, %s)", path, flag_names(flags).c_str());
    if (setup.open_error != 0) {
        print_result(setup.open_error);
        return result(setup.open_error);
    }
    std::printf(" = %d\n", FD);
    std::fflush(stdout);
    return FD;
}

int sys_close(int fd) {
    std::printf("close(%d)", fd);
    print_result(0);
    return 0;
}

int sys_ioctl(int fd, unsigned long request, void* argument) {
    const char* name = request_name(request);
    const int error = setup.failing_ioctl == name ? setup.ioctl_error : 0;
    std::printf("ioctl(%d, %s", fd, name);
    auto* byte = static_cast<unsigned char*>(argument);
    auto* lines = static_cast<int*>(argument);
    switch (request) {
    case PPWDATA:
        std::printf(", 0x%02X", *byte);
        break;
    case PPRSTATUS:
        if (error == 0) *byte = setup.status;
        std::printf(", 0x%02X", *byte);
        break;
    case TIOCMGET:
        if (error == 0) *lines = outputs | setup.modem_inputs;
        std::printf(", %s", modem_names(*lines).c_str());
        break;
    case TIOCMSET:
    case TIOCMBIS:
    case TIOCMBIC:
        std::printf(", %s", modem_names(*lines).c_str());
        if (error != 0) break;
        const int changed = *lines & (TIOCM_DTR | TIOCM_RTS);
        if (request == TIOCMSET) outputs = changed;
        if (request == TIOCMBIS) outputs |= changed;
        if (request == TIOCMBIC) outputs &= ~changed;
        break;
    }
    std::printf(")");
    print_result(error);
    return result(error);
}

int sys_tcgetattr(int fd, termios& settings) {
    std::printf("tcgetattr(%d)", fd);
    print_result(setup.tcgetattr_error);
    if (setup.tcgetattr_error == 0) {
        settings = termios{};
        settings.c_cflag = initial_cflag;
        settings.c_cc[VMIN] = 1;
    }
    return result(setup.tcgetattr_error);
}

// Names the control flags turned on and off against what tcgetattr handed out, and whether
// anything else was changed.
int sys_tcsetattr(int fd, const termios& settings) {
    termios initial{};
    initial.c_cflag = initial_cflag;
    initial.c_cc[VMIN] = 1;
    std::string change;
    const std::pair<tcflag_t, const char*> known[] = {
        {CLOCAL, "CLOCAL"}, {HUPCL, "HUPCL"}, {CREAD, "CREAD"}, {CS8, "CS8"}};
    for (const auto& [flag, name] : known) {
        const bool was = (initial.c_cflag & flag) == flag;
        const bool is = (settings.c_cflag & flag) == flag;
        if (was != is) change += (is ? " +" : " -") + std::string(name);
    }
    const bool others_kept = settings.c_iflag == initial.c_iflag &&
                             settings.c_oflag == initial.c_oflag &&
                             settings.c_lflag == initial.c_lflag &&
                             (settings.c_cflag & ~(CLOCAL | HUPCL)) == (initial.c_cflag & ~HUPCL) &&
                             std::memcmp(settings.c_cc, initial.c_cc, sizeof initial.c_cc) == 0;
    if (!others_kept) change += " and other settings";
    std::printf("tcsetattr(%d,%s)", fd, change.c_str());
    print_result(setup.tcsetattr_error);
    return result(setup.tcsetattr_error);
}
