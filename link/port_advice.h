// What to do when the kernel refuses direct port access: said by the direct-port layer when
// ioperm fails, and by linkcheck among the likely causes, in the same words.
#pragma once

inline constexpr char ADVICE_NOT_PRIVILEGED[] =
    "not root, and without the CAP_SYS_RAWIO capability: run it with sudo, give it the "
    "capability (sudo setcap cap_sys_rawio+ep PROGRAM), or install it setuid root";
inline constexpr char ADVICE_CAPABILITY_TAKEN[] =
    "root, but without the CAP_SYS_RAWIO capability: a container or a service manager has taken "
    "it away";
// Follows "the kernel is locked down" and, where known, its mode in brackets.
inline constexpr char ADVICE_LOCKDOWN[] =
    ", which forbids direct port access even to root; Secure Boot often turns this on: name the "
    "port's device with --device (/dev/parport0, /dev/ttyS0)";
inline constexpr char ADVICE_NO_DIRECT_PORTS[] =
    "this system offers no direct port access (a kernel built without it, or a PC that is not "
    "x86): name the port's device with --device (/dev/parport0, /dev/ttyS0)";
