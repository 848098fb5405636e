#include "tests/support/child.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace testing_support {

namespace fs = std::filesystem;

ChildResult run_child(const std::function<int()>& body, const std::string& input,
                      const fs::path& dir, int seconds,
                      const std::function<void(int pid)>& meanwhile) {
    ScratchDir io;
    write_file(io.path / "stdin", input);
    const fs::path out = io.path / "stdout";

    std::fflush(nullptr); // nothing buffered here may be written twice
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        alarm(static_cast<unsigned>(seconds));
        const int in = open((io.path / "stdin").c_str(), O_RDONLY);
        const int sink = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || sink < 0 || dup2(in, 0) < 0 || dup2(sink, 1) < 0) _exit(120);
        if (!dir.empty() && chdir(dir.c_str()) != 0) _exit(121);
        std::exit(body());
    }
    if (meanwhile) meanwhile(pid);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    ChildResult result;
    if (WIFEXITED(wstatus)) result.status = WEXITSTATUS(wstatus);
    if (WIFSIGNALED(wstatus)) result.signal = WTERMSIG(wstatus);
    result.output = read_file(out);
    return result;
}

ChildResult run_child_with_errors(bool terminal, std::string& errors,
                                  const std::function<int()>& body, const std::string& input,
                                  const fs::path& dir, int end_after_ms) {
    ScratchDir io;
    const fs::path file = io.path / "stderr";
    int master = -1;
    int target = -1;
    if (terminal) {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
            throw std::runtime_error("no pseudo-terminal");
        }
        target = open(ptsname(master), O_RDWR | O_NOCTTY);
        termios raw{};
        if (target < 0 || tcgetattr(target, &raw) != 0) {
            throw std::runtime_error("no pseudo-terminal");
        }
        cfmakeraw(&raw);
        tcsetattr(target, TCSANOW, &raw);
    } else {
        target = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    const auto with_errors = [&] {
        if (dup2(target, 2) < 0) return 122;
        close(target);
        if (master >= 0) close(master);
        return body();
    };
    const auto watch = [&](int pid) {
        close(target); // the child's copy is the only one left
        const auto start = std::chrono::steady_clock::now();
        bool ended = end_after_ms <= 0;
        for (;;) {
            const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - start)
                                     .count();
            if (!ended && elapsed >= end_after_ms) {
                kill(pid, SIGTERM);
                ended = true;
            }
            if (master < 0) {
                // Without a terminal to drain there is only the end to wait for.
                siginfo_t info{};
                const int state =
                    waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
                if (ended || state != 0 || info.si_pid != 0) return;
                usleep(10000);
                continue;
            }
            pollfd ready{master, POLLIN, 0};
            if (poll(&ready, 1, 10) <= 0) continue;
            char bytes[4096];
            const ssize_t got = read(master, bytes, sizeof bytes);
            if (got <= 0) return; // every copy of the terminal's other end is closed
            errors.append(bytes, static_cast<std::size_t>(got));
        }
    };
    errors.clear();
    ChildResult result = run_child(with_errors, input, dir, 60, watch);
    if (master >= 0) {
        close(master);
    } else {
        errors = read_file(file);
    }
    return result;
}

ScratchDir::ScratchDir() {
    std::string pattern = (fs::temp_directory_path() / "ti85test.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    // Tests may leave read-only folders behind; make them removable first.
    for (const auto& entry : fs::recursive_directory_iterator(path, ignored)) {
        if (entry.is_directory(ignored))
            fs::permissions(entry.path(), fs::perms::owner_all, ignored);
    }
    fs::permissions(path, fs::perms::owner_all, ignored);
    fs::remove_all(path, ignored);
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void write_file(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

namespace {

// `name`, then `args`, as a command line; `argv` points into `words`, ended by nullptr.
void command_line(const std::string& name, const std::vector<std::string>& args,
                  std::vector<std::string>& words, std::vector<char*>& argv) {
    words.assign(1, name);
    words.insert(words.end(), args.begin(), args.end());
    argv.clear();
    argv.reserve(words.size() + 1);
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
}

} // namespace

int call_main(int (*entry)(int, char**), const std::string& name,
              const std::vector<std::string>& args) {
    std::vector<std::string> words;
    std::vector<char*> argv;
    command_line(name, args, words, argv);
    return entry(static_cast<int>(words.size()), argv.data());
}

int exec_program(const std::string& path, const std::vector<std::string>& args) {
    std::vector<std::string> words;
    std::vector<char*> argv;
    command_line(path, args, words, argv);
    execv(path.c_str(), argv.data());
    return 127;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        result.push_back(line);
    return result;
}

std::vector<std::string> listing(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

bool become_ordinary_user() {
    return geteuid() != 0 || (setresgid(ORDINARY_ID, ORDINARY_ID, ORDINARY_ID) == 0 &&
                              setresuid(ORDINARY_ID, ORDINARY_ID, ORDINARY_ID) == 0);
}

ChildResult run_main(int (*entry)(int, char**), const std::string& name,
                     const std::filesystem::path& dir, const std::vector<std::string>& args,
                     const std::string& input) {
    return run_child([&] { return call_main(entry, name, args); }, input, dir);
}

} // namespace testing_support
