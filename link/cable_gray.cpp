// TI's gray serial cable: plain bytes on a serial device at 9600 baud, 8N1, no flow control.
//
// The cable's microcontroller does the handshake with the calculator and is powered from DTR
// and RTS, so both must stay raised, also after the program ends (HUPCL cleared). Any serial
// device will do, a USB serial adapter included; the device is `link_device`. Reads wait in the
// kernel until the calculator sends, so a wait costs no CPU; while a hint is armed (see
// hint_after_wait) they wake four times a second to show it in time.
#include "cli/cli.h"
#include "link/byte_cables.h"
#include "link/link.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int LOOK_EVERY_MS = 250;

int device = -1;
bool modem_lines = false;

// What the calculator sent and get85 has not yet taken: one read takes all that is there.
std::uint8_t incoming[64];
ssize_t incoming_size = 0;
ssize_t incoming_used = 0;

// What to do about a refused open, by its reason.
const char* open_hint(int error) {
    if (link_virtual) return "start vti85 --tty first";
    switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return "plug the cable in, or name its device with --device";
    case EACCES:
    case EPERM:
        return "join the device's group (sudo usermod -aG dialout $USER, then log in again)";
    case EBUSY:
        return "another program holds it";
    default:
        return "see linkcheck";
    }
}

[[noreturn]] void fail(const char* what, int error, const char* hint) {
    std::printf("%s %s: %s: %s, aborting!\n", what, printable(link_device).c_str(),
                std::strerror(error), hint);
    std::exit(1);
}

// 9600 baud, 8 data bits, no parity, 1 stop bit, no flow control, raw bytes both ways; a
// read returns as soon as one byte is there. CLOCAL: the cable raises no carrier.
void set_line(termios& settings) {
    cfmakeraw(&settings);
    settings.c_iflag &= ~tcflag_t{IXON | IXOFF | IXANY | INPCK};
    settings.c_cflag &= ~tcflag_t{CSIZE | PARENB | CSTOPB | CRTSCTS | HUPCL};
    settings.c_cflag |= CS8 | CREAD | CLOCAL;
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    cfsetispeed(&settings, B9600);
    cfsetospeed(&settings, B9600);
}

// The exclusive mode outlives the close while the device stays open elsewhere (the far end of a
// pseudo-terminal always keeps it so), and would refuse the next run: it is left at every end.
void leave_exclusive_mode() {
    if (device >= 0) ioctl(device, TIOCNXCL);
}

} // namespace

void open_gray() {
    // Without O_NONBLOCK the open would wait for a carrier that the cable never raises.
    device = open(link_device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (device < 0) fail("Cannot open", errno, open_hint(errno));
    if (flock(device, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK) fail("Cannot lock", errno, "see linkcheck");
        std::printf("%s is in use by another program (a second transfer?), aborting!\n",
                    printable(link_device).c_str());
        std::exit(1);
    }
    termios settings{};
    if (tcgetattr(device, &settings) != 0) {
        fail("Cannot use", errno, "it is not a serial device; name one with --device");
    }
    // Terminal programs do not all take the lock: the tty's exclusive mode keeps them out too
    // (a later open fails with EBUSY, as ours does against one that took it first).
    if (ioctl(device, TIOCEXCL) != 0) fail("Cannot lock", errno, "see linkcheck");
    std::atexit(leave_exclusive_mode);
    set_line(settings);
    if (tcsetattr(device, TCSANOW, &settings) != 0) fail("Cannot set up", errno, "see linkcheck");
    // The cable draws its power from DTR and RTS. A pseudo-terminal, and some adapters, have no
    // modem lines and say so with ENOTTY or EINVAL: the cable is then powered otherwise.
    int power = TIOCM_DTR | TIOCM_RTS;
    if (ioctl(device, TIOCMBIS, &power) == 0) {
        modem_lines = true;
    } else if (errno != ENOTTY && errno != EINVAL) {
        fail("Cannot raise DTR and RTS on", errno, "see linkcheck");
    }
    // From here on reads wait in the kernel.
    const int flags = fcntl(device, F_GETFL);
    if (flags < 0 || fcntl(device, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        fail("Cannot set up", errno, "see linkcheck");
    }
    // Whatever came in before this run is no part of it.
    tcflush(device, TCIFLUSH);
    // A run on vti85's pseudo-terminal must never pass for one that drives a real cable.
    if (link_virtual) {
        std::printf("Virtual cable: talking to vti85 through %s, not to a calculator.\n",
                    printable(link_device).c_str());
        std::fflush(stdout);
    }
}

void put85_gray(std::uint8_t byte) {
    for (;;) {
        const ssize_t written = write(device, &byte, 1);
        if (written == 1) return;
        if (written < 0 && errno == EINTR) continue;
        fail("Cannot write to", written < 0 ? errno : EIO, "is the cable still plugged in?");
    }
}

std::uint8_t get85_gray() {
    while (incoming_used == incoming_size) {
        if (hint_pending()) {
            pollfd ready{device, POLLIN, 0};
            const int polled = poll(&ready, 1, LOOK_EVERY_MS);
            if (polled == 0 || (polled < 0 && errno == EINTR)) {
                still_waiting_after_sleep();
                continue;
            }
        }
        // An error or a hang-up is the read's to report.
        const ssize_t got = read(device, incoming, sizeof incoming);
        if (got < 0 && errno == EINTR) continue;
        if (got == 0) {
            std::printf("%s hung up, aborting!\n", printable(link_device).c_str());
            std::exit(1);
        }
        if (got < 0) fail("Cannot read from", errno, "is the cable still plugged in?");
        incoming_size = got;
        incoming_used = 0;
    }
    return incoming[incoming_used++];
}

bool gray_has_modem_lines() {
    return modem_lines;
}

// Bytes still queued for the cable would reach the calculator after the run has ended.
void release_byte_cable() {
    if (device >= 0) tcflush(device, TCIOFLUSH);
    leave_exclusive_mode();
}
