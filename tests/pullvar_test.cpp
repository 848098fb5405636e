// The receiver end to end: its real entry runs in a child process against the virtual
// calculator, with standard input fed and standard output captured. Each test checks the exit
// status, the output line for line, the packets the calculator saw and the files left behind.
#include "pullvar/pullvar.h"

#include "calc/calc.h"
#include "link/link.h"
#include "link/wire.h"
#include "tests/support/child.h"
#include "tests/support/programs.h"
#include "tests/support/varfiles.h"
#include "varfile/varfile.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <pthread.h>
#include <pwd.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// The cable of this run of the tests: TI85_CABLE, as the build registers each test.
const bool cable_chosen = (choose_cable(nullptr, nullptr), true);

namespace fs = std::filesystem;
using peer::Bytes;
using testing_support::backup_section;
using testing_support::ChildResult;
using testing_support::counting;
using testing_support::entry;
using testing_support::file_around;
using testing_support::lines;
using testing_support::listing;
using testing_support::read_file;
using testing_support::ScratchDir;
using testing_support::text;
using testing_support::u16;
using testing_support::write_file;
using Lines = std::vector<std::string>;

const std::string PROMPT = "pullvar: Duplicate filename - overwrite (y/n/x)? ";

// ---- Expected files, built from the layout ----

std::string variable_file(const std::string& name, std::uint8_t type, const Bytes& data) {
    return file_around(entry(type, name, text(data)));
}

std::string backup_file(const Bytes& header, const std::vector<Bytes>& blocks) {
    return file_around(backup_section(header, blocks));
}

// ---- Running the program ----

// `setup`, if given, runs in the child before the program: a limit, a closed descriptor.
ChildResult run_pullvar(const std::function<void()>& script, const std::string& input,
                        const fs::path& dir, const std::function<void(int)>& meanwhile = {},
                        const std::function<void()>& setup = {},
                        const std::vector<std::string>& args = {}) {
    return testing_support::run_program(
        pullvar_main, "pullvar", script,
        {.args = args, .input = input, .dir = dir, .meanwhile = meanwhile, .setup = setup});
}

Lines output(std::initializer_list<std::string> after_listening) {
    Lines expected{
        "Talvaro/Linux v1.1: receives variables from a TI-85",
        "By the Talvaro link tools authors. Free software; see the README for the terms.", "",
        "pullvar: Listening for packets..."};
    expected.insert(expected.end(), after_listening);
    return expected;
}

const std::map<std::uint8_t, std::string> PACKET_NAMES{
    {PACKET_VAR, "VAR"}, {PACKET_CTS, "CTS"}, {PACKET_DATA, "DATA"}, {PACKET_SKIP, "SKIP"},
    {PACKET_ACK, "ACK"}, {PACKET_ERR, "ERR"}, {PACKET_EOT, "EOT"}};

// The packets the computer sent, as the calculator saw them: type, then any data bytes.
Lines seen_by_calculator() {
    Lines seen;
    for (const peer::Packet& packet : peer::from_pc()) {
        const auto name = PACKET_NAMES.find(packet.type);
        std::string line = name != PACKET_NAMES.end() ? name->second : "?";
        for (const std::uint8_t byte : packet.data)
            line += " " + std::to_string(byte);
        if (packet.machine != MACHINE_ID_PC || !packet.intact) line += " (malformed)";
        seen.push_back(line);
    }
    return seen;
}

// ---- The calculator's side ----

struct Variable {
    std::string name;
    std::uint8_t type;
    Bytes data;
};

// Announces a variable and, if the computer clears it, acknowledges and sends the data. A skip
// packet is acknowledged by receive().
void offer(const Variable& variable, int corrupt = 0) {
    peer::send(PACKET_VAR, peer::var_header(static_cast<std::uint16_t>(variable.data.size()),
                                            variable.type, variable.name));
    if (peer::receive().type != PACKET_CTS) return;
    peer::send(PACKET_ACK);
    peer::send(PACKET_DATA, variable.data, {.corrupt = corrupt});
}

void end_transmission() {
    peer::send(PACKET_EOT);
    peer::receive();
}

const Variable A{"A", 0x00, counting(10)};
const Variable B{"B", 0x00, counting(5)};

// The calculator offers A, then `second`, then ends the transmission.
std::function<void()> a_then(const Variable& second) {
    return [second] {
        offer(A);
        offer(second);
        end_transmission();
    };
}

// The worked example backup: blocks of 2, 1 and 3 bytes, then two pass-through bytes.
const Bytes BACKUP_HEADER{0x02, 0x00, 0x1D, 0x01, 0x00, 0x03, 0x00, 0xAB, 0xCD};
const std::vector<Bytes> BACKUP_BLOCKS{{0x11, 0x22}, {0x33}, {0x44, 0x55, 0x66}};

// ---- Listening and saving ----

TEST(pullvar, EndOfTransmissionBeforeAnythingCountsZero) {
    ScratchDir dir;
    const auto run = run_pullvar([] { end_transmission(); }, "", dir.path);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(lines(run.output), output({"pullvar: 0 variables received"}));
    EXPECT_EQ(seen_by_calculator(), Lines{"ACK"});
    EXPECT_TRUE(listing(dir.path).empty());
    EXPECT_EQ(peer::last_output(), 0x03);
}

TEST(pullvar, WorkedExampleIsSavedAsA85n) {
    ScratchDir dir;
    const auto run = run_pullvar(
        [] {
            offer(A);
            end_transmission();
        },
        "", dir.path);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(lines(run.output), output({"pullvar: Receiving        A, type  REAL, to        A.85n",
                                         "pullvar: OK!", "pullvar: 1 variables received"}));
    EXPECT_EQ(seen_by_calculator(), (Lines{"ACK", "CTS", "ACK", "ACK"}));
    EXPECT_EQ(listing(dir.path), Lines{"A.85n"});
    const std::string file = read_file(dir.path / "A.85n");
    EXPECT_EQ(file, variable_file("A", 0x00, A.data));
    ASSERT_EQ(file.size(), 76u);
    const std::string tail("\x13\x00\x05\x00\x0A\x00\x00\x01\x41\x0A\x00"
                           "\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A\x92\x00",
                           23);
    EXPECT_EQ(file.substr(53), tail);
}

TEST(pullvar, SeveralVariablesEachGetTheirOwnFile) {
    ScratchDir dir;
    const Variable program{"PRGM1", 0x12, counting(40, 0x80)};
    const Variable long_name{"LONGNAME123", 0x0C, Bytes(300, 0xFF)}; // its sum wraps
    const Variable nameless{"", 0x00, counting(3)};
    const auto run = run_pullvar(
        [&] {
            offer(A);
            offer(program);
            offer(long_name);
            offer(nameless);
            end_transmission();
        },
        "", dir.path);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(lines(run.output),
              output({"pullvar: Receiving        A, type  REAL, to        A.85n", "pullvar: OK!",
                      "pullvar: Receiving    PRGM1, type PRGRM, to    PRGM1.85p", "pullvar: OK!",
                      "pullvar: Receiving LONGNAME123, type STRNG, to LONGNAME123.85s",
                      "pullvar: OK!", "pullvar: Receiving         , type  REAL, to         .85n",
                      "pullvar: OK!", "pullvar: 4 variables received"}));
    EXPECT_EQ(listing(dir.path), (Lines{".85n", "A.85n", "LONGNAME123.85s", "PRGM1.85p"}));
    EXPECT_EQ(read_file(dir.path / "A.85n"), variable_file("A", 0x00, A.data));
    EXPECT_EQ(read_file(dir.path / "PRGM1.85p"), variable_file("PRGM1", 0x12, program.data));
    EXPECT_EQ(read_file(dir.path / "LONGNAME123.85s"),
              variable_file("LONGNAME123", 0x0C, long_name.data));
    EXPECT_EQ(read_file(dir.path / ".85n"), variable_file("", 0x00, nameless.data));
}

// A picture and a PrtScrn screen (no name) are saved as ever; the line says how to view them.
TEST(pullvar, PicturesAndScreensSayHowToViewThem) {
    ScratchDir dir;
    const Variable picture{"PIC", 0x11, counting(1010)};
    const Variable screen{"", 0x14, counting(1024)};
    const auto run = run_pullvar(
        [&] {
            offer(picture);
            offer(screen);
            end_transmission();
        },
        "", dir.path);
    EXPECT_EQ(run.status, 0);
    const std::string view = " (to view: picvar ";
    EXPECT_EQ(
        lines(run.output),
        output(
            {"pullvar: Receiving      PIC, type  PICT, to      PIC.85i" + view + "PIC.85i PIC.png)",
             "pullvar: OK!",
             "pullvar: Receiving         , type  PICT, to         .85i" + view + ".85i screen.png)",
             "pullvar: OK!", "pullvar: 2 variables received"}));
    EXPECT_EQ(read_file(dir.path / "PIC.85i"), variable_file("PIC", 0x11, picture.data));
    EXPECT_EQ(read_file(dir.path / ".85i"), variable_file("", 0x14, screen.data));
}

TEST(pullvar, OtherPacketsWhileListeningAreReportedAndListeningGoesOn) {
    ScratchDir dir;
    const auto run = run_pullvar(
        [] {
            peer::send(PACKET_DATA, {1, 2, 3}); // acknowledged by the link layer
            peer::send(PACKET_CTS);
            peer::send(PACKET_VAR); // announces nothing
            offer(A);
            end_transmission();
        },
        "", dir.path);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(lines(run.output),
              output({"pullvar: Invalid packet received!", "pullvar: Invalid packet received!",
                      "pullvar: Invalid packet received!",
                      "pullvar: Receiving        A, type  REAL, to        A.85n", "pullvar: OK!",
                      "pullvar: 1 variables received"}));
    EXPECT_EQ(seen_by_calculator(), (Lines{"ACK", "ACK", "CTS", "ACK", "ACK"}));
    EXPECT_EQ(read_file(dir.path / "A.85n"), variable_file("A", 0x00, A.data));
}

TEST(pullvar, DataWithABadChecksumIsAskedForAgainAndSaved) {
    ScratchDir dir;
    const auto run = run_pullvar(
        [] {
            offer(A, 1);
            end_transmission();
        },
        "", dir.path);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(lines(run.output),
              output({"pullvar: Receiving        A, type  REAL, to        A.85n", "",
                      "Checksum failure!", "pullvar: OK!", "pullvar: 1 variables received"}));
    EXPECT_EQ(seen_by_calculator(), (Lines{"ACK", "CTS", "ERR", "ACK", "ACK", "ACK"}));
    EXPECT_EQ(read_file(dir.path / "A.85n"), variable_file("A", 0x00, A.data));
}

// ---- An existing file ----

using pullvar_duplicate = ::testing::Test;

TEST(pullvar_duplicate, YesReplacesTheFile) {
    for (const std::string answer : {"y", "Y"}) {
        ScratchDir dir;
        write_file(dir.path / "A.85n", "old");
        const auto run = run_pullvar(
            [] {
                offer(A);
                end_transmission();
            },
            answer, dir.path);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(lines(run.output),
                  output({"pullvar: Receiving        A, type  REAL, to        A.85n",
                          PROMPT + "pullvar: OK!", "pullvar: 1 variables received"}));
        EXPECT_EQ(seen_by_calculator(), (Lines{"ACK", "CTS", "ACK", "ACK"}));
        EXPECT_EQ(listing(dir.path), Lines{"A.85n"});
        EXPECT_EQ(read_file(dir.path / "A.85n"), variable_file("A", 0x00, A.data));
    }
}

TEST(pullvar_duplicate, NoKeepsTheFileSkipsAndGoesOn) {
    for (const std::string answer : {"n", "N"}) {
        ScratchDir dir;
        write_file(dir.path / "A.85n", "old");
        const Variable b{"B", 0x01, counting(20)};
        const auto run = run_pullvar(a_then(b), answer, dir.path);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(lines(run.output),
                  output({"pullvar: Receiving        A, type  REAL, to        A.85n",
                          PROMPT + "pullvar: Variable skipped!",
                          "pullvar: Receiving        B, type  CPLX, to        B.85c",
                          "pullvar: OK!", "pullvar: 1 variables received"}));
        EXPECT_EQ(seen_by_calculator(), (Lines{"ACK", "SKIP 2", "ACK", "CTS", "ACK", "ACK"}));
        EXPECT_EQ(read_file(dir.path / "A.85n"), "old");
        EXPECT_EQ(read_file(dir.path / "B.85c"), variable_file("B", 0x01, b.data));
    }
}

TEST(pullvar_duplicate, XAbortsTheTransferWithoutACount) {
    for (const std::string answer : {"x", "X"}) {
        ScratchDir dir;
        write_file(dir.path / "A.85n", "old");
        const auto run = run_pullvar([] { offer(A); }, answer, dir.path);
        EXPECT_EQ(run.status, 255);
        EXPECT_EQ(lines(run.output),
                  output({"pullvar: Receiving        A, type  REAL, to        A.85n",
                          PROMPT + "pullvar: Transfer aborted!"}));
        EXPECT_EQ(seen_by_calculator(), (Lines{"ACK", "SKIP 1"}));
        EXPECT_EQ(listing(dir.path), Lines{"A.85n"});
        EXPECT_EQ(read_file(dir.path / "A.85n"), "old");
    }
}

TEST(pullvar_duplicate, OtherCharactersAskAgain) {
    ScratchDir dir;
    write_file(dir.path / "A.85n", "old");
    const auto run = run_pullvar(
        [] {
            offer(A);
            end_transmission();
        },
        "q Z?n", dir.path);
    EXPECT_EQ(run.status, 0);
    // The space is passed over without asking again.
    EXPECT_EQ(lines(run.output),
              output({"pullvar: Receiving        A, type  REAL, to        A.85n",
                      PROMPT + PROMPT + PROMPT + PROMPT + "pullvar: Variable skipped!",
                      "pullvar: 0 variables received"}));
    EXPECT_EQ(read_file(dir.path / "A.85n"), "old");
}

// One character per answer, with line ends, carriage returns, spaces and tabs passed over in
// silence: "y" and Enter answer one prompt each, while the e and the s of "yes" ask again.
TEST(pullvar_duplicate, OnePromptPerAnswerTypedAtATerminal) {
    const struct {
        std::string input;
        int prompts_for_b;
    } cases[] = {{"y\nn\n", 1}, {"y\r\n \t\n n\n", 1}, {"yes\nn\n", 3}};
    for (const auto& c : cases) {
        ScratchDir dir;
        write_file(dir.path / "A.85n", "old A");
        write_file(dir.path / "B.85n", "old B");
        const auto run = run_pullvar(a_then(B), c.input, dir.path);
        EXPECT_EQ(run.status, 0);
        std::string asked;
        for (int i = 0; i < c.prompts_for_b; ++i)
            asked += PROMPT;
        EXPECT_EQ(lines(run.output),
                  output({"pullvar: Receiving        A, type  REAL, to        A.85n",
                          PROMPT + "pullvar: OK!",
                          "pullvar: Receiving        B, type  REAL, to        B.85n",
                          asked + "pullvar: Variable skipped!", "pullvar: 1 variables received"}))
            << c.input;
        EXPECT_EQ(read_file(dir.path / "A.85n"), variable_file("A", 0x00, A.data));
        EXPECT_EQ(read_file(dir.path / "B.85n"), "old B");
    }
}

// Input that never ends and never answers (/dev/zero) is taken for x after 100 bytes.
TEST(pullvar_duplicate, EndlessInputWithoutAnAnswerAborts) {
    ScratchDir dir;
    write_file(dir.path / "A.85n", "old");
    const auto run = run_pullvar([] { offer(A); }, std::string(4096, '\0'), dir.path);
    EXPECT_EQ(run.status, 255);
    std::string asked;
    for (int i = 0; i < 100; ++i)
        asked += PROMPT;
    EXPECT_EQ(lines(run.output), output({"pullvar: Receiving        A, type  REAL, to        A.85n",
                                         asked + "pullvar: Transfer aborted!"}));
    EXPECT_EQ(seen_by_calculator(), (Lines{"ACK", "SKIP 1"}));
}

TEST(pullvar_duplicate, EndOfInputKeepsEveryExistingFile) {
    ScratchDir dir;
    write_file(dir.path / "A.85n", "old A");
    write_file(dir.path / "B.85n", "old B");
    const auto run = run_pullvar(a_then(B), "", dir.path);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(lines(run.output),
              output({"pullvar: Receiving        A, type  REAL, to        A.85n",
                      PROMPT + "pullvar: Variable skipped!",
                      "pullvar: Receiving        B, type  REAL, to        B.85n",
                      PROMPT + "pullvar: Variable skipped!", "pullvar: 0 variables received"}));
    EXPECT_EQ(seen_by_calculator(), (Lines{"ACK", "SKIP 2", "ACK", "SKIP 2", "ACK"}));
    EXPECT_EQ(read_file(dir.path / "A.85n"), "old A");
    EXPECT_EQ(read_file(dir.path / "B.85n"), "old B");
}

// ---- The command line and the terminal ----

using pullvar_command_line = ::testing::Test;

// The existence test and the files both look in the directory named, not the current one.
TEST(pullvar_command_line, SavesIntoTheDirectoryNamed) {
    ScratchDir here;
    ScratchDir there;
    write_file(there.path / "A.85n", "old");
    const auto run = run_pullvar(a_then(B), "n", here.path, {}, {}, {there.path.string()});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(lines(run.output), output({"pullvar: Receiving        A, type  REAL, to        A.85n",
                                         PROMPT + "pullvar: Variable skipped!",
                                         "pullvar: Receiving        B, type  REAL, to        B.85n",
                                         "pullvar: OK!", "pullvar: 1 variables received"}));
    EXPECT_TRUE(listing(here.path).empty());
    EXPECT_EQ(listing(there.path), (Lines{"A.85n", "B.85n"}));
    EXPECT_EQ(read_file(there.path / "A.85n"), "old");
    EXPECT_EQ(read_file(there.path / "B.85n"), variable_file("B", 0x00, B.data));
}

// A directory that cannot be entered ends the run before the cable is opened: it needs no cable
// to be found wrong. Two operands never get that far.
TEST(pullvar_command_line, UnusableDirectoryOrTwoOperandsEndTheRun) {
    ScratchDir here;
    write_file(here.path / "file", "");
    const std::string missing = (here.path / "missing").string();
    const std::string file = (here.path / "file").string();
    const auto cannot_use = [](const std::string& dir, const std::string& reason) {
        Lines said = output({});
        said.back() = "pullvar: Cannot use directory " + dir + " (" + reason + ")!";
        return said;
    };
    const struct {
        std::vector<std::string> args;
        Lines said;
        std::vector<std::uint16_t> grants;
    } cases[] = {
        {{missing}, cannot_use(missing, "No such file or directory"), {}},
        {{file}, cannot_use(file, "Not a directory"), {}},
        {{missing, file},
         {"Usage: pullvar [OPTION]... [DIR]", "Try 'pullvar --help' for more."},
         {}},
    };
    for (const auto& c : cases) {
        const auto run = run_pullvar([] { offer(A); }, "", here.path, {}, {}, c.args);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(lines(run.output), c.said);
        EXPECT_EQ(peer::grants(), c.grants);
        EXPECT_TRUE(peer::from_pc().empty());
        EXPECT_EQ(listing(here.path), Lines{"file"});
    }
}

TEST(pullvar_command_line, HintAfterThreeSecondsOfListeningAtATerminalOnly) {
    for (const bool terminal : {true, false}) {
        ScratchDir dir;
        peer::reset({.stall_check = false});
        std::string errors;
        const auto run = testing_support::run_child_with_errors(
            terminal, errors,
            [] {
                peer::run(peer::hang);
                return testing_support::call_main(pullvar_main, "pullvar", {});
            },
            "", dir.path, 4500);
        EXPECT_EQ(run.signal, SIGTERM);
        EXPECT_EQ(lines(run.output), output({}));
        EXPECT_EQ(errors, terminal ? "waiting for the calculator: choose LINK, SEND on it and "
                                     "pick what to send\n"
                                   : "");
    }
}

// ---- Backups ----

using pullvar_backup = ::testing::Test;

void offer_backup(const Bytes& header, const std::vector<Bytes>& blocks) {
    peer::send(PACKET_VAR, header);
    if (peer::receive().type != PACKET_CTS) return;
    peer::send(PACKET_ACK);
    for (const Bytes& block : blocks)
        peer::send(PACKET_DATA, block);
}

TEST(pullvar_backup, IsSavedAsBackup85b) {
    ScratchDir dir;
    const auto run = run_pullvar([] { offer_backup(BACKUP_HEADER, BACKUP_BLOCKS); }, "", dir.path);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(lines(run.output), output({"pullvar: Receiving system backup to 'backup.85b'",
                                         "pullvar: Backup received OK!"}));
    EXPECT_EQ(seen_by_calculator(), (Lines{"ACK", "CTS", "ACK", "ACK", "ACK"}));
    EXPECT_EQ(listing(dir.path), Lines{"backup.85b"});
    const std::string file = read_file(dir.path / "backup.85b");
    EXPECT_EQ(file, backup_file(BACKUP_HEADER, BACKUP_BLOCKS));
    const std::string section("\x09\x00\x02\x00\x1D\x01\x00\x03\x00\xAB\xCD"
                              "\x02\x00\x11\x22\x01\x00\x33\x03\x00\x44\x55\x66",
                              23);
    EXPECT_EQ(file.substr(53, 2), u16(23));
    EXPECT_EQ(file.substr(55, 23), section);
}

// The user's only full backup is replaced only on y; n refuses the new one and listening goes on.
TEST(pullvar_backup, AnExistingBackupIsAskedAbout) {
    struct Case {
        std::string answer;
        int status;
        Lines said;
        Lines seen;
        bool replaced;
    };
    const std::vector<Case> cases{
        {"y",
         0,
         {PROMPT + "pullvar: Backup received OK!"},
         {"ACK", "CTS", "ACK", "ACK", "ACK"},
         true},
        {"n",
         0,
         {PROMPT + "pullvar: Backup skipped!", "pullvar: 0 variables received"},
         {"ACK", "SKIP 2", "ACK"},
         false},
        {"x", 255, {PROMPT + "pullvar: Transfer aborted!"}, {"ACK", "SKIP 1"}, false},
    };
    for (const Case& c : cases) {
        ScratchDir dir;
        write_file(dir.path / "backup.85b", "old");
        const auto run = run_pullvar(
            [] {
                offer_backup(BACKUP_HEADER, BACKUP_BLOCKS);
                end_transmission();
            },
            c.answer, dir.path);
        EXPECT_EQ(run.status, c.status) << c.answer;
        Lines expected = output({"pullvar: Receiving system backup to 'backup.85b'"});
        expected.insert(expected.end(), c.said.begin(), c.said.end());
        EXPECT_EQ(lines(run.output), expected);
        EXPECT_EQ(seen_by_calculator(), c.seen);
        EXPECT_EQ(listing(dir.path), Lines{"backup.85b"});
        EXPECT_EQ(read_file(dir.path / "backup.85b"),
                  c.replaced ? backup_file(BACKUP_HEADER, BACKUP_BLOCKS) : "old");
    }
}

TEST(pullvar_backup, RefusedDataRequestKeepsTheOldBackup) {
    for (const bool existing : {false, true}) {
        ScratchDir dir;
        if (existing) write_file(dir.path / "backup.85b", "old");
        const auto run = run_pullvar(
            [] {
                peer::send(PACKET_VAR, BACKUP_HEADER);
                peer::receive();
                peer::send(PACKET_SKIP, {REASON_OUT_OF_MEMORY});
            },
            "y", dir.path);
        EXPECT_EQ(run.status, 255);
        EXPECT_EQ(lines(run.output),
                  output({"pullvar: Receiving system backup to 'backup.85b'",
                          (existing ? PROMPT : "") + "pullvar: Data request not acknowledged!"}));
        EXPECT_EQ(seen_by_calculator(), (Lines{"ACK", "CTS", "ACK"}));
        if (existing) {
            EXPECT_EQ(listing(dir.path), Lines{"backup.85b"});
            EXPECT_EQ(read_file(dir.path / "backup.85b"), "old");
        } else {
            EXPECT_TRUE(listing(dir.path).empty());
        }
    }
}

TEST(pullvar_backup, OtherPacketInPlaceOfABlockSavesNothing) {
    ScratchDir dir;
    write_file(dir.path / "backup.85b", "old");
    const auto run = run_pullvar(
        [] {
            peer::send(PACKET_VAR, BACKUP_HEADER);
            peer::receive();
            peer::send(PACKET_ACK);
            peer::send(PACKET_DATA, BACKUP_BLOCKS[0]);
            peer::send(PACKET_EOT);
        },
        "y", dir.path);
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(lines(run.output),
              output({"pullvar: Receiving system backup to 'backup.85b'",
                      PROMPT + "pullvar: Packet type 0x92 received instead of backup block 2, "
                               "nothing saved!"}));
    EXPECT_EQ(listing(dir.path), Lines{"backup.85b"});
    EXPECT_EQ(read_file(dir.path / "backup.85b"), "old");
}

TEST(pullvar_backup, HeaderThatCannotBeStoredIsSkipped) {
    ScratchDir dir;
    Bytes ten = BACKUP_HEADER;
    ten.push_back(0);
    // 0x4000 + 0x4000 + 1 bytes of blocks, and the header and lengths, exceed the buffer.
    const Bytes huge{0x00, 0x40, 0x1D, 0x00, 0x40, 0x01, 0x00, 0, 0};
    const auto run = run_pullvar(
        [&] {
            offer_backup(ten, BACKUP_BLOCKS);
            offer_backup(huge, BACKUP_BLOCKS);
            end_transmission();
        },
        "", dir.path);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(lines(run.output),
              output({"pullvar: Backup refused (header of 10 bytes, not 9), skipped!",
                      "pullvar: Backup refused (32786 bytes in all, more than 32768), skipped!",
                      "pullvar: 0 variables received"}));
    EXPECT_EQ(seen_by_calculator(), (Lines{"ACK", "SKIP 2", "ACK", "SKIP 2", "ACK"}));
    EXPECT_TRUE(listing(dir.path).empty());
}

// ---- Faults: nothing is saved that does not match its header ----

using pullvar_fault = ::testing::Test;

TEST(pullvar_fault, HeadersBeyondTheLimitsAreSkippedBeforeAnythingIsWritten) {
    ScratchDir dir;
    struct Case {
        Bytes header;
        HeaderFault fault;
        std::string shown; // the name as the message shows it
    };
    const std::vector<Case> cases{
        {peer::var_header(10, 0x00, "TWELVECHARS_"), HeaderFault::name_too_long, "TWELVECHARS_"},
        {peer::var_header(10, 0x1F, "A"), HeaderFault::unknown_type, "A"},
        {peer::var_header(0x8001, 0x00, "A"), HeaderFault::data_too_long, "A"},
        {peer::var_header(10, 0x00, "a/b"), HeaderFault::unsafe_name, "a/b"},
        {peer::var_header(10, 0x00, std::string("A\0B", 3)), HeaderFault::unsafe_name, "A\\x00B"},
        {peer::var_header(10, 0x00, "/\x1B\\"), HeaderFault::unsafe_name, "/\\x1B\\"},
        // Type 0x1E has no extension: the calculator would name the file.
        {peer::var_header(10, 0x1E, ".bash_login"), HeaderFault::unknown_type, ".bash_login"},
        {peer::var_header(10, 0x1E, ".."), HeaderFault::unknown_type, ".."},
        {peer::var_header(0, 0x00, "E"), HeaderFault::no_data, "E"},
        {{0x0A, 0x00, 0x00, 0x05, 'A', 'B'}, HeaderFault::short_header, "AB"},
    };
    const auto run = run_pullvar(
        [&] {
            for (const Case& bad : cases) {
                peer::send(PACKET_VAR, bad.header);
                peer::receive();
            }
            offer(A);
            end_transmission();
        },
        "", dir.path);
    EXPECT_EQ(run.status, 0);
    Lines expected = output({});
    Lines exchange;
    for (const Case& bad : cases) {
        expected.push_back("pullvar: Variable " + bad.shown + " refused (" +
                           std::string(describe(bad.fault)) + "), skipped!");
        exchange.insert(exchange.end(), {"ACK", "SKIP 2"});
    }
    expected.insert(expected.end(), {"pullvar: Receiving        A, type  REAL, to        A.85n",
                                     "pullvar: OK!", "pullvar: 1 variables received"});
    exchange.insert(exchange.end(), {"ACK", "CTS", "ACK", "ACK"});
    EXPECT_EQ(lines(run.output), expected);
    EXPECT_EQ(seen_by_calculator(), exchange);
    EXPECT_EQ(listing(dir.path), Lines{"A.85n"});
}

TEST(pullvar_fault, RefusedDataRequestEndsTheRun) {
    ScratchDir dir;
    const auto run = run_pullvar(
        [] {
            peer::send(PACKET_VAR, peer::var_header(10, 0x00, "A"));
            peer::receive();
            peer::send(PACKET_SKIP, {REASON_OUT_OF_MEMORY});
        },
        "", dir.path);
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(lines(run.output), output({"pullvar: Receiving        A, type  REAL, to        A.85n",
                                         "pullvar: Data request not acknowledged!"}));
    EXPECT_EQ(seen_by_calculator(), (Lines{"ACK", "CTS", "ACK"}));
    EXPECT_TRUE(listing(dir.path).empty());
}

TEST(pullvar_fault, DataThatDoesNotMatchItsHeaderIsNotSaved) {
    struct Case {
        std::function<void()> data;
        std::string message;
    };
    const std::vector<Case> cases{
        {[] { peer::send(PACKET_DATA, counting(9)); },
         "pullvar: Data of 9 bytes received, 10 announced, nothing saved!"},
        {[] { peer::send(PACKET_DATA, counting(11)); },
         "pullvar: Data of 11 bytes received, 10 announced, nothing saved!"},
        {[] { peer::send(PACKET_VAR, peer::var_header(10, 0x00, "A")); },
         "pullvar: Packet type 0x06 received instead of the data, nothing saved!"},
        {[] { peer::send(PACKET_EOT); },
         "pullvar: Packet type 0x92 received instead of the data, nothing saved!"},
    };
    for (const Case& bad : cases) {
        ScratchDir dir;
        write_file(dir.path / "A.85n", "old");
        const auto run = run_pullvar(
            [&] {
                peer::send(PACKET_VAR, peer::var_header(10, 0x00, "A"));
                peer::receive();
                peer::send(PACKET_ACK);
                bad.data();
            },
            "y", dir.path);
        EXPECT_EQ(run.status, 255);
        EXPECT_EQ(lines(run.output),
                  output({"pullvar: Receiving        A, type  REAL, to        A.85n",
                          PROMPT + bad.message}));
        EXPECT_EQ(listing(dir.path), Lines{"A.85n"});
        EXPECT_EQ(read_file(dir.path / "A.85n"), "old");
    }
}

// Calculators that send more or other than they announced: nothing false is saved, and a stray
// byte costs no packet.
TEST(pullvar_fault, HostileScripts) {
    struct Case {
        std::function<void()> script;
        int status;
        Lines said;
        Lines files;
    };
    const std::vector<Case> cases{
        {[] {
             offer_backup(BACKUP_HEADER, {counting(10), counting(7), counting(9)});
         },
         255,
         {"pullvar: Receiving system backup to 'backup.85b'",
          "pullvar: Backup block 1 of 10 bytes received, 2 announced, nothing saved!"},
         {}},
        {[] {
             offer_backup({0x02, 0x00, 0x1D, 0x00, 0x00, 0x03, 0x00, 0, 0}, {});
             end_transmission();
         },
         0,
         {"pullvar: Backup refused (a block without data), skipped!",
          "pullvar: 0 variables received"},
         {}},
        // A stray byte, then the header once.
        {[] {
             peer::send_raw({0x00});
             offer({"AB", 0x00, counting(2)});
             end_transmission();
         },
         0,
         {"pullvar: Receiving       AB, type  REAL, to       AB.85n", "pullvar: OK!",
          "pullvar: 1 variables received"},
         {"AB.85n"}},
    };
    for (const Case& c : cases) {
        ScratchDir dir;
        const auto run = run_pullvar(c.script, "", dir.path);
        EXPECT_EQ(run.status, c.status) << c.said.back();
        Lines expected = output({});
        expected.insert(expected.end(), c.said.begin(), c.said.end());
        EXPECT_EQ(lines(run.output), expected);
        EXPECT_EQ(listing(dir.path), c.files) << c.said.back();
    }
}

// A file in the way is asked about with lstat (a dangling link too); one that cannot be replaced
// is refused before the data are asked for, and the calculator goes on with the next variable.
TEST(pullvar_fault, FileThatCannotBeSavedIsRefusedBeforeItsData) {
    ScratchDir dir;
    fs::create_directory(dir.path / "A.85n");
    fs::create_symlink("nowhere", dir.path / "B.85n");
    fs::create_directory(dir.path / "backup.85b");
    const Variable b{"B", 0x00, counting(5)};
    const Variable c{"C", 0x00, counting(6)};
    const auto run = run_pullvar(
        [&] {
            offer(A);
            offer(b);
            offer_backup(BACKUP_HEADER, BACKUP_BLOCKS);
            offer(c);
            end_transmission();
        },
        "yny", dir.path);
    const std::string is_dir = std::strerror(EISDIR);
    EXPECT_EQ(run.status, 2); // what could not be saved is missing, and a script must notice
    EXPECT_EQ(lines(run.output),
              output({"pullvar: Receiving        A, type  REAL, to        A.85n",
                      PROMPT + "pullvar: Cannot save A.85n (" + is_dir + "), skipped!",
                      "pullvar: Receiving        B, type  REAL, to        B.85n",
                      PROMPT + "pullvar: Variable skipped!",
                      "pullvar: Receiving system backup to 'backup.85b'",
                      PROMPT + "pullvar: Cannot save backup.85b (" + is_dir + "), skipped!",
                      "pullvar: Receiving        C, type  REAL, to        C.85n", "pullvar: OK!",
                      "pullvar: 1 variables received"}));
    EXPECT_EQ(seen_by_calculator(), (Lines{"ACK", "SKIP 2", "ACK", "SKIP 2", "ACK", "SKIP 2", "ACK",
                                           "CTS", "ACK", "ACK"}));
    EXPECT_EQ(listing(dir.path), (Lines{"A.85n", "B.85n", "C.85n", "backup.85b"}));
    EXPECT_TRUE(fs::is_empty(dir.path / "A.85n"));
    EXPECT_EQ(fs::read_symlink(dir.path / "B.85n"), "nowhere");
}

// The calculator sends something else than the copy asked for after a bad checksum: the spoiled
// data are never saved, whatever came in their place.
TEST(pullvar_fault, BadChecksumFollowedByAnythingButTheResendSavesNothing) {
    struct Case {
        bool backup;
        peer::Bytes instead;
        int acknowledgements; // one per checksummed packet the computer read
        std::string message;
    };
    const std::vector<Case> cases{
        {false, peer::frame_header(PACKET_EOT), 1,
         "pullvar: Packet type 0x92 received instead of the data, nothing saved!"},
        {false, peer::frame_header(PACKET_ACK), 1,
         "pullvar: Packet type 0x56 received instead of the data, nothing saved!"},
        {false, peer::frame(PACKET_DATA, counting(4)), 2,
         "pullvar: Data of 4 bytes received, 10 announced, nothing saved!"},
        {true, peer::frame_header(PACKET_EOT), 1,
         "pullvar: Packet type 0x92 received instead of backup block 2, nothing saved!"},
    };
    for (const Case& c : cases) {
        ScratchDir dir;
        const auto run = run_pullvar(
            [&] {
                peer::send(PACKET_VAR, c.backup ? BACKUP_HEADER : peer::var_header(10, 0x00, "A"));
                peer::receive();
                peer::send(PACKET_ACK);
                if (c.backup) peer::send(PACKET_DATA, BACKUP_BLOCKS[0]);
                peer::send_raw(peer::frame(PACKET_DATA, counting(10), true));
                peer::receive(); // the request to send again
                peer::send_raw(c.instead);
                for (int i = 0; i < c.acknowledgements; ++i)
                    peer::receive();
            },
            "", dir.path);
        EXPECT_EQ(run.status, 255) << c.message;
        const Lines said = lines(run.output);
        ASSERT_FALSE(said.empty());
        EXPECT_EQ(said.back(), c.message);
        EXPECT_TRUE(listing(dir.path).empty()) << c.message;
    }
}

// A file size limit fails the write instead of killing the process; the save is reported and
// no temporary file is left.
TEST(pullvar_fault, FileSizeLimitIsACannotSave) {
    ScratchDir dir;
    const Variable big{"BIG", 0x12, counting(5000)};
    const auto run = run_pullvar([&] { offer(big); }, "", dir.path, {},
                                 [] {
                                     const rlimit limit{2048, 2048};
                                     setrlimit(RLIMIT_FSIZE, &limit);
                                 });
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(lines(run.output), output({"pullvar: Receiving      BIG, type PRGRM, to      BIG.85p",
                                         "pullvar: Cannot save BIG.85p (" +
                                             std::string(std::strerror(EFBIG)) + ")!"}));
    EXPECT_TRUE(listing(dir.path).empty());
}

// With descriptor 1 closed the first file opened would become standard output and take the
// progress lines in with the data.
TEST(pullvar_fault, ClosedStandardOutputNeverReachesTheFile) {
    ScratchDir dir;
    const auto run = run_pullvar(
        [] {
            offer(A);
            end_transmission();
        },
        "", dir.path, {}, [] { close(1); });
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, "");
    EXPECT_EQ(listing(dir.path), Lines{"A.85n"});
    EXPECT_EQ(read_file(dir.path / "A.85n"), variable_file("A", 0x00, A.data));
}

// A strict umask: the file is finished through the descriptor that created it and gets its mode
// last. A replaced file keeps its own permission bits. Run as an ordinary user, as root may
// write read-only files anyway.
TEST(pullvar_fault, StrictUmaskStillSavesAndAReplacedFileKeepsItsMode) {
    struct Case {
        mode_t umask;
        int existing_mode; // -1: no file yet
        fs::perms saved;
    };
    using P = fs::perms;
    const std::vector<Case> cases{
        {0222, -1, P::owner_read | P::group_read | P::others_read},
        {0277, -1, P::owner_read},
        {0277, 0640, P::owner_read | P::owner_write | P::group_read},
    };
    for (const Case& c : cases) {
        ScratchDir dir;
        const passwd* nobody = getpwnam("nobody");
        const uid_t uid = nobody != nullptr ? nobody->pw_uid : 65534;
        const gid_t gid = nobody != nullptr ? nobody->pw_gid : 65534;
        const bool root = geteuid() == 0;
        if (root) {
            ASSERT_EQ(chown(dir.path.c_str(), uid, gid), 0);
        }
        if (c.existing_mode >= 0) {
            write_file(dir.path / "A.85n", "old");
            ASSERT_EQ(chmod((dir.path / "A.85n").c_str(), static_cast<mode_t>(c.existing_mode)), 0);
            if (root) {
                ASSERT_EQ(chown((dir.path / "A.85n").c_str(), uid, gid), 0);
            }
        }
        const auto run = run_pullvar(
            [] {
                offer(A);
                end_transmission();
            },
            "y", dir.path, {},
            [&] {
                umask(c.umask);
                if (root && (setresgid(gid, gid, gid) != 0 || setresuid(uid, uid, uid) != 0)) {
                    std::exit(125);
                }
            });
        EXPECT_EQ(run.status, 0) << run.output;
        EXPECT_EQ(listing(dir.path), Lines{"A.85n"});
        EXPECT_EQ(read_file(dir.path / "A.85n"), variable_file("A", 0x00, A.data));
        EXPECT_EQ(fs::status(dir.path / "A.85n").permissions(), c.saved);
    }
}

// A folder that takes no file is refused before the cable is opened, as an ordinary user (nobody
// when the tests run as root, in a folder root keeps to itself).
TEST(pullvar_fault, FolderThatTakesNoFileIsRefusedBeforeTheCable) {
    ScratchDir dir;
    const bool root = geteuid() == 0;
    if (!root) fs::permissions(dir.path, fs::perms::owner_read | fs::perms::owner_exec);
    const auto run = run_pullvar([] { end_transmission(); }, "", dir.path, {},
                                 [] {
                                     if (!testing_support::become_ordinary_user()) std::exit(125);
                                 });
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(
        lines(run.output),
        (Lines{"Talvaro/Linux v1.1: receives variables from a TI-85",
               "By the Talvaro link tools authors. Free software; see the README for the "
               "terms.",
               "", "pullvar: Cannot save files in the current directory (Permission denied)!"}));
    EXPECT_TRUE(peer::grants().empty());
    fs::permissions(dir.path, fs::perms::owner_all);
}

// ---- Interrupts ----

// The calculator stops answering in the middle of an exchange, so the computer waits holding a
// line low. Its thread keeps every signal away, so that the program's own handler runs in the
// program's thread.
void pause_calculator() {
    sigset_t signals;
    sigfillset(&signals);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    peer::hang();
}

// Every signal whose default action ends a process (signal(7)), the real-time ones included,
// but for SIGPIPE and SIGXFSZ, which the link programs ignore so that a write fails instead.
std::vector<int> terminating_signals_but_pipe_and_xfsz() {
    std::vector<int> all{SIGHUP,  SIGINT,    SIGQUIT, SIGILL,  SIGTRAP, SIGABRT, SIGBUS,
                         SIGFPE,  SIGUSR1,   SIGSEGV, SIGUSR2, SIGALRM, SIGTERM, SIGSTKFLT,
                         SIGXCPU, SIGVTALRM, SIGPROF, SIGIO,   SIGPWR,  SIGSYS};
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal)
        all.push_back(signal);
    return all;
}

// Interrupts the child once the calculator has stopped and, if the computer was sending, once it
// holds a line low; notes the output register then.
std::function<void(int)> interrupt_with(int signal, std::uint8_t& held, bool sending = true) {
    return [signal, &held, sending](int pid) {
        EXPECT_TRUE(peer::wait_for_hang());
        if (sending) {
            EXPECT_TRUE(peer::wait_for_held_line());
        }
        held = peer::last_output();
        kill(pid, signal);
    };
}

TEST(pullvar_interrupt, MidBackupReleasesTheLinesAndKeepsTheOldFile) {
    const rlimit no_core{0, 0}; // SIGQUIT and others would leave one in the folder
    setrlimit(RLIMIT_CORE, &no_core);
    for (const int signal : terminating_signals_but_pipe_and_xfsz()) {
        ScratchDir dir;
        write_file(dir.path / "backup.85b", "old");
        std::uint8_t held = 0;
        const auto run = run_pullvar(
            [] {
                peer::send(PACKET_VAR, BACKUP_HEADER);
                peer::receive();
                peer::send(PACKET_ACK);
                peer::send(PACKET_DATA, BACKUP_BLOCKS[0]);
                // The calculator takes the first byte of the acknowledgement of the second
                // block, then stops: the computer holds a line low for the next bit.
                peer::send(PACKET_DATA, BACKUP_BLOCKS[1], {.await_ack = false});
                peer::recv_byte();
                pause_calculator();
            },
            "y", dir.path, interrupt_with(signal, held));
        EXPECT_EQ(run.signal, signal) << strsignal(signal);
        EXPECT_NE(held, 0x03);
        EXPECT_EQ(peer::last_output(), 0x03) << strsignal(signal);
        EXPECT_EQ(lines(run.output),
                  output({"pullvar: Receiving system backup to 'backup.85b'", PROMPT}));
        EXPECT_EQ(listing(dir.path), Lines{"backup.85b"});
        EXPECT_EQ(read_file(dir.path / "backup.85b"), "old");
    }
}

TEST(pullvar_interrupt, MidVariableKeepsTheOldFile) {
    ScratchDir dir;
    write_file(dir.path / "A.85n", "old");
    std::uint8_t held = 0;
    const auto run = run_pullvar(
        [] {
            peer::send(PACKET_VAR, peer::var_header(10, 0x00, "A"));
            peer::receive();
            peer::send(PACKET_ACK);
            peer::send_raw({0x85, PACKET_DATA, 10, 0, 1, 2, 3});
            pause_calculator();
        },
        "y", dir.path, interrupt_with(SIGINT, held, false));
    EXPECT_EQ(run.signal, SIGINT);
    EXPECT_EQ(peer::last_output(), 0x03);
    EXPECT_EQ(listing(dir.path), Lines{"A.85n"});
    EXPECT_EQ(read_file(dir.path / "A.85n"), "old");
}

} // namespace
