// Serial cable through a serial device's modem lines: for ports without a legacy address and for
// USB serial adapters that pass the modem lines.
//
// Output bit 0 is DTR and bit 1 RTS, input bit 4 CTS and bit 5 DSR, as in the UART's own modem
// control and modem status registers (RI and DCD fill bits 6 and 7 as they do there). The device
// (--device, /dev/ttyS0 for instance) is opened on the first grant, for
// the output register; the grant of the input register then has nothing left to do.
#include "cli/cli.h"
#include "link/ports/device_calls.h"
#include "link/ports/ports.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>

namespace {

int device = -1;

// `what` names the step, with %s for the device, and the system call that refused it.
__attribute__((format(printf, 1, 0))) bool refused(const char* what, int error) {
    std::printf(what, printable(port_device).c_str());
    // The same advice as the gray cable gives for the same device.
    const bool permission = error == EACCES || error == EPERM;
    std::printf(": %s%s\n", std::strerror(error),
                permission ? ": join the device's group (sudo usermod -aG dialout $USER, then log "
                             "in again)"
                           : "");
    return false;
}

__attribute__((format(printf, 2, 0))) bool close_refused(int fd, const char* what) {
    const int error = errno;
    sys_close(fd);
    return refused(what, error);
}

// The modem lines that carry the set bits of an output register value.
int modem_lines(unsigned value) {
    return ((value & 0x01) != 0 ? TIOCM_DTR : 0) | ((value & 0x02) != 0 ? TIOCM_RTS : 0);
}

bool grant(std::uint16_t) {
    if (device >= 0) return true;
    // Without O_NONBLOCK the open would wait for a carrier that the cable never raises.
    const int fd = sys_open(port_device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return refused("Cannot open %s (open)", errno);
    termios settings{};
    if (sys_tcgetattr(fd, settings) != 0) {
        return close_refused(fd, "Cannot use %s as a serial port (tcgetattr)");
    }
    // HUPCL would lower DTR and RTS when the process ends, pulling both lines low under the
    // calculator; CLOCAL keeps a change on DCD from hanging the line up mid-transfer.
    settings.c_cflag = (settings.c_cflag | CLOCAL) & ~tcflag_t{HUPCL};
    if (sys_tcsetattr(fd, settings) != 0) return close_refused(fd, "Cannot set up %s (tcsetattr)");
    int lines = 0;
    if (sys_ioctl(fd, TIOCMGET, &lines) != 0) {
        return close_refused(fd, "Cannot read the modem lines of %s (ioctl TIOCMGET)");
    }
    device = fd;
    return true;
}

// Only DTR and RTS change: TIOCMSET would also clear the port's other control bits (OUT2 gates a
// PC UART's interrupt). Raising a signal releases its line, and comes first, so that no moment
// has both lines pulled. Also runs in the interrupt handler; a failure shows on the next read.
void write(std::uint16_t, std::uint8_t value) {
    int raise = modem_lines(value);
    int lower = modem_lines(~value & 0x03u);
    if (raise != 0) sys_ioctl(device, TIOCMBIS, &raise);
    if (lower != 0) sys_ioctl(device, TIOCMBIC, &lower);
}

std::uint8_t read(std::uint16_t) {
    int lines = 0;
    if (sys_ioctl(device, TIOCMGET, &lines) != 0) {
        const char* why = std::strerror(errno); // before printable, which allocates
        std::printf("Cannot read the lines on %s: %s, aborting!\n", printable(port_device).c_str(),
                    why);
        std::exit(1);
    }
    return static_cast<std::uint8_t>(
        ((lines & TIOCM_CTS) != 0 ? 0x10 : 0) | ((lines & TIOCM_DSR) != 0 ? 0x20 : 0) |
        ((lines & TIOCM_RI) != 0 ? 0x40 : 0) | ((lines & TIOCM_CD) != 0 ? 0x80 : 0));
}

} // namespace

const PortLayer tty_ports{"tty", grant, write, read};
