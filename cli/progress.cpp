// Progress of long packets and hints during long waits: for the person at the terminal, so they
// go to standard error and only when it is one. Standard output, which scripts read, never
// changes, and nothing here touches the cable. Also the deadline of a request that a program
// may arm, which the same waits look at.
#include "cli/cli.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t SHOWN_ABOVE = 1024;                     // bytes
constexpr auto REDRAW_EVERY = std::chrono::milliseconds(100); // ten times a second at most
constexpr auto HINT_AFTER = std::chrono::seconds(3);
// A wait polls the lines in a tight loop; the clock is read on every 64th poll only.
constexpr unsigned POLLS_PER_LOOK = 64;

struct Display {
    bool shown = false;
    std::size_t total = 0;
    Clock::time_point start;
    Clock::time_point drawn;
    std::size_t width = 0; // of the line last drawn, to erase it
};
Display display;

const char* hint = nullptr;
Clock::time_point hint_armed;
unsigned polls = 0;

void (*expiry)() = nullptr;
Clock::time_point deadline;

bool at_terminal() {
    return isatty(STDERR_FILENO) == 1;
}

// A failed write to the terminal changes nothing about the transfer.
void put(const char* text, std::size_t length) {
    [[maybe_unused]] const auto ignored = write(STDERR_FILENO, text, length);
}

void draw(std::size_t done, Clock::time_point now) {
    char text[80];
    const unsigned percent = static_cast<unsigned>(done * 100 / display.total);
    int length =
        std::snprintf(text, sizeof text, "%zu of %zu bytes, %u%%", done, display.total, percent);
    const double seconds = std::chrono::duration<double>(now - display.start).count();
    if (seconds >= 0.1 && length > 0 && static_cast<std::size_t>(length) < sizeof text) {
        length += std::snprintf(text + length, sizeof text - static_cast<std::size_t>(length),
                                ", %.0f bytes/s", static_cast<double>(done) / seconds);
    }
    if (length <= 0) return;
    const std::size_t width = std::min(sizeof text - 1, static_cast<std::size_t>(length));
    // Spaces over what is left of a longer line drawn before.
    char line[sizeof text + 1];
    const int drawn = std::snprintf(line, sizeof line, "\r%-*.*s", static_cast<int>(display.width),
                                    static_cast<int>(width), text);
    if (drawn > 0) put(line, std::min(sizeof line - 1, static_cast<std::size_t>(drawn)));
    display.width = std::max(display.width, width);
    display.drawn = now;
}

} // namespace

void progress_begin(std::size_t total) {
    display = {};
    if (total <= SHOWN_ABOVE || !at_terminal()) return;
    display.shown = true;
    display.total = total;
    display.start = Clock::now();
    draw(0, display.start);
}

void progress_step(std::size_t done) {
    if (!display.shown) return;
    const Clock::time_point now = Clock::now();
    if (now - display.drawn >= REDRAW_EVERY) draw(done, now);
}

void progress_end() {
    if (!display.shown) return;
    char blank[82];
    const int length =
        std::snprintf(blank, sizeof blank, "\r%*s\r", static_cast<int>(display.width), "");
    if (length > 0) put(blank, std::min(sizeof blank - 1, static_cast<std::size_t>(length)));
    display = {};
}

void hint_after_wait(const char* text) {
    hint = text != nullptr && at_terminal() ? text : nullptr;
    hint_armed = Clock::now();
    polls = 0;
}

void deadline_after_wait(int seconds, void (*on_expiry)()) {
    expiry = on_expiry;
    deadline = Clock::now() + std::chrono::seconds(seconds);
    polls = 0;
}

void check_deadline() {
    if (expiry != nullptr && Clock::now() >= deadline) {
        void (*const expired)() = expiry;
        expiry = nullptr; // ends the process: no wait of its own may call it again
        expired();
    }
}

void still_waiting_after_sleep() {
    check_deadline();
    if (hint == nullptr || Clock::now() - hint_armed < HINT_AFTER) return;
    put(hint, std::strlen(hint));
    put("\n", 1);
    hint = nullptr;
}

bool hint_pending() {
    return hint != nullptr || expiry != nullptr;
}

void still_waiting() {
    if ((hint == nullptr && expiry == nullptr) || ++polls % POLLS_PER_LOOK != 0) return;
    still_waiting_after_sleep();
}
