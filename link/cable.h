// Inside the link library: the two-wire cables' routines behind put85 and get85.
#pragma once

#include <cstdint>

void put85_parallel(std::uint8_t byte);
std::uint8_t get85_parallel();
void put85_connect85(std::uint8_t byte);
std::uint8_t get85_connect85();
