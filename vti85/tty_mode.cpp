// vti85 --tty: the gray cable's microcontroller does the handshake, so the calculator and the
// computer exchange plain bytes; here they cross the kernel's terminal layer, as they would
// through a serial adapter.
#include "vti85/tty_mode.h"

#include "calc/calc.h"
#include "varfile/varfile.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

constexpr char LINK_PATH[] = LINK_VIRTUAL_TTY;

void leave(int signal) {
    unlink(LINK_PATH);
    remove_unfinished_file();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

} // namespace

int run_on_tty(void (*script)()) {
    std::string device;
    const int master = peer::open_tty(device);
    if (master < 0) {
        std::printf("vti85: cannot open a pseudo-terminal: %s\n", std::strerror(errno));
        return 1;
    }
    // One calculator per link: a link that leads to a live terminal belongs to another vti85.
    char target[256] = {};
    if (readlink(LINK_PATH, target, sizeof target - 1) > 0 && access(target, F_OK) == 0) {
        std::printf("vti85: %s is in use by another vti85 (it leads to %s); remove it if not\n",
                    LINK_PATH, target);
        return 1;
    }
    unlink(LINK_PATH);
    if (symlink(device.c_str(), LINK_PATH) != 0) {
        std::printf("vti85: cannot create %s: %s\n", LINK_PATH, std::strerror(errno));
        return 1;
    }
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        std::signal(signal, leave);
    std::printf("vti85: virtual TI-85 ready on the gray cable %s, linked as %s: use pullvar "
                "and pushvar with --cable=virtual --device=%s\n",
                device.c_str(), LINK_PATH, LINK_PATH);

    peer::reset({.stall_check = false});
    peer::run(script);
    const bool finished = peer::serve_tty(master);
    unlink(LINK_PATH);
    if (!finished) std::printf("vti85: the computer closed the cable before the end\n");
    return finished ? 0 : 1;
}
