// Inside the link library: the cable routines behind put85 and get85.
#pragma once

#include "link/wire.h"

#include <cstdint>

void put85_parallel(std::uint8_t byte);
std::uint8_t get85_parallel();
void put85_connect85(std::uint8_t byte);
std::uint8_t get85_connect85();

// Writes value & 0x03 to the modem control register.
void setport(std::uint8_t value);
// The modem status lines as two bits: bit 0 line A, bit 1 line B.
std::uint8_t getport();

// Port first, value second (unlike glibc's routine of the same name).
void outb(std::uint16_t port, std::uint8_t value);

// Called after every read of a wait that goes on, in every wait of both cables: waits have no
// time limit, but a long one shows the person watching an armed hint (see hint_after_wait).
// timereset has no effect.
void timetest();
void timereset();
