// The real device calls.
#include "link/ports/device_calls.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

int sys_open(const char* path, int flags) {
    return open(path, flags);
}

int sys_close(int fd) {
    return close(fd);
}

int sys_ioctl(int fd, unsigned long request, void* argument) {
    return ioctl(fd, request, argument);
}

int sys_tcgetattr(int fd, termios& settings) {
    return tcgetattr(fd, &settings);
}

int sys_tcsetattr(int fd, const termios& settings) {
    return tcsetattr(fd, TCSANOW, &settings);
}
