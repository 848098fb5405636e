// Console safety: printable names, the three standard descriptors and the signals that end a run.
#include "cli/cli.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// C0 controls, DEL and the C1 controls that some terminals obey as escape sequences.
bool control(unsigned char byte) {
    return byte < 0x20 || (byte >= 0x7F && byte <= 0x9F);
}

} // namespace

std::string printable(std::string_view text) {
    constexpr char HEX[] = "0123456789ABCDEF";
    std::string shown;
    shown.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (!control(byte)) {
            shown += c;
            continue;
        }
        shown += "\\x";
        shown += HEX[byte >> 4];
        shown += HEX[byte & 0x0F];
    }
    return shown;
}

void open_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free descriptor is this one, as every lower one is open by now.
        const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened == fd) continue;
        if (opened >= 0) close(opened);
        _exit(1); // nowhere safe to say why
    }
}

sigset_t terminating_signals() {
    sigset_t set;
    sigemptyset(&set);
    // signal(7): those whose default action is to terminate, with or without a core dump.
    for (const int signal :
         {SIGHUP,  SIGINT,    SIGQUIT, SIGILL,  SIGTRAP, SIGABRT, SIGBUS,    SIGFPE,
          SIGUSR1, SIGSEGV,   SIGUSR2, SIGPIPE, SIGALRM, SIGTERM, SIGSTKFLT, SIGXCPU,
          SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO,   SIGPWR,  SIGSYS})
        sigaddset(&set, signal);
    // The C library keeps the lowest real-time signals for itself; SIGRTMIN is the first free.
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal)
        sigaddset(&set, signal);
    return set;
}
