// vti85 --tty: the gray cable's microcontroller does the handshake, so the calculator and the
// computer exchange plain bytes; here they cross the kernel's terminal layer, as they would
// through a serial adapter.
#include "vti85/tty_mode.h"

#include "calc/calc.h"
#include "link/link.h"
#include "varfile/varfile.h"
#include "vti85/session.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

std::string link_path; // set before any handler can run

int master = -1;
void (*calculator)() = nullptr;
int give_up = 0; // ms
bool stay = false;

void leave(int signal) {
    end_session(signal);
    unlink(link_path.c_str());
    remove_unfinished_file();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// One computer's session: from its opening the device until the transfer ends, or it leaves.
int session(int) {
    peer::reset({.stall_check = false});
    peer::run(calculator);
    switch (peer::serve_tty(master, give_up)) {
    case peer::Served::finished:
        return stay ? SESSION_AGAIN : 0;
    case peer::Served::gone:
        std::printf("vti85: the computer closed the cable before the end: waiting for the next "
                    "computer\n");
        break;
    case peer::Served::silent:
        std::printf("vti85: the computer said nothing for %d s mid-transfer: transfer given up, "
                    "waiting for the next computer\n",
                    give_up / 1000);
        break;
    }
    return SESSION_GAVE_UP;
}

} // namespace

int run_on_tty(void (*script)(), int give_up_ms, bool stay_after) {
    calculator = script;
    give_up = give_up_ms;
    stay = stay_after;
    std::string device;
    master = peer::open_tty(device);
    if (master < 0) {
        std::printf("vti85: cannot open a pseudo-terminal: %s\n", std::strerror(errno));
        return 1;
    }
    link_path = own_place(VIRTUAL_TTY_NAME);
    if (link_path.empty()) return 1;
    const char* const path = link_path.c_str();
    // One calculator per link: a link that leads to a live terminal belongs to another vti85.
    char target[256] = {};
    if (readlink(path, target, sizeof target - 1) > 0 && access(target, F_OK) == 0) {
        std::printf("vti85: %s is in use by another vti85 (it leads to %s); remove it if not\n",
                    path, target);
        return 1;
    }
    unlink(path);
    if (symlink(device.c_str(), path) != 0) {
        std::printf("vti85: cannot create %s: %s\n", path, std::strerror(errno));
        return 1;
    }
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        std::signal(signal, leave);
    std::printf("vti85: virtual TI-85 ready on the gray cable %s, linked as %s: use pullvar "
                "and pushvar with --cable=virtual --device=%s\n",
                device.c_str(), path, path);

    const int status = serve_sessions(session);
    unlink(link_path.c_str());
    return status;
}
