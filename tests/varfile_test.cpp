// Variable files: byte-exact writing, atomic replacement, and the sender's checks.
#include "atomicfile/atomicfile.h"
#include "calc/calc.h"
#include "tests/support/child.h"
#include "tests/support/varfiles.h"
#include "varfile/varfile.h"

#include <gtest/gtest.h>

#include <array>
#include <csignal>
#include <cstring>
#include <map>
#include <sys/resource.h>
#include <unistd.h>

using testing_support::listing;
using testing_support::read_file;
using testing_support::run_child;
using testing_support::ScratchDir;
using testing_support::write_file;

namespace {

using testing_support::entry;
using testing_support::FILE_HEADER;
using testing_support::u16;

// A file around a data section, with a stored checksum of the caller's choice if given.
std::string file_around(const std::string& data, int checksum = -1) {
    if (checksum < 0) return testing_support::file_around(data);
    unsigned total = 0;
    for (unsigned char c : data)
        total += c;
    return testing_support::file_around(data, checksum - static_cast<int>(total & 0xFFFF));
}

struct Fixture : ::testing::Test {
    void SetUp() override {
        previous = std::filesystem::current_path();
        std::filesystem::current_path(dir.path);
    }
    void TearDown() override { std::filesystem::current_path(previous); }

    VarHeader header(const std::string& packet) {
        VarHeader h{};
        EXPECT_EQ(read_var_header(reinterpret_cast<const std::uint8_t*>(packet.data()),
                                  static_cast<std::uint16_t>(packet.size()), h),
                  HeaderFault::none);
        return h;
    }
    static std::string var_packet(unsigned d, std::uint8_t type, const std::string& name) {
        return testing_support::var_header_data(d, type, name);
    }
    HeaderFault fault_of(const std::string& packet) {
        VarHeader h{};
        return read_var_header(reinterpret_cast<const std::uint8_t*>(packet.data()),
                               static_cast<std::uint16_t>(packet.size()), h);
    }
    std::string name_of(std::uint8_t type, const std::string& name) {
        VarHeader h = header(var_packet(1, type, name));
        PathBuffer path{};
        EXPECT_TRUE(file_name(h, path));
        return path.data();
    }

    static std::span<const std::uint8_t> bytes_of(const std::string& bytes) {
        return {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()};
    }
    static FileCheck check(const std::string& bytes, const char*& problem) {
        return verdict(read_file(bytes_of(bytes)), problem);
    }

    ScratchDir dir;
    std::filesystem::path previous;
    std::uint8_t storage[DATA_SECTION_MAX]; // the scratch memory the library works in
};

using Tables = Fixture;
using Writing = Fixture;
using Checking = Fixture;

TEST_F(Tables, TypeNamesAndExtensionsByCode) {
    EXPECT_STREQ(var_types[0x00].name.data(), "REAL");
    EXPECT_STREQ(var_types[0x12].name.data(), "PRGRM");
    EXPECT_STREQ(var_types[0x1D].name.data(), "BAKUP");
    EXPECT_STREQ(var_types[0x15].extension.data(), ".85_");
    EXPECT_STREQ(var_types[0x1D].extension.data(), ".85b");
    for (char c : var_types[0x1E].name)
        EXPECT_EQ(c, 0);
    for (char c : var_types[0x1E].extension)
        EXPECT_EQ(c, 0);
    for (std::size_t t = 0; t < TYPE_LAST; ++t)
        EXPECT_EQ(std::strlen(var_types[t].extension.data()), 4u);
}

TEST_F(Tables, FileNamesKeepTheCalculatorsBytes) {
    EXPECT_EQ(name_of(0x00, "A"), "A.85n");
    EXPECT_EQ(name_of(0x12, "A"), "A.85p");
    EXPECT_EQ(name_of(0x00, ""), ".85n");
    EXPECT_EQ(name_of(0x0C, "\xC1\x80 x*?"), "\xC1\x80 x*?.85s");
    EXPECT_EQ(name_of(0x00, "."), "..85n");
}

TEST_F(Tables, HeadersThatWouldLeaveTheDirectoryOrTheLimitsAreRefused) {
    EXPECT_EQ(fault_of(var_packet(1, 0x00, "a/b")), HeaderFault::unsafe_name);
    EXPECT_EQ(fault_of(var_packet(1, 0x00, std::string("a\0b", 3))), HeaderFault::unsafe_name);
    // Type 0x1E has no extension, so the calculator would choose the whole file name.
    for (const std::string name : {"", ".", "..", ".bash_login"})
        EXPECT_EQ(fault_of(var_packet(1, 0x1E, name)), HeaderFault::unknown_type);
    EXPECT_EQ(fault_of(var_packet(0, 0x00, "A")), HeaderFault::no_data);
    EXPECT_EQ(fault_of(var_packet(1, 0x00, "TWELVEBYTES!")), HeaderFault::name_too_long);
    EXPECT_EQ(fault_of(var_packet(1, 0x1F, "A")), HeaderFault::unknown_type);
    EXPECT_EQ(fault_of(var_packet(DATA_SECTION_MAX - 9 + 1, 0x00, "A")),
              HeaderFault::data_too_long);
    EXPECT_EQ(fault_of(var_packet(DATA_SECTION_MAX - 9, 0x00, "A")), HeaderFault::none);
    EXPECT_EQ(fault_of(var_packet(1, 0x00, "ABC").substr(0, 6)), HeaderFault::short_header);
    EXPECT_EQ(fault_of("\x01"), HeaderFault::short_header);
}

TEST_F(Tables, VariableHeaderIsEncodedAsItIsReadAndBackupLengthsAddUp) {
    for (const std::string name : {"", "A", "ELEVENBYTES", "\xFF/\x01"}) {
        std::array<std::uint8_t, 16> out{};
        const std::uint16_t length = encode_var_header(0xF00D, 0x12, name, out);
        EXPECT_EQ(std::string(out.begin(), out.begin() + length), var_packet(0xF00D, 0x12, name));
    }
    std::array<std::uint8_t, 4> small{};
    EXPECT_EQ(encode_var_header(1, 0x00, "A", small), 0);
    EXPECT_EQ(small, (std::array<std::uint8_t, 4>{}));

    // The worked backup header (blocks of 2, 1 and 3 bytes), and the largest blocks there are.
    const std::uint8_t worked[9]{0x02, 0x00, 0x1D, 0x01, 0x00, 0x03, 0x00, 0xAB, 0xCD};
    EXPECT_EQ(backup_section_length(worked), 2u + 9 + 2 + 2 + 2 + 1 + 2 + 3);
    const std::uint8_t largest[9]{0xFF, 0xFF, 0x1D, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0};
    EXPECT_EQ(backup_section_length(largest), 17u + 3 * 0xFFFF);
}

TEST_F(Writing, WorkedExampleFileOfOneVariable) {
    const VarHeader h = header(var_packet(10, 0x00, "A"));
    const std::uint8_t data[10]{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    ASSERT_TRUE(write_variable("A.85n", h, data, storage));
    const std::string file = read_file("A.85n");
    ASSERT_EQ(file.size(), 76u);
    EXPECT_EQ(file.substr(0, 53), FILE_HEADER);
    EXPECT_EQ(file.substr(53), std::string("\x13\x00\x05\x00\x0A\x00\x00\x01\x41\x0A\x00"
                                           "\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A\x92\x00",
                                           23));
    EXPECT_EQ(listing("."), std::vector<std::string>{"A.85n"});
    EXPECT_EQ(std::filesystem::status("A.85n").permissions() & std::filesystem::perms::owner_read,
              std::filesystem::perms::owner_read);
}

TEST_F(Writing, ChecksumWrapsAtSixteenBits) {
    // A 4-byte name, 288 data bytes and 8 bytes of framing: a data section of 300 bytes.
    std::string data(288, '\xFF');
    const VarHeader h = header(var_packet(288, 0x0C, "\xFF\xFF\xFF\xFF"));
    ASSERT_TRUE(
        write_variable("x", h, reinterpret_cast<const std::uint8_t*>(data.data()), storage));
    const std::string file = read_file("x");
    unsigned total = 0;
    for (std::size_t i = 55; i < 355; ++i)
        total += static_cast<unsigned char>(file[i]);
    EXPECT_EQ(file.substr(355), u16(total & 0xFFFF));

    const char* problem = nullptr;
    std::string all_ff = file_around(std::string(300, '\xFF'), 0x2AD4);
    EXPECT_NE(check(all_ff, problem), FileCheck::bad_checksum);
    all_ff[all_ff.size() - 1] = 0x2B;
    EXPECT_EQ(check(all_ff, problem), FileCheck::bad_checksum);
}

TEST_F(Writing, WorkedBackupAndBlocksOfOtherLengths) {
    const std::string header9("\x02\x00\x1D\x01\x00\x03\x00\xAB\xCD", 9);
    ASSERT_TRUE(begin_backup(reinterpret_cast<const std::uint8_t*>(header9.data()), 9));
    for (const std::string block : {"xy", "z", "123"}) {
        ASSERT_TRUE(add_backup_block(reinterpret_cast<const std::uint8_t*>(block.data()),
                                     static_cast<std::uint16_t>(block.size())));
    }
    ASSERT_TRUE(finish_backup(storage));
    const std::string data = testing_support::backup_section(header9, {"xy", "z", "123"});
    ASSERT_EQ(data.size(), 23u);
    EXPECT_EQ(read_file(BACKUP_FILE_NAME), file_around(data));

    // Blocks longer and shorter than announced: the stored length follows what was stored, and
    // the sender refuses the file.
    ASSERT_TRUE(begin_backup(reinterpret_cast<const std::uint8_t*>(header9.data()), 9));
    for (const std::string block : {"xyzzy", "", "1"}) {
        ASSERT_TRUE(add_backup_block(reinterpret_cast<const std::uint8_t*>(block.data()),
                                     static_cast<std::uint16_t>(block.size())));
    }
    ASSERT_TRUE(finish_backup(storage));
    const std::string other = testing_support::backup_section(header9, {"xyzzy", "", "1"});
    EXPECT_EQ(read_file(BACKUP_FILE_NAME), file_around(other));
    const char* problem = nullptr;
    EXPECT_EQ(check(read_file(BACKUP_FILE_NAME), problem), FileCheck::damaged);
    EXPECT_EQ(listing("."), (std::vector<std::string>{BACKUP_FILE_NAME}));
}

TEST_F(Writing, BackupsThatCannotBeStoredFaithfullyAreRefused) {
    const std::string big("\x00\x40\x1D\x00\x40\x00\x00\x00\x00", 9); // two blocks of 16 KB
    errno = 0;
    EXPECT_FALSE(begin_backup(reinterpret_cast<const std::uint8_t*>(big.data()), 9));
    EXPECT_EQ(errno, EFBIG);
    EXPECT_FALSE(begin_backup(reinterpret_cast<const std::uint8_t*>(big.data()), 8));
    EXPECT_EQ(errno, EINVAL);
    EXPECT_TRUE(listing(".").empty());

    const std::string small("\x01\x00\x1D\x01\x00\x01\x00\x00\x00", 9);
    ASSERT_TRUE(begin_backup(reinterpret_cast<const std::uint8_t*>(small.data()), 9));
    EXPECT_FALSE(add_backup_block(storage, DATA_SECTION_MAX));
    EXPECT_EQ(errno, EFBIG);
    EXPECT_TRUE(listing(".").empty());

    // A read-back that comes up short (scratch too small here) is EIO, not whatever an earlier
    // call that succeeded left in errno (the lstat of the absent backup.85b: ENOENT).
    ASSERT_TRUE(begin_backup(reinterpret_cast<const std::uint8_t*>(small.data()), 9));
    for (int block = 0; block < 3; ++block)
        ASSERT_TRUE(add_backup_block(storage, 1));
    EXPECT_FALSE(finish_backup({storage, 4}));
    EXPECT_EQ(errno, EIO);
    EXPECT_TRUE(listing(".").empty());
}

TEST_F(Writing, FailuresLeaveNoFileAndKeepTheOldOne) {
    const VarHeader h = header(var_packet(3000, 0x12, "PRG"));
    write_file("PRG.85p", "old contents");
    // A full disk: the file size limit stops the write part of the way.
    const auto result = run_child(
        [&] {
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{1000, 1000};
            setrlimit(RLIMIT_FSIZE, &limit);
            return write_variable("PRG.85p", h, storage, storage) ? 0 : errno;
        },
        "", dir.path);
    EXPECT_EQ(result.status, EFBIG);
    EXPECT_EQ(read_file("PRG.85p"), "old contents");
    EXPECT_EQ(listing("."), std::vector<std::string>{"PRG.85p"});

    // A directory in the file's place cannot be replaced.
    std::filesystem::create_directory("A.85n");
    EXPECT_FALSE(write_variable("A.85n", header(var_packet(1, 0x00, "A")), storage, storage));
    EXPECT_TRUE(std::filesystem::is_directory("A.85n"));
    EXPECT_EQ(listing("."), (std::vector<std::string>{"A.85n", "PRG.85p"}));

    // Interrupted in the middle of a backup.
    write_file(BACKUP_FILE_NAME, "old backup");
    const std::string header9("\x02\x00\x1D\x01\x00\x03\x00\x00\x00", 9);
    ASSERT_TRUE(begin_backup(reinterpret_cast<const std::uint8_t*>(header9.data()), 9));
    EXPECT_EQ(listing(".").size(), 4u);
    remove_unfinished_file();
    EXPECT_EQ(listing(".").size(), 3u);
    EXPECT_EQ(read_file(BACKUP_FILE_NAME), "old backup");
    abandon_backup();
}

TEST_F(Checking, SignatureChecksumAndEntryWalk) {
    const char* problem = nullptr;
    EXPECT_EQ(check("", problem), FileCheck::no_signature);
    EXPECT_EQ(check("**X" + file_around(entry(0, "A", "1")).substr(3), problem),
              FileCheck::no_signature);
    // Only three signature bytes count.
    EXPECT_EQ(check("**Tx" + file_around(entry(0, "A", "1")).substr(4), problem), FileCheck::ok);

    // A wrong entry header length is not used.
    std::string odd = entry(0x04, "L1", "abcdef");
    odd[0] = 99;
    const std::string three = odd + entry(0x0C, "EMPTY", "") + entry(0x12, "P", "xyz");
    const std::string walk = file_around(three);
    const FileContents contents = read_file(bytes_of(walk));
    ASSERT_EQ(verdict(contents, problem), FileCheck::ok);
    EXPECT_FALSE(contents.backup);
    std::vector<std::string> seen;
    std::size_t end = OFFSET_DATA;
    for (const FileEntry& e : contents.entries) {
        seen.push_back(std::string(e.name.begin(), e.name.end()) + "/" + std::to_string(e.type) +
                       "/" + std::to_string(e.data_length));
        if (e.type == 0x12) {
            EXPECT_EQ(std::string(e.data.begin(), e.data.end()), "xyz");
        }
        end = e.data_offset + e.data.size();
    }
    EXPECT_EQ(end, 55 + three.size());
    EXPECT_EQ(seen, (std::vector<std::string>{"L1/4/6", "EMPTY/12/0", "P/18/3"}));
}

TEST_F(Checking, BackupIsReadBackAsSent) {
    const std::string header9("\x02\x00\x1D\x01\x00\x03\x00\xAB\xCD", 9);
    const std::string file =
        file_around(testing_support::backup_section(header9, {"xy", "z", "123"}));
    const FileContents contents = read_file(bytes_of(file));
    const char* problem = nullptr;
    ASSERT_EQ(verdict(contents, problem), FileCheck::ok);
    EXPECT_TRUE(contents.backup);
    const auto text = [](std::span<const std::uint8_t> part) {
        return std::string(part.begin(), part.end());
    };
    EXPECT_EQ(text(contents.backup_parts[0]), header9);
    std::string blocks;
    for (std::size_t i = 1; i < 4; ++i)
        blocks += text(contents.backup_parts[i]) + "|";
    EXPECT_EQ(blocks, "xy|z|123|");
}

TEST_F(Checking, DamagedFilesAreFoundBeforeAnythingIsSent) {
    const std::string good = entry(0x00, "A", "0123456789");
    const std::string backup_header("\x02\x00\x1D\x01\x00\x03\x00\x00\x00", 9);
    struct Case {
        const char* what;
        std::string bytes;
    };
    std::string long_name = entry(0x00, "TWELVEBYTES!", "1");
    std::string data_n_big =
        FILE_HEADER + u16(DATA_SECTION_MAX + 1) + std::string(DATA_SECTION_MAX + 3, '\0');
    const std::vector<Case> cases{
        {"header cut short", FILE_HEADER.substr(0, 40)},
        {"empty data section", file_around("")},
        {"data section over the limit", data_n_big},
        {"file shorter than its data section", file_around(good).substr(0, 70)},
        {"checksum missing", file_around(good).substr(0, 55 + good.size() + 1)},
        {"too short for an entry", file_around("\x01\x02\x03\x04")},
        {"entry data past the end", file_around(good.substr(0, good.size() - 1))},
        {"entries leave bytes over", file_around(good + std::string("\x05\x00\x01", 3))},
        {"name over 11 bytes", file_around(long_name)},
        {"unknown type", file_around(entry(0x1F, "A", "1"))},
        {"backup header past the end", file_around(u16(40) + backup_header)},
        {"backup block missing", file_around(u16(9) + backup_header + u16(2) + "xy")},
        {"backup with bytes over",
         file_around(u16(9) + backup_header + u16(0) + u16(0) + u16(0) + "!")},
    };
    for (const Case& c : cases) {
        const char* problem = nullptr;
        EXPECT_EQ(check(c.bytes, problem), FileCheck::damaged) << c.what;
        EXPECT_NE(problem, nullptr) << c.what;
    }
}

TEST_F(Checking, AReadThatFailsIsNotAMissingSignature) {
    std::filesystem::create_directory("d");
    std::vector<std::uint8_t> bytes;
    EXPECT_EQ(read_whole_file("d", FILE_SIZE_MAX, bytes), whole_read::not_read);
    EXPECT_EQ(errno, EISDIR);
}

} // namespace

namespace {

// Text must turn back into the codes it came from: no two codes may share a form, in either
// style, and the codes the calculator's programs are known to use read as documented.
TEST(Characters, EachFormBelongsToOneCode) {
    std::map<std::string, int> unicode;
    std::map<std::string, int> ascii;
    for (int code = 0; code < 256; ++code) {
        const CalcChar& form = calc_chars[static_cast<std::size_t>(code)];
        if (form.unicode == nullptr) continue;
        ASSERT_NE(form.ascii, nullptr) << code;
        EXPECT_TRUE(unicode.emplace(form.unicode, code).second) << form.unicode;
        EXPECT_TRUE(ascii.emplace(form.ascii, code).second) << form.ascii;
    }
    const auto bytes_of = [](std::string_view text) {
        return std::span{reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
    };
    std::string text;
    append_calc_text(bytes_of("\x10\x12\x18\x1A\x1C\xC4\x2D\x41\x24\x5C\xD6\x0A"), false, text);
    EXPECT_EQ(text, "√²≠−→π-A\\x24\\x5C\\xD6\\x0A");
    text.clear();
    append_calc_text(bytes_of("\x1C\xC4\x18\x12\xC1"), true, text);
    EXPECT_EQ(text, "->pi!=^2theta");
}

} // namespace

namespace {

// The example program is a real plain-text program, and vti85 shows its first lines on
// receiving it, as the calculator's editor would.
TEST(Example, HelloIsAPlainTextProgramThatVti85Shows) {
    std::vector<std::uint8_t> bytes;
    ASSERT_EQ(
        read_whole_file((std::string(EXAMPLES_DIR) + "/HELLO.85p").c_str(), FILE_SIZE_MAX, bytes),
        whole_read::done);
    const FileContents contents = read_file(bytes);
    const char* problem = nullptr;
    ASSERT_EQ(verdict(contents, problem), FileCheck::ok);
    const FileEntry& hello = contents.entries.at(0);
    ASSERT_EQ(hello.type, TYPE_PROGRAM);
    EXPECT_EQ(hello.data[2], 0x00);
    const peer::Bytes data(hello.data.begin(), hello.data.end());
    EXPECT_EQ(peer::received_screen(TYPE_PROGRAM, "HELLO", data),
              peer::home_screen({"vti85", "Received:", "HELLO PRGRM", "ClLCD",
                                 "Disp \"HELLO FROM THE PC\"", "Pause"}));
}

} // namespace
