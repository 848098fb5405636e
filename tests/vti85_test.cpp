// pullvar and pushvar on the virtual cable against vti85, each in its own process.
#include "link/link.h"
#include "link/ports/virtual_wire.h"
#ifdef PULLSCREEN_PATH
#include "png/mono_png.h"
#endif
#include "tests/support/child.h"
#include "tests/support/varfiles.h"

#include <gtest/gtest.h>

#include <array>
#include <csignal>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using testing_support::read_file;
using testing_support::ScratchDir;
using testing_support::write_file;

namespace {

// Each test program has a folder of its own for vti85's places, as a user's runtime folder.
const fs::path places = [] {
    fs::create_directories(PLACES_DIR);
    fs::permissions(PLACES_DIR, fs::perms::owner_all);
    setenv("XDG_RUNTIME_DIR", PLACES_DIR, 1);
    return fs::path(PLACES_DIR);
}();
const std::string wire_path = virtual_place(VIRTUAL_WIRE_NAME);

// The programs run on vti85's cable, chosen as a user would: its wire, or its pseudo-terminal.
#ifdef VTI85_TTY
const bool cable_chosen =
    setenv("TI85_CABLE", "virtual", 1) == 0 && setenv("TI85_DEVICE", VIRTUAL_TTY_NAME, 1) == 0;
#else
const bool cable_chosen = setenv("TI85_CABLE", "virtual", 1) == 0 && unsetenv("TI85_DEVICE") == 0;
#endif

struct Process {
    pid_t pid = -1;
    fs::path output;
};

// `input`, if given, becomes the standard input (else /dev/null).
Process start(const std::vector<std::string>& args, const fs::path& dir, const fs::path& output,
              int input = -1) {
    std::fflush(nullptr);
    Process process{fork(), output};
    if (process.pid == 0) {
        const int in = input >= 0 ? input : open("/dev/null", O_RDONLY);
        const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0 ||
            chdir(dir.c_str()) != 0) {
            _exit(120);
        }
        std::vector<char*> argv;
        argv.reserve(args.size() + 1);
        for (const std::string& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return process;
}

// Exit status, or 1000 + the signal that ended it; a process still running after the time
// limit is killed and counts as -1.
int finish(const Process& process, int seconds = 60) {
    int status = 0;
    for (int waited = 0; waitpid(process.pid, &status, WNOHANG) == 0; ++waited) {
        if (waited > seconds * 100) {
            kill(process.pid, SIGKILL);
            waitpid(process.pid, &status, 0);
            return -1;
        }
        usleep(10000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
}

bool wait_for(const fs::path& log, const char* text) {
    for (int waited = 0; waited < 3000; ++waited) {
        if (read_file(log).find(text) != std::string::npos) return true;
        usleep(10000);
    }
    return false;
}

// vti85, started and ready on the virtual cable.
Process calculator(const std::vector<std::string>& args, const fs::path& dir) {
    std::vector<std::string> all{VTI85_PATH};
#ifdef VTI85_TTY
    all.emplace_back("--tty");
#endif
    all.insert(all.end(), args.begin(), args.end());
    fs::remove(dir / "vti85.log"); // an earlier calculator's "ready" must not count
    Process process = start(all, dir, dir / "vti85.log");
    wait_for(process.output, "ready");
    return process;
}

std::string variable(std::uint8_t type, const std::string& name, const std::string& data) {
    return testing_support::file_around(testing_support::entry(type, name, data));
}

struct Fixture : ::testing::Test {
    void SetUp() override {
        for (const char* sub : {"pc", "calculator"})
            fs::create_directory(dir.path / sub);
        write_file(dir.path / "pc" / "PROG.85p", variable(0x12, "PROG", "\x05\x00Disp 1"));
        std::string big(3000, '\0');
        for (std::size_t i = 0; i < big.size(); ++i)
            big[i] = static_cast<char>(i * 7 + i / 256);
        write_file(dir.path / "pc" / "BIG.85l", variable(0x04, "BIG", big));
        write_file(dir.path / "pc" / "S.85s", variable(0x0C, "S", std::string("\x02\x00hi", 4)));
    }
    fs::path pc() const { return dir.path / "pc"; }
    fs::path calc() const { return dir.path / "calculator"; }
    ScratchDir dir;
};

using VirtualLink = Fixture;

TEST_F(VirtualLink, SeveralVariablesMakeTheRoundTrip) {
    Process vti = calculator({"receive", calc()}, dir.path);
    Process push = start({PUSHVAR_PATH, "PROG.85p", "BIG.85l", "S.85s"}, pc(), dir.path / "push");
    EXPECT_EQ(finish(push), 0) << read_file(push.output);
    EXPECT_EQ(finish(vti), 0) << read_file(vti.output);
    EXPECT_NE(read_file(push.output).find("pushvar: 3 variables sent\n"), std::string::npos);

    fs::create_directory(dir.path / "back");
    vti = calculator({"send", calc() / "PROG.85p", calc() / "BIG.85l", calc() / "S.85s"}, dir.path);
    Process pull = start({PULLVAR_PATH}, dir.path / "back", dir.path / "pull");
    EXPECT_EQ(finish(pull), 0) << read_file(pull.output);
    EXPECT_EQ(finish(vti), 0) << read_file(vti.output);
    EXPECT_NE(read_file(pull.output).find("pullvar: 3 variables received\n"), std::string::npos);
    for (const char* name : {"PROG.85p", "BIG.85l", "S.85s"}) {
        EXPECT_EQ(read_file(dir.path / "back" / name), read_file(pc() / name)) << name;
    }
    EXPECT_FALSE(fs::exists(wire_path));
}

// On the gray cable as large as a real backup: a system block of 08B1 bytes and some 9 KB in
// all. The wire crosses every bit between two processes: a small one there.
TEST_F(VirtualLink, BackupIsSentAndRestored) {
    using testing_support::u16;
#ifdef VTI85_TTY
    const std::array<std::size_t, 3> sizes{0x8B1, 7000, 100};
#else
    const std::array<std::size_t, 3> sizes{3, 2, 1};
#endif
    const std::string header = u16(sizes[0]) + "\x1D" + u16(sizes[1]) + u16(sizes[2]) + u16(0x8BF7);
    const std::string backup = testing_support::file_around(testing_support::backup_section(
        header,
        {std::string(sizes[0], 'a'), std::string(sizes[1], 'd'), std::string(sizes[2], 'f')}));
    write_file(dir.path / "backup.85b", backup);
    Process vti = calculator({"send", dir.path / "backup.85b"}, dir.path);
    Process pull = start({PULLVAR_PATH}, pc(), dir.path / "pull");
    EXPECT_EQ(finish(pull), 0) << read_file(pull.output);
    EXPECT_EQ(finish(vti), 0) << read_file(vti.output);
    EXPECT_EQ(read_file(pc() / "backup.85b"), backup);

    vti = calculator({"receive", calc()}, dir.path);
    Process push = start({PUSHVAR_PATH, "backup.85b", "S.85s"}, pc(), dir.path / "push");
    EXPECT_EQ(finish(push), 0) << read_file(push.output);
    EXPECT_EQ(finish(vti), 0) << read_file(vti.output);
    EXPECT_NE(read_file(push.output).find("pushvar: Backup transfer OK!\n"), std::string::npos);
    EXPECT_EQ(read_file(calc() / "backup.85b"), backup);
    EXPECT_FALSE(fs::exists(calc() / "S.85s"));
}

TEST_F(VirtualLink, SkippedVariableIsNotSent) {
    Process vti = calculator({"--answer=accept,skip,accept", "receive", calc()}, dir.path);
    Process push = start({PUSHVAR_PATH, "PROG.85p", "BIG.85l", "S.85s"}, pc(), dir.path / "push");
    EXPECT_EQ(finish(push), 0) << read_file(push.output);
    EXPECT_EQ(finish(vti), 0) << read_file(vti.output);
    const std::string said = read_file(push.output);
    EXPECT_NE(said.find("pushvar: Variable skipped!\n"), std::string::npos);
    EXPECT_NE(said.find("pushvar: 2 variables sent\n"), std::string::npos);
    EXPECT_EQ(testing_support::listing(calc()), (std::vector<std::string>{"PROG.85p", "S.85s"}));
}

TEST_F(VirtualLink, BadChecksumIsAskedForAgain) {
    Process vti = calculator({"--corrupt-once", "send", pc() / "S.85s"}, dir.path);
    Process pull = start({PULLVAR_PATH}, calc(), dir.path / "pull");
    EXPECT_EQ(finish(pull), 0) << read_file(pull.output);
    EXPECT_EQ(finish(vti), 0) << read_file(vti.output);
    EXPECT_NE(read_file(pull.output).find("\nChecksum failure!\n"), std::string::npos);
    EXPECT_EQ(read_file(calc() / "S.85s"), read_file(pc() / "S.85s"));
}

// The calculator's log never passes a name's control bytes to the terminal raw.
TEST_F(VirtualLink, ControlBytesOfNamesAreEscapedInTheCalculatorsLog) {
    write_file(pc() / "E.85s", variable(0x0C, "\x1B[2J", std::string("\x02\x00hi", 4)));
    Process vti = calculator({"receive", calc()}, dir.path);
    Process push = start({PUSHVAR_PATH, "E.85s"}, pc(), dir.path / "push");
    EXPECT_EQ(finish(push), 0) << read_file(push.output);
    EXPECT_EQ(finish(vti), 0) << read_file(vti.output);
    std::string said = read_file(vti.output);
    EXPECT_NE(said.find("vti85: offered \\x1B[2J (STRNG): accept\nvti85: saved \\x1B[2J.85s\n"),
              std::string::npos)
        << said;

    fs::create_directory(dir.path / "back");
    vti = calculator({"send", calc() / "\x1B[2J.85s"}, dir.path);
    Process pull = start({PULLVAR_PATH}, dir.path / "back", dir.path / "pull");
    EXPECT_EQ(finish(pull), 0) << read_file(pull.output);
    EXPECT_EQ(finish(vti), 0) << read_file(vti.output);
    said = read_file(vti.output);
    EXPECT_NE(said.find("vti85: sending \\x1B[2J (STRNG)\n"), std::string::npos) << said;
    EXPECT_EQ(said.find('\x1B'), std::string::npos);
}

TEST_F(VirtualLink, StuckCalculatorIsEndedWithBothLinesReleased) {
#ifdef VTI85_TTY
    // On the gray cable pushvar waits in the kernel for an answer that never comes.
    {
        Process vti = calculator({"--hang", "receive", calc()}, dir.path);
        Process push = start({PUSHVAR_PATH, "S.85s"}, pc(), dir.path / "push");
        for (int waited = 0; waited < 3000; ++waited) {
            if (read_file(vti.output).find("no longer answering") != std::string::npos) break;
            usleep(10000);
        }
        kill(push.pid, SIGTERM);
        EXPECT_EQ(finish(push), 1000 + SIGTERM) << read_file(push.output);
        kill(vti.pid, SIGTERM);
        EXPECT_EQ(finish(vti), 1000 + SIGTERM);
        EXPECT_FALSE(fs::exists(fs::symlink_status(places / VIRTUAL_TTY_NAME)));
        return;
    }
#endif
    // The calculator stops answering as the data begins: pushvar waits holding a line low.
    Process vti = calculator({"--hang", "receive", calc()}, dir.path);
    Process push = start({PUSHVAR_PATH, "S.85s"}, pc(), dir.path / "push");

    const int fd = open(wire_path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    void* memory = mmap(nullptr, sizeof(VirtualWire), PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    ASSERT_NE(memory, MAP_FAILED);
    const auto* wire = static_cast<const VirtualWire*>(memory);
    for (int waited = 0; waited < 3000 && wire->pc_output.load() == 0x03; ++waited)
        usleep(10000);
    EXPECT_NE(wire->pc_output.load(), 0x03); // pushvar holds a line, waiting for the calculator

    kill(push.pid, SIGTERM);
    EXPECT_EQ(finish(push), 1000 + SIGTERM);
    EXPECT_EQ(wire->pc_output.load(), 0x03);

    kill(vti.pid, SIGTERM);
    EXPECT_EQ(finish(vti), 1000 + SIGTERM);
    EXPECT_EQ(wire->calc_pulls.load(), 0);
    EXPECT_FALSE(fs::exists(wire_path));
    munmap(memory, sizeof(VirtualWire));
}

// vti85's places are its user's alone: a link planted at the wire is never followed, and a folder
// of another user's is used by no one.
TEST_F(VirtualLink, PlacesAreTheUsersAlone) {
#ifndef VTI85_TTY
    write_file(dir.path / "target", "precious");
    fs::create_symlink(dir.path / "target", wire_path);
    Process planted = start({VTI85_PATH, "receive", calc()}, dir.path, dir.path / "vti");
    EXPECT_EQ(finish(planted), 1);
    EXPECT_EQ(read_file(planted.output),
              "vti85: cannot create " + wire_path + ": Too many levels of symbolic links\n");
    Process pull = start({PULLVAR_PATH}, pc(), dir.path / "pull");
    EXPECT_EQ(finish(pull), 1);
    EXPECT_NE(
        read_file(pull.output).find(wire_path + " is a symbolic link, not a virtual link cable.\n"),
        std::string::npos);
    EXPECT_EQ(read_file(dir.path / "target"), "precious");
    fs::remove(wire_path);
#endif
    // Root hands a folder to another user; anyone else finds one in "/".
    ScratchDir foreign;
    const bool root = geteuid() == 0;
    ASSERT_TRUE(!root || chown(foreign.path.c_str(), testing_support::ORDINARY_ID,
                               testing_support::ORDINARY_ID) == 0);
    const std::string folder = root ? foreign.path.string() : "/";
    setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
#ifdef VTI85_TTY
    Process vti = start({VTI85_PATH, "--tty", "receive", calc()}, dir.path, dir.path / "vti");
#else
    Process vti = start({VTI85_PATH, "receive", calc()}, dir.path, dir.path / "vti");
#endif
    Process push = start({PUSHVAR_PATH, "S.85s"}, pc(), dir.path / "push");
    setenv("XDG_RUNTIME_DIR", places.c_str(), 1);
    EXPECT_EQ(finish(vti), 1);
    EXPECT_EQ(read_file(vti.output), "vti85: " + folder + " is in use by another user\n");
    EXPECT_EQ(finish(push), 1);
    EXPECT_TRUE(
        read_file(push.output)
            .ends_with("Cannot use the virtual cable: " + folder + " is in use by another user.\n"))
        << read_file(push.output);
}

TEST_F(VirtualLink, FilesToSendAreCheckedBeforeReady) {
    Process vti = start({VTI85_PATH, "send", "PROG.85p", "nofile.85p"}, pc(), dir.path / "vti");
    EXPECT_EQ(finish(vti), 1);
    EXPECT_EQ(read_file(vti.output), "vti85: cannot send nofile.85p: No such file or directory\n");
}

// A computer that comes and goes, or is ended mid-transfer, leaves the calculator serving the
// next one: linkcheck pulling the lines by hand, and pullvar killed at its prompt.
TEST_F(VirtualLink, CalculatorOutlivesAComputerThatLeaves) {
    int commands[2];
    ASSERT_EQ(pipe2(commands, O_CLOEXEC), 0);
    ASSERT_EQ(write(commands[1], "a\nr\nb\nr\nq\n", 10), 10);
    close(commands[1]);
    Process vti = calculator({"--give-up=2", "receive", calc()}, dir.path);
    Process check = start({LINKCHECK_PATH}, pc(), dir.path / "check", commands[0]);
    close(commands[0]);
    EXPECT_EQ(finish(check), 0) << read_file(check.output);
    EXPECT_TRUE(wait_for(vti.output, "waiting for the next computer")) << read_file(vti.output);
    Process push = start({PUSHVAR_PATH, "S.85s"}, pc(), dir.path / "push");
    EXPECT_EQ(finish(push), 0) << read_file(push.output);
    EXPECT_EQ(finish(vti), 0) << read_file(vti.output);

    int answers[2]; // never written: pullvar waits at its prompt
    ASSERT_EQ(pipe2(answers, O_CLOEXEC), 0);
    vti = calculator({"--give-up=2", "send", calc() / "S.85s"}, dir.path);
    Process pull = start({PULLVAR_PATH}, pc(), dir.path / "pull", answers[0]);
    EXPECT_TRUE(wait_for(pull.output, "overwrite")) << read_file(pull.output);
    kill(pull.pid, SIGKILL);
    finish(pull);
    close(answers[0]);
    close(answers[1]);
    EXPECT_TRUE(wait_for(vti.output, "waiting for the next computer")) << read_file(vti.output);
    fs::create_directory(dir.path / "back");
    pull = start({PULLVAR_PATH}, dir.path / "back", dir.path / "pull");
    EXPECT_EQ(finish(pull), 0) << read_file(pull.output);
    EXPECT_EQ(finish(vti), 0) << read_file(vti.output);
    EXPECT_EQ(read_file(dir.path / "back" / "S.85s"), read_file(pc() / "S.85s"));
}

#ifdef PULLSCREEN_PATH
// A picture sent to the calculator is on its screen, pixel for pixel, in the PNG pullscreen takes
// after the transfer (the bottom row, which a picture lacks, light).
TEST_F(VirtualLink, ScreenShowsTheLastPictureReceived) {
    std::string picture = testing_support::u16(1008);
    for (int i = 0; i < 1008; ++i)
        picture += static_cast<char>(i * 29 + i / 16);
    write_file(pc() / "DOTS.85i", variable(0x11, "DOTS", picture));
    Process vti = calculator({"--stay", "receive", calc()}, dir.path);
    Process push = start({PUSHVAR_PATH, "S.85s", "DOTS.85i"}, pc(), dir.path / "push");
    EXPECT_EQ(finish(push), 0) << read_file(push.output);
    Process shot = start({PULLSCREEN_PATH, "--scale=1"}, pc(), dir.path / "shot");
    EXPECT_EQ(finish(shot), 0) << read_file(shot.output);
    EXPECT_NE(read_file(shot.output).find("\nscreen1.png\n"), std::string::npos);
    kill(vti.pid, SIGTERM);
    EXPECT_EQ(finish(vti), 1000 + SIGTERM) << read_file(vti.output);

    const std::string png = read_file(pc() / "screen1.png");
    png_facts facts;
    mono_image image;
    std::string reason;
    ASSERT_EQ(read_png({reinterpret_cast<const std::uint8_t*>(png.data()), png.size()}, 128, 64,
                       facts, image, reason),
              png_read::ok)
        << reason;
    std::vector<std::uint8_t> expected(picture.begin() + 2, picture.end());
    expected.resize(1024, 0);
    EXPECT_EQ(image.bits, expected);
}
#endif

#ifndef VTI85_TTY
// A calculator that died with the computer's last write untaken: the interrupt handler must not
// wait for it to take that write before releasing the lines. (Two-wire cable only: the gray
// cable's device has no such handshake.)
TEST_F(VirtualLink, InterruptNeverWaitsForADeadCalculator) {
    const int fd = open(wire_path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, sizeof(VirtualWire)), 0);
    void* memory = mmap(nullptr, sizeof(VirtualWire), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    ASSERT_NE(memory, MAP_FAILED);
    auto* wire = static_cast<VirtualWire*>(memory);
    wire->pc_output.store(0x03);
    wire->magic.store(VIRTUAL_WIRE_MAGIC); // every counter 0: nobody takes any write

    Process pull = start({PULLVAR_PATH}, pc(), dir.path / "pull");
    for (int waited = 0; waited < 3000; ++waited) {
        if (read_file(pull.output).find("Listening") != std::string::npos) break;
        usleep(10000);
    }
    ASSERT_EQ(wire->pc_writes.load(), 1u); // the release at start-up, never taken
    kill(pull.pid, SIGINT);
    EXPECT_EQ(finish(pull, 10), 1000 + SIGINT);
    EXPECT_EQ(wire->pc_output.load(), 0x03);
    munmap(memory, sizeof(VirtualWire));
    fs::remove(wire_path);
}
#endif

// With no vti85 on the cable, the program says to start it, and names the cable it could not
// use rather than the direct ports it never touched.
TEST_F(VirtualLink, NoCalculatorRunningSaysToStartIt) {
    const std::string device = (dir.path / "nothing-here").string();
    const Process pull = start({PULLVAR_PATH, "--device=" + device}, pc(), dir.path / "pull");
    EXPECT_EQ(finish(pull), 1);
    EXPECT_TRUE(read_file(pull.output)
                    .ends_with("No virtual calculator at " + device +
                               " (No such file or directory): start vti85 first.\n"
                               "Cannot use the cable on " +
                               device + ", aborting!\n"))
        << read_file(pull.output);
}

} // namespace
