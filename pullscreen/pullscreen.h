// pullscreen: the calculator's screen as a PNG.
//
// Principles of operation
// - The screen request (PACKET_SCREEN, no data) needs nothing done on the calculator: one that
//   waits for a key answers at once with an acknowledgement, then a data packet of 1024 bytes
//   (128 x 64 pixels, 16 bytes a row, top row first, the leftmost pixel in the most significant
//   bit, 1 dark), which the packet layer checks, asks again for on a bad sum, and acknowledges.
// - A calculator that computes or is off says nothing, and no cable says nothing either: unlike a
//   transfer, each answer is awaited for a few seconds only. Then both lines are released and the
//   run ends with one line that says what to do, status 1, and no file.
// - The PNG (png/) is written whole or not at all (atomicfile/): to FILE, replacing it, to the
//   first of screen1.png, screen2.png, ... that does not exist, or to standard output for "-".
//
// Uses the link library, the PNG writer and the atomic file writer.
#pragma once

#include "link/ti85.h"

#include <array>
#include <cstdint>

inline constexpr int SCREEN_ANSWER_SECONDS = 5;
inline constexpr std::size_t SCREEN_DATA_BYTES = SCREEN_BYTES;

// The program. Returns 0 once the PNG is written and its name printed, 2 when it cannot be
// written; a wrong command line, a link that cannot be set up and a calculator that does not
// answer end the process with status 1.
int pullscreen_main(int argc, char** argv);

// Asks the calculator for its screen and returns it. Each answer (the acknowledgement, then the
// data) is awaited `seconds` at most; a calculator silent longer, or one that answers otherwise,
// ends the process with status 1 and both lines released. Needs init_link to have run.
std::array<std::uint8_t, SCREEN_DATA_BYTES> request_screen(int seconds);
