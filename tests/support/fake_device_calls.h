// Test double of link/device_calls.h: a serial or parallel device that exists only on paper.
//
// Every call is printed on standard output as it happens, one line each, in a form like
// "ioctl(3, PPWDATA, 0x03) = 0", so that a test run in a child process reads back the calls and
// the port layer's own messages in the order they came. Any call can be made to fail.
#pragma once

#include <string>

namespace fake_device {

inline constexpr int FD = 3; // what a successful open returns

struct Setup {
    int open_error = 0;      // open fails with this errno
    int tcgetattr_error = 0; // and so on for the other calls
    int tcsetattr_error = 0;
    std::string failing_ioctl; // e.g. "PPCLAIM": that request fails with ioctl_error
    int ioctl_error = 0;
    unsigned char status = 0; // what PPRSTATUS reads
    int modem_inputs = 0;     // TIOCM_CTS, TIOCM_DSR, TIOCM_RI, TIOCM_CD as TIOCMGET reads them
};

// The device's behaviour for the calls that follow; also forgets the modem outputs.
void set_up(const Setup& setup);

// DTR and RTS as the calls left them (TIOCM_ bits).
int modem_outputs();

} // namespace fake_device
