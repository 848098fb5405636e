// Parallel cable through the kernel's parallel-port driver: no root, no fixed address.
//
// The device (--device, /dev/parport0 for instance) is opened and claimed on
// the first grant, for the output register; the grant of the input register then has
// nothing left to do. The claim lasts until the process ends. PPWDATA writes the data register
// and PPRSTATUS reads the status register as the port shows it, exactly as a direct read would:
// Select (bit 4) and Paper End (bit 5) uninverted, Busy (bit 7) inverted. The library writes
// only its output register and reads only its input register, so the port numbers need no look.
#include "cli/cli.h"
#include "link/ports/device_calls.h"
#include "link/ports/ports.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
// After sys/ioctl.h, which it needs.
#include <linux/ppdev.h>

namespace {

int device = -1;

// `what` names the step, `call` the system call that refused it.
bool refused(const char* what, const char* call, int error) {
    std::printf("Cannot %s %s (%s): %s\n", what, printable(port_device).c_str(), call,
                std::strerror(error));
    return false;
}

bool grant(std::uint16_t) {
    if (device >= 0) return true;
    const int fd = sys_open(port_device, O_RDWR | O_CLOEXEC);
    if (fd < 0) return refused("open", "open", errno);
    if (sys_ioctl(fd, PPCLAIM, nullptr) != 0) {
        const int error = errno;
        sys_close(fd);
        return refused("claim", "ioctl PPCLAIM", error);
    }
    device = fd;
    return true;
}

// Also runs in the interrupt handler. A failed write cannot be helped here and shows on the
// next read anyway.
void write(std::uint16_t, std::uint8_t value) {
    unsigned char data = value;
    sys_ioctl(device, PPWDATA, &data);
}

// A device that stops answering (an adapter unplugged) would otherwise leave the handshake
// waiting on a value that never changes.
std::uint8_t read(std::uint16_t) {
    unsigned char status = 0;
    if (sys_ioctl(device, PPRSTATUS, &status) != 0) {
        const char* why = std::strerror(errno); // before printable, which allocates
        std::printf("Cannot read the lines on %s: %s, aborting!\n", printable(port_device).c_str(),
                    why);
        std::exit(1);
    }
    return status;
}

} // namespace

const PortLayer ppdev_ports{"ppdev", grant, write, read};
