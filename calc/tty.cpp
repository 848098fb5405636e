// The calculator on a pseudo-terminal: a byte cable through the kernel's terminal layer.
//
// The computer's side opens the terminal (the pseudo-terminal's slave) as it would a serial
// cable; the calculator reads and writes the master. Packet mode on the master tells when the
// computer discards stale input, which a link program does once it is set up: only then does
// the calculator send, as a person would press the calculator's keys only once the program
// listens.
#include "calc/calc.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace peer {

namespace {

// What the computer wrote and the script has not yet taken.
std::uint8_t pending[256];
ssize_t pending_size = 0;
ssize_t pending_used = 0;

enum class Heard { data, listening, gone, silent };

// Waits for the next packet from the master: bytes the computer wrote, or its flush. With a
// limit (ms, above 0), a computer that has the device open but says nothing that long is silent.
Heard hear(int master, bool connected, int limit_ms) {
    std::uint8_t packet[1 + sizeof pending];
    for (;;) {
        // A hang-up or a flush also wakes the poll; the read then tells which.
        pollfd ready{master, POLLIN, 0};
        if (connected && limit_ms > 0 && poll(&ready, 1, limit_ms) == 0) return Heard::silent;
        const ssize_t got = read(master, packet, sizeof packet);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            // Before the computer first opens the terminal the master reads as hung up.
            if (connected) return Heard::gone;
            usleep(5000);
            continue;
        }
        if (packet[0] == TIOCPKT_DATA) {
            std::copy(packet + 1, packet + got, pending);
            pending_size = got - 1;
            pending_used = 0;
            return Heard::data;
        }
        if ((packet[0] & TIOCPKT_FLUSHREAD) != 0) return Heard::listening;
    }
}

} // namespace

int open_tty(std::string& device) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) return -1;
    termios settings{};
    int on = 1;
    if (grantpt(master) != 0 || unlockpt(master) != 0 || tcgetattr(master, &settings) != 0 ||
        ioctl(master, TIOCPKT, &on) != 0) {
        close(master);
        return -1;
    }
    // Raw from the start: no echo and no line editing of bytes sent before the computer opens.
    cfmakeraw(&settings);
    tcsetattr(master, TCSANOW, &settings);
    const char* name = ptsname(master);
    if (name == nullptr) {
        close(master);
        return -1;
    }
    device = name;
    pending_size = pending_used = 0;
    return master;
}

Served serve_tty(int master, int give_up_ms) {
    bool connected = false;
    bool listening = false;
    bool begun = false; // a byte has crossed: the transfer is under way
    for (;;) {
        switch (byte_next()) {
        case Next::sends: {
            while (!listening) {
                const Heard heard = hear(master, connected, begun ? give_up_ms : 0);
                if (heard == Heard::gone) return Served::gone;
                if (heard == Heard::silent) return Served::silent;
                connected = true;
                listening = heard == Heard::listening;
            }
            const std::uint8_t byte = byte_take();
            if (write(master, &byte, 1) != 1) return Served::gone;
            begun = true;
            break;
        }
        case Next::receives:
            while (pending_used == pending_size) {
                const Heard heard = hear(master, connected, begun ? give_up_ms : 0);
                if (heard == Heard::gone) return Served::gone;
                if (heard == Heard::silent) return Served::silent;
                connected = true;
                listening = listening || heard == Heard::listening;
            }
            byte_give(pending[pending_used++]);
            begun = true;
            break;
        case Next::hung:
            for (;;)
                pause();
        case Next::done: {
            // The computer still has the last bytes to read: let it close the terminal first
            // (a closed master would discard them).
            pollfd closed{master, 0, 0};
            for (int waited = 0; waited < 1000 && connected; ++waited) {
                if (poll(&closed, 1, 10) > 0 && (closed.revents & POLLHUP) != 0) break;
            }
            return Served::finished;
        }
        }
    }
}

} // namespace peer
