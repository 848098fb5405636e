// System-call seam of the device port layers (ppdev and tty): the only calls they make.
//
// device_calls.cpp holds the real calls; the port layers' tests link a recording double instead,
// which can also make any call fail. Each returns what the system call does (-1 with errno set
// on failure).
#pragma once

#include <termios.h>

int sys_open(const char* path, int flags);
int sys_close(int fd);
// `argument` is the ioctl's pointer argument, or nullptr for requests that take none.
int sys_ioctl(int fd, unsigned long request, void* argument);
int sys_tcgetattr(int fd, termios& settings);
int sys_tcsetattr(int fd, const termios& settings);
