// vti85's sessions: each computer that comes to the cable gets a calculator of its own.
#pragma once

#include <string>

// A session's exit status when the computer went away before the end of the transfer.
inline constexpr int SESSION_GAVE_UP = 3;
// A session's exit status when its transfer is done and the calculator stays for the next one.
inline constexpr int SESSION_AGAIN = 4;

// Runs session(index) in a child process, with index 0, 1, ..., again each time it ends with
// SESSION_GAVE_UP or SESSION_AGAIN, and returns the exit status of the last (1 if it did not exit).
// A child leaves nothing behind it: no script waiting on the wire, no file half read or written.
int serve_sessions(int (*session)(int index));

// The path of vti85's place `name` (VIRTUAL_WIRE_NAME, VIRTUAL_TTY_NAME) in its user's own folder,
// which it makes if need be; "" once it has said what is wrong with the folder.
std::string own_place(const char* name);

// For a signal handler, before it leaves: passes `signal` on to the running session and waits
// until that session has ended. Async-signal-safe; does nothing inside a session.
void end_session(int signal);
