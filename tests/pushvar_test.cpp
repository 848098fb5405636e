// The sender end to end: its real entry function in a child process, the virtual calculator on
// the modelled wire, variable files built byte by byte in a scratch directory.
#include "pushvar/pushvar.h"

#include "calc/calc.h"
#include "link/cable.h"
#include "link/link.h"
#include "link/wire.h"
#include "tests/support/child.h"
#include "tests/support/programs.h"
#include "tests/support/varfiles.h"
#include "varfile/varfile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>
#include <vector>

using peer::Bytes;
using testing_support::bytes_of;
using testing_support::call_main;
using testing_support::ChildResult;
using testing_support::counting;
using testing_support::run_child;
using testing_support::ScratchDir;
using testing_support::text;
namespace fs = std::filesystem;

namespace {

// The cable of this run of the tests: TI85_CABLE, as the build registers each test.
const bool cable_chosen = (choose_cable(nullptr, nullptr), true);

// ---- Variable files, from their layout ----

Bytes entry(std::uint8_t type, const std::string& name, const Bytes& data) {
    return bytes_of(testing_support::entry(type, name, text(data)));
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A whole file around a data section; the first bytes of the signature can be replaced, and
// `checksum_error` is added to the stored sum.
Bytes var_file(const Bytes& section, const std::string& signature = "**TI85**",
               int checksum_error = 0) {
    return bytes_of(testing_support::file_around(text(section), checksum_error, signature));
}

// A backup header announcing blocks of 2, 1 and 3 bytes, with the blocks themselves.
const Bytes BACKUP_HEADER{0x02, 0x00, 0x1D, 0x01, 0x00, 0x03, 0x00, 0xAB, 0xCD};
const std::vector<Bytes> BACKUP_BLOCKS{{0x11, 0x12}, {0x21}, {0x31, 0x32, 0x33}};

Bytes backup_section() {
    return bytes_of(testing_support::backup_section(BACKUP_HEADER, BACKUP_BLOCKS));
}

void put(const ScratchDir& dir, const std::string& name, const Bytes& bytes) {
    testing_support::write_file(dir.path / name, std::string(bytes.begin(), bytes.end()));
}

// ---- Runs ----

ChildResult push(const ScratchDir& dir, const std::vector<std::string>& args,
                 const std::function<void()>& script, const peer::Options& options = {}) {
    return testing_support::run_program(pushvar_main, "pushvar", script,
                                        {.args = args, .dir = dir.path, .options = options});
}

// The output after the banner, line by line.
std::vector<std::string> messages(const ChildResult& result) {
    auto all = testing_support::lines(result.output);
    EXPECT_GE(all.size(), 3u) << result.output;
    if (all.size() < 3) return all;
    EXPECT_EQ(all[0].rfind("Talvaro/Linux v1.1", 0), 0u) << all[0];
    EXPECT_FALSE(all[1].empty());
    EXPECT_EQ(all[2], "");
    return {all.begin() + 3, all.end()};
}

using Lines = std::vector<std::string>;

// What the calculator received, as (type, data) pairs; every packet is checked for the
// computer's machine id and an intact checksum on the way.
using Sent = std::pair<int, Bytes>;
std::vector<Sent> received() {
    std::vector<Sent> packets;
    for (const peer::Packet& packet : peer::from_pc()) {
        EXPECT_EQ(packet.machine, MACHINE_ID_PC);
        EXPECT_TRUE(packet.intact);
        packets.emplace_back(packet.type, packet.data);
    }
    return packets;
}

// The packets of one accepted variable: its header, our acknowledgement of the CTS, its data.
std::vector<Sent> offered(std::uint8_t type, const std::string& name, const Bytes& data) {
    return {{PACKET_VAR, bytes_of(testing_support::var_header_data(data.size(), type, name))},
            {PACKET_ACK, {}},
            {PACKET_DATA, data}};
}

std::vector<Sent> operator+(std::vector<Sent> a, const std::vector<Sent>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::vector<Sent> EOT{{PACKET_EOT, {}}};

// ---- The calculator's side ----

void accept() {
    peer::receive(); // the variable header
    peer::send(PACKET_CTS);
    peer::receive(); // the computer's acknowledgement
    peer::receive(); // the data
}

// Refuses the next variable; the computer acknowledges the skip packet.
void refuse(std::uint8_t reason) {
    peer::receive();
    peer::send(PACKET_SKIP, {reason});
}

void end_of_transmission() {
    peer::receive();
    peer::send(PACKET_ACK);
}

// Takes every one of `count` variables, then the end of the transmission.
void accept_all(int count) {
    for (int i = 0; i < count; ++i)
        accept();
    end_of_transmission();
}

constexpr int FAILED = 255;
constexpr int PASSED_OVER = 2;

const Bytes A_DATA = counting(10);

// ---- Sending variables ----

// Every path is looked at before the first packet; a missing one is named (its control bytes
// escaped) and passed over, and the run says so in its status.
TEST(pushvar, SendsEveryPathInOrderAndReportsMissingOnes) {
    ScratchDir dir;
    const Bytes a = var_file(entry(0x00, "A", A_DATA));
    // The layout the receiver writes for A = 01..0A, from offset 53.
    const Bytes tail{0x13, 0x00, 0x05, 0x00, 0x0A, 0x00, 0x00, 0x01, 0x41, 0x0A, 0x00, 0x01,
                     0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x92, 0x00};
    ASSERT_EQ(a.size(), 76u);
    ASSERT_EQ(Bytes(a.begin() + 53, a.end()), tail);
    put(dir, "A.85n", a);
    put(dir, "PROGRAMNAME.85p", var_file(entry(0x12, "PROGRAMNAME", counting(300, 7))));

    const auto result =
        push(dir, {"A.85n", "gone.85n", "PROGRAMNAME.85p", "A.85n", "\x1B]0;x\x07.85n"},
             [] { accept_all(3); });
    EXPECT_EQ(result.status, PASSED_OVER);
    EXPECT_EQ(messages(result),
              (Lines{
                  "pushvar: File 'gone.85n' does not exist!",
                  "pushvar: File '\\x1B]0;x\\x07.85n' does not exist!",
                  "pushvar: Sending        A, type  REAL, from        A.85n",
                  "pushvar: OK!",
                  "pushvar: Sending PROGRAMNAME, type PRGRM, from PROGRAMNAME.85p",
                  "pushvar: OK!",
                  "pushvar: Sending        A, type  REAL, from        A.85n",
                  "pushvar: OK!",
                  "pushvar: 3 variables sent",
              }));
    EXPECT_EQ(received(), offered(0x00, "A", A_DATA) +
                              offered(0x12, "PROGRAMNAME", counting(300, 7)) +
                              offered(0x00, "A", A_DATA) + EOT);

    // Nothing left to send: the count, and the cable never opened.
    const auto none = push(dir, {"gone.85n"}, [] {});
    EXPECT_EQ(none.status, PASSED_OVER);
    EXPECT_EQ(messages(none),
              (Lines{"pushvar: File 'gone.85n' does not exist!", "pushvar: 0 variables sent"}));
    EXPECT_TRUE(peer::grants().empty());
}

TEST(pushvar, OnlyTheFirstThreeSignatureBytesCount) {
    ScratchDir dir;
    put(dir, "other.bin", var_file(entry(0x00, "A", A_DATA), "*XTI85**"));
    put(dir, "near.85n", var_file(entry(0x01, "Z", {1, 2}), "**TX86!!"));

    // A file that is not a variable file is named and passed over.
    const std::string passed_over = "pushvar: File 'other.bin' is not a variable file, skipped!";
    auto result = push(dir, {"other.bin"}, [] {});
    EXPECT_EQ(result.status, PASSED_OVER);
    EXPECT_EQ(messages(result), (Lines{passed_over, "pushvar: 0 variables sent"}));
    EXPECT_TRUE(received().empty());

    result = push(dir, {"other.bin", "near.85n"}, [] { accept_all(1); });
    EXPECT_EQ(result.status, PASSED_OVER);
    EXPECT_EQ(messages(result), (Lines{
                                    passed_over,
                                    "pushvar: Sending        Z, type  CPLX, from     near.85n",
                                    "pushvar: OK!",
                                    "pushvar: 1 variables sent",
                                }));
    EXPECT_EQ(received(), offered(0x01, "Z", {1, 2}) + EOT);
}

// Every file is checked before the first packet: a bad one anywhere in line means nothing at all
// is sent, and each bad file has its own line.
TEST(pushvar, BadFileAnywhereInLineSendsNothing) {
    ScratchDir dir;
    put(dir, "A.85n", var_file(entry(0x00, "A", A_DATA)));
    put(dir, "L1.85l", var_file(entry(0x04, "L1", {1, 2, 3})));
    put(dir, "bad.85p", var_file(entry(0x12, "P", A_DATA), "**TI85**", 1));
    Bytes cut_short = var_file(entry(0x00, "S", A_DATA));
    cut_short.resize(60);
    put(dir, "short.85n", cut_short);

    auto result = push(dir, {"A.85n", "L1.85l", "bad.85p"}, [] {});
    EXPECT_EQ(result.status, FAILED);
    EXPECT_EQ(messages(result), Lines{"pushvar: Grouped file 'bad.85p' has incorrect checksum!"});
    EXPECT_TRUE(received().empty());

    result = push(dir, {"short.85n", "A.85n", "gone.85n", "bad.85p"}, [] {});
    EXPECT_EQ(result.status, FAILED);
    EXPECT_EQ(messages(result),
              (Lines{"pushvar: File 'short.85n' is damaged: shorter than its data section says",
                     "pushvar: File 'gone.85n' does not exist!",
                     "pushvar: Grouped file 'bad.85p' has incorrect checksum!"}));
    EXPECT_TRUE(received().empty());
}

TEST(pushvar, SkippedVariablesAreNotCounted) {
    ScratchDir dir;
    Bytes second = entry(0x0C, "S", {'h', 'i'});
    second[0] = 0x77; // the entry header length is never read
    put(dir, "three.85g",
        var_file(entry(0x04, "L1", {9, 8, 7}) + second + entry(0x12, "EMPTY", {}) +
                 entry(0x12, "P", {0xC9})));
    put(dir, "two.85g", var_file(entry(0x00, "X", {1}) + entry(0x00, "Y", {2})));

    auto result = push(dir, {"three.85g"}, [] {
        accept();
        refuse(REASON_SKIP);
        accept();
        end_of_transmission();
    });
    // A variable without data is never offered: its data packet could carry no checksum.
    EXPECT_EQ(result.status, PASSED_OVER);
    EXPECT_EQ(messages(result), (Lines{
                                    "pushvar: Sending       L1, type  LIST, from    three.85g",
                                    "pushvar: OK!",
                                    "pushvar: Sending        S, type STRNG, from    three.85g",
                                    "pushvar: Variable skipped!",
                                    "pushvar: Variable EMPTY refused (no data), skipped!",
                                    "pushvar: Sending        P, type PRGRM, from    three.85g",
                                    "pushvar: OK!",
                                    "pushvar: 2 variables sent",
                                }));
    const std::vector<Sent> skipped{{PACKET_VAR, peer::var_header(2, 0x0C, "S")}, {PACKET_ACK, {}}};
    EXPECT_EQ(received(),
              offered(0x04, "L1", {9, 8, 7}) + skipped + offered(0x12, "P", {0xC9}) + EOT);

    // Nothing accepted: no end of transmission, and the count says so.
    result = push(dir, {"two.85g"}, [] {
        refuse(REASON_SKIP);
        refuse(REASON_SKIP);
    });
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(messages(result).back(), "pushvar: 0 variables sent");
    EXPECT_EQ(received(), (std::vector<Sent>{{PACKET_VAR, peer::var_header(1, 0x00, "X")},
                                             {PACKET_ACK, {}},
                                             {PACKET_VAR, peer::var_header(1, 0x00, "Y")},
                                             {PACKET_ACK, {}}}));
}

TEST(pushvar, EveryOtherAnswerToAVariableEndsTheRun) {
    ScratchDir dir;
    // D = 2, so a stale buffer would read as "skip" if a reasonless skip were trusted.
    put(dir, "V.85v", var_file(entry(0x02, "V", {5, 6})));
    const std::vector<Sent> header_acked{{PACKET_VAR, peer::var_header(2, 0x02, "V")},
                                         {PACKET_ACK, {}}};
    const std::vector<Sent> header_only{{PACKET_VAR, peer::var_header(2, 0x02, "V")}};

    struct Case {
        std::function<void()> answer;
        std::string message;
        std::vector<Sent> packets;
    };
    const std::vector<Case> cases{
        {[] { refuse(REASON_ABORT); }, "pushvar: Transfer aborted by calculator!", header_acked},
        {[] { refuse(REASON_OUT_OF_MEMORY); }, "pushvar: Calculator out of memory!", header_acked},
        {[] { refuse(0); }, "pushvar: Transfer failed!", header_acked},
        {[] { refuse(0xFF); }, "pushvar: Transfer failed!", header_acked},
        {[] {
             peer::receive();
             peer::send(PACKET_SKIP); // no reason byte at all
         },
         "pushvar: Transfer failed!", header_only},
        {[] {
             peer::receive();
             peer::send(PACKET_EOT);
         },
         "Invalid ACK packet!", header_only},
        {[] {
             peer::receive();
             peer::send(PACKET_DATA, {1}); // acknowledged, then refused as an answer
         },
         "Invalid ACK packet!", header_acked},
    };
    for (const Case& c : cases) {
        const auto result = push(dir, {"V.85v", "V.85v"}, c.answer);
        EXPECT_EQ(result.status, FAILED) << c.message;
        EXPECT_EQ(messages(result),
                  (Lines{"pushvar: Sending        V, type VECTR, from        V.85v", c.message}));
        EXPECT_EQ(received(), c.packets) << c.message;
    }
}

TEST(pushvar, UnacknowledgedDataPacketEndsWithStatusOne) {
    ScratchDir dir;
    put(dir, "A.85n", var_file(entry(0x00, "A", A_DATA)));
    const auto result = push(dir, {"A.85n"}, [] {
        peer::receive();
        peer::send(PACKET_CTS);
        peer::receive();
        peer::receive(PACKET_ERR);
    });
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(messages(result), (Lines{"pushvar: Sending        A, type  REAL, from        A.85n",
                                       "Packet not acknowledged, exiting..."}));
    EXPECT_EQ(received(), offered(0x00, "A", A_DATA));
}

// A backup can only be restored whole: one among variables is damage, not a variable.
TEST(pushvar, LaterEntryOfBackupTypeMakesTheFileDamaged) {
    ScratchDir dir;
    put(dir, "mixed.85g", var_file(entry(0x12, "P", {0xC9}) + entry(0x1D, "B", {1, 2, 3})));
    const auto result = push(dir, {"mixed.85g"}, [] { accept_all(2); });
    EXPECT_EQ(result.status, FAILED);
    EXPECT_EQ(messages(result),
              Lines{"pushvar: File 'mixed.85g' is damaged: backup entry among variables"});
    EXPECT_TRUE(received().empty());
}

TEST(pushvar, FileWrittenByTheReceiverGoesBackUnchanged) {
    ScratchDir dir;
    static std::uint8_t scratch[DATA_SECTION_MAX]; // for the writer's checksum pass
    VarHeader header{.data_length = 600, .type = 0x12, .name_length = 5, .name = {"PRGM1"}};
    const Bytes data = counting(600, 0xF0);
    ASSERT_TRUE(write_variable((dir.path / "PRGM1.85p").c_str(), header, data.data(), scratch));

    const auto result = push(dir, {"PRGM1.85p"}, [] { accept_all(1); });
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(messages(result), (Lines{
                                    "pushvar: Sending    PRGM1, type PRGRM, from    PRGM1.85p",
                                    "pushvar: OK!",
                                    "pushvar: 1 variables sent",
                                }));
    EXPECT_EQ(received(), offered(0x12, "PRGM1", data) + EOT);
}

// ---- Backups ----

std::vector<Sent> restored() {
    std::vector<Sent> packets{{PACKET_VAR, BACKUP_HEADER}, {PACKET_ACK, {}}};
    for (const Bytes& block : BACKUP_BLOCKS)
        packets.emplace_back(PACKET_DATA, block);
    return packets;
}

void take_backup() {
    peer::receive();
    peer::send(PACKET_CTS);
    peer::receive();
    for (int block = 0; block < 3; ++block)
        peer::receive();
}

TEST(pushvar_backup, BackupIsRestoredAndEndsTheRun) {
    ScratchDir dir;
    const Bytes backup = var_file(backup_section());
    ASSERT_EQ(backup[53], 23); // 17 + 2 + 1 + 3
    put(dir, "backup.85b", backup);
    put(dir, "A.85n", var_file(entry(0x00, "A", A_DATA)));

    // Paths after a backup are checked but never sent; one passed over shows in the status.
    auto result = push(dir, {"backup.85b", "gone.85n", "A.85n"}, take_backup);
    EXPECT_EQ(result.status, PASSED_OVER);
    EXPECT_EQ(messages(result), (Lines{"pushvar: File 'gone.85n' does not exist!",
                                       "pushvar: Sending system backup from 'backup.85b'",
                                       "pushvar: Backup transfer OK!"}));
    EXPECT_EQ(received(), restored());

    // Variables sent before stay sent; no end of transmission and no count follow the restore.
    result = push(dir, {"A.85n", "backup.85b"}, [] {
        accept();
        take_backup();
    });
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(messages(result),
              (Lines{"pushvar: Sending        A, type  REAL, from        A.85n", "pushvar: OK!",
                     "pushvar: Sending system backup from 'backup.85b'",
                     "pushvar: Backup transfer OK!"}));
    EXPECT_EQ(received(), offered(0x00, "A", A_DATA) + restored());

    result = push(dir, {"backup.85b"}, [] { refuse(REASON_SKIP); });
    EXPECT_EQ(result.status, FAILED);
    EXPECT_EQ(messages(result), (Lines{"pushvar: Sending system backup from 'backup.85b'",
                                       "pushvar: Calculator refused to receive system backup!"}));
    EXPECT_EQ(received(), (std::vector<Sent>{{PACKET_VAR, BACKUP_HEADER}, {PACKET_ACK, {}}}));
}

// ---- Files that cannot be sent ----

TEST(pushvar_file, DamagedFileIsRefusedBeforeAnythingOfItIsSent) {
    ScratchDir dir;
    const Bytes good = entry(0x00, "A", A_DATA);
    Bytes long_name = entry(0x00, "ABCDEFGHIJKL", {1});
    Bytes data_overrun = good;
    data_overrun[8] = 0x20; // second copy of D: 0x200A, far past the data section
    Bytes short_block = backup_section();
    short_block[2 + 9] = 3; // block 1 claims 3 bytes: the blocks overrun the data section
    Bytes truncated = var_file(good);
    truncated.resize(truncated.size() - 2);
    Bytes short_section = var_file(good);
    short_section.resize(60);
    const Bytes whole = var_file(good);
    Bytes copies_differ = good;
    copies_differ[2] = 9; // first copy of D
    // A header announcing blocks of 2, 1 and 3 bytes, followed by blocks of 10, 7 and 9.
    const Bytes other_blocks = bytes_of(testing_support::backup_section(
        BACKUP_HEADER, std::vector<Bytes>{counting(10), counting(7), counting(9)}));
    put(dir, "A.85n", var_file(good));

    const std::vector<std::pair<std::string, Bytes>> files{
        {"empty section", var_file({})},
        {"name of 12 bytes", var_file(long_name)},
        {"type 0x1F", var_file(entry(0x1F, "A", A_DATA))},
        {"data past the section", var_file(data_overrun)},
        {"bytes left over", var_file(good + Bytes{0, 0, 0})},
        {"blocks past the section", var_file(short_block)},
        {"missing blocks", var_file(Bytes{9, 0} + BACKUP_HEADER + Bytes{2, 0, 1, 2})},
        {"no checksum", truncated},
        {"section cut short", short_section},
        {"oversized section", var_file(entry(0x00, "BIG", Bytes(BUFFER_SIZE, 0x5A)))},
        {"signature alone", Bytes{'*', '*', 'T'}},
        {"52 bytes", Bytes(whole.begin(), whole.begin() + 52)},
        {"copies of D differ", var_file(copies_differ)},
        {"bytes after the checksum", var_file(good) + Bytes{0}},
        {"type 0x1E", var_file(entry(0x1E, ".bash_login", A_DATA))},
        {"blocks unlike the header", var_file(other_blocks)},
    };
    for (const auto& [name, bytes] : files) {
        put(dir, name, bytes);
        const auto result = push(dir, {name, "A.85n"}, [] {});
        EXPECT_EQ(result.status, FAILED) << name;
        const Lines lines = messages(result);
        ASSERT_EQ(lines.size(), 1u) << name << "\n" << result.output;
        EXPECT_EQ(lines[0].rfind("pushvar: ", 0), 0u) << lines[0];
        EXPECT_NE(lines[0].find("'" + name + "'"), std::string::npos) << lines[0];
        EXPECT_TRUE(received().empty()) << name;
        // Found without the cable: it was never opened.
        EXPECT_TRUE(peer::grants().empty()) << name;
    }
}

TEST(pushvar_file, UnreadablePathIsReportedAndTheRunGoesOn) {
    ScratchDir dir;
    fs::create_directory(dir.path / "folder.85n");
    put(dir, "A.85n", var_file(entry(0x00, "A", A_DATA)));
    // A socket exists for stat, but even root cannot open it as a file.
    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{.sun_family = AF_UNIX};
    const std::string sock_path = (dir.path / "sock.85n").string();
    ASSERT_LT(sock_path.size(), sizeof address.sun_path);
    sock_path.copy(address.sun_path, sock_path.size());
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    // A path that cannot be looked up says why, as one in a directory that may not be searched
    // does (a case that root, who may search any, cannot show).
    fs::create_symlink("loop.85n", dir.path / "loop.85n");

    const auto result =
        push(dir, {"folder.85n", "sock.85n", "loop.85n", "A.85n"}, [] { accept_all(1); });
    const std::string unopenable =
        "pushvar: File 'sock.85n' cannot be opened: No such device or address";
    EXPECT_EQ(result.status, PASSED_OVER);
    EXPECT_EQ(messages(result),
              (Lines{
                  "pushvar: File 'folder.85n' cannot be read: Is a directory",
                  unopenable,
                  "pushvar: File 'loop.85n' cannot be opened: " + std::string(std::strerror(ELOOP)),
                  "pushvar: Sending        A, type  REAL, from        A.85n",
                  "pushvar: OK!",
                  "pushvar: 1 variables sent",
              }));
    close(sock);
}

// The file is read once: what was checked is what goes out, even if the file changes meanwhile.
TEST(pushvar_file, FileChangedDuringTheTransferIsSentAsChecked) {
    ScratchDir dir;
    const Bytes data = counting(10000);
    put(dir, "A.85n", var_file(entry(0x00, "A", data)));
    const fs::path path = dir.path / "A.85n";
    const auto result = push(dir, {"A.85n"}, [&] {
        peer::receive();
        fs::resize_file(path, 62); // the data are gone from the disk by the time they are sent
        peer::send(PACKET_CTS);
        peer::receive();
        peer::receive();
        end_of_transmission();
    });
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(messages(result), (Lines{"pushvar: Sending        A, type  REAL, from        A.85n",
                                       "pushvar: OK!", "pushvar: 1 variables sent"}));
    EXPECT_EQ(received(), offered(0x00, "A", data) + EOT);
}

// ---- The process around the transfer ----

// Nothing to send needs no cable: not a port is asked for, even where it would be refused.
TEST(pushvar_run, NoPathsPrintsTheUsageWithoutTheLink) {
    ScratchDir dir;
    const std::uint16_t out = link_type == LINK_SERIAL ? SERIAL_OUT : PARALLEL_OUT;
    for (const auto& [args, refused] :
         std::vector<std::pair<std::vector<std::string>, std::vector<std::uint16_t>>>{
             {{}, {}}, {{}, {out}}, {{"--"}, {}}}) {
        const auto result = push(dir, args, [] {}, {.refuse = refused});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(messages(result),
                  (Lines{"pushvar: No files specified - aborting!",
                         "Usage: pushvar [OPTION]... FILE...", "Try 'pushvar --help' for more."}));
        EXPECT_TRUE(peer::grants().empty());
    }
}

TEST(pushvar_run, FilesNamedLikeOptionsAreSentAfterTheDoubleDash) {
    ScratchDir dir;
    put(dir, "-x", var_file(entry(0x00, "A", A_DATA)));
    put(dir, "--help", var_file(entry(0x00, "B", A_DATA)));
    const auto result = push(dir, {"--", "-x", "--help"}, [] { accept_all(2); });
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(messages(result), (Lines{
                                    "pushvar: Sending        A, type  REAL, from           -x",
                                    "pushvar: OK!",
                                    "pushvar: Sending        B, type  REAL, from       --help",
                                    "pushvar: OK!",
                                    "pushvar: 2 variables sent",
                                }));
}

int open_files() {
    int count = 0;
    if (DIR* fds = opendir("/proc/self/fd")) {
        while (readdir(fds) != nullptr)
            ++count;
        closedir(fds);
    }
    return count;
}

TEST(pushvar_run, EveryFileOpenedIsClosed) {
    ScratchDir dir;
    put(dir, "other.bin", Bytes{'M', 'Z', 0, 0, 0, 0, 0, 0, 0, 0});
    put(dir, "A.85n", var_file(entry(0x00, "A", A_DATA)));
    put(dir, "two.85g", var_file(entry(0x00, "X", {1}) + entry(0x00, "Y", {2})));
    fs::create_directory(dir.path / "folder");
    peer::reset();
    const auto result = run_child(
        [] {
            peer::run([] {
                accept();
                refuse(REASON_SKIP);
                refuse(REASON_SKIP);
            });
            init_link();
            const int before = open_files();
            const int sent = sendgroup("other.bin") + sendgroup("A.85n") + sendgroup("two.85g") +
                             sendgroup("folder") + sendgroup("gone");
            return sent == 1 && open_files() == before ? 0 : 2;
        },
        "", dir.path);
    EXPECT_EQ(result.status, 0) << result.output;
}

TEST(pushvar_run, InterruptReleasesTheLines) {
    ScratchDir dir;
    put(dir, "A.85n", var_file(entry(0x00, "A", A_DATA)));
    // A calculator that never takes the first bit leaves the computer holding a line low.
    const auto result =
        testing_support::run_program(pushvar_main, "pushvar", [] { peer::receive(); },
                                     {.args = {"A.85n"},
                                      .dir = dir.path,
                                      .options = {.delay = 1 << 30},
                                      .meanwhile = [](int pid) {
                                          EXPECT_TRUE(peer::wait_for_held_line());
                                          kill(pid, SIGINT);
                                      }});
    EXPECT_EQ(result.signal, SIGINT);
    EXPECT_EQ(peer::last_output(), LINES_RELEASED);
    EXPECT_EQ(messages(result), Lines{"pushvar: Sending        A, type  REAL, from        A.85n"});
}

// ---- At a terminal ----

// Progress goes to standard error at a terminal, for the 2000-byte packet only: drawn from 0,
// then erased. Standard output and every port access stay the same without a terminal.
TEST(pushvar_terminal, ProgressOfLongPacketsAtATerminalOnlyOverTheSameWire) {
    ScratchDir dir;
    const Bytes big = counting(2000);
    put(dir, "BIG.85l", var_file(entry(0x04, "BIG", big)));
    put(dir, "A.85n", var_file(entry(0x00, "A", A_DATA)));
    std::string errors[2];
    std::string outputs[2];
    std::uint64_t accesses[2] = {};
    for (const bool terminal : {false, true}) {
        peer::reset();
        const auto result = testing_support::run_child_with_errors(
            terminal, errors[terminal],
            [] {
                peer::run([] { accept_all(2); });
                return call_main(pushvar_main, "pushvar", {"BIG.85l", "A.85n"});
            },
            "", dir.path);
        EXPECT_EQ(result.status, 0);
        outputs[terminal] = result.output;
        accesses[terminal] = peer::accesses();
    }
    EXPECT_EQ(errors[false], "");
    EXPECT_EQ(outputs[true], outputs[false]);
    EXPECT_EQ(accesses[true], accesses[false]);

    // "\r<state>\r<state>...\r<spaces>\r": each state one line, the last blanked out.
    std::vector<std::string> drawn;
    std::istringstream shown(errors[true]);
    for (std::string part; std::getline(shown, part, '\r');)
        drawn.push_back(part);
    ASSERT_GE(drawn.size(), 3u) << errors[true];
    EXPECT_EQ(drawn[0], "");
    EXPECT_TRUE(drawn[1].starts_with("0 of 2000 bytes, 0%")) << drawn[1];
    std::size_t widest = 0;
    for (std::size_t i = 1; i + 1 < drawn.size(); ++i) {
        EXPECT_TRUE(drawn[i].find(" of 2000 bytes, ") != std::string::npos) << drawn[i];
        widest = std::max(widest, drawn[i].find_last_not_of(' ') + 1);
    }
    EXPECT_EQ(drawn.back(), std::string(widest, ' '));
    EXPECT_TRUE(errors[true].ends_with("\r"));
}

TEST(pushvar_terminal, HintWhenTheCalculatorDoesNotAnswerAHeader) {
    ScratchDir dir;
    put(dir, "A.85n", var_file(entry(0x00, "A", A_DATA)));
    peer::reset({.stall_check = false});
    std::string errors;
    const auto result = testing_support::run_child_with_errors(
        true, errors,
        [] {
            peer::run([] {
                peer::receive();
                peer::hang();
            });
            return call_main(pushvar_main, "pushvar", {"A.85n"});
        },
        "", dir.path, 4500);
    EXPECT_EQ(result.signal, SIGTERM);
    EXPECT_EQ(errors, "waiting for the calculator: is it in its receive mode (LINK, RECV)?\n");
}

} // namespace
