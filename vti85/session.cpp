// vti85's sessions, each in a child process: a transfer the computer abandoned is given up by
// ending its process, and the next computer finds the calculator as new.
#include "vti85/session.h"

#include "link/link.h"
#include "varfile/varfile.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t session_pid = 0;

void wait_for(pid_t pid, int& status) {
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

} // namespace

int serve_sessions(int (*session)(int index)) {
    // The signals that end vti85 wait until the parent knows its child, so that none is left.
    sigset_t ending;
    sigset_t before;
    sigemptyset(&ending);
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&ending, signal);
    for (int index = 0;; ++index) {
        std::fflush(stdout);
        sigprocmask(SIG_BLOCK, &ending, &before);
        const pid_t pid = fork();
        if (pid == 0) {
            sigprocmask(SIG_SETMASK, &before, nullptr);
            const int status = session(index);
            if (status == SESSION_GAVE_UP) remove_unfinished_file();
            std::fflush(stdout);
            // The script's thread still waits on the wire: no destructors, no exit handlers.
            _exit(status);
        }
        session_pid = pid > 0 ? pid : 0;
        sigprocmask(SIG_SETMASK, &before, nullptr);
        if (pid < 0) {
            std::printf("vti85: cannot start a session: %s\n", std::strerror(errno));
            return 1;
        }
        int status = 0;
        wait_for(pid, status);
        session_pid = 0;
        if (!WIFEXITED(status)) return 1;
        const int ended = WEXITSTATUS(status);
        if (ended != SESSION_GAVE_UP && ended != SESSION_AGAIN) return ended;
    }
}

void end_session(int signal) {
    const pid_t pid = session_pid;
    if (pid <= 0) return;
    kill(pid, signal);
    int status = 0;
    wait_for(pid, status);
}

std::string own_place(const char* name) {
    const std::string wrong = claim_virtual_folder(true);
    if (wrong.empty()) return virtual_place(name);
    std::printf("vti85: %s\n", wrong.c_str());
    return "";
}
