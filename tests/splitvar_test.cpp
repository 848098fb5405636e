// splitvar and catvar on backups built from the documented layout, and on group files.
#include "catvar/catvar.h"
#include "splitvar/splitvar.h"
#include "tests/support/child.h"
#include "tests/support/varfiles.h"
#include "varfile/varfile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace testing_support;

struct Variable {
    std::uint8_t type; // with its flag bits, as the table holds it
    std::string name;
    std::string data;
};

constexpr std::size_t BASE = 0x8BF7; // where user memory starts, as a real backup says
const std::string ONE("\x00\x00\xFC\x10\x00\x00\x00\x00\x00\x00", 10);
const std::string MINUS_TWO("\x80\x00\xFC\x20\x00\x00\x00\x00\x00\x00", 10);

// Table entries in reading order (type, address, name length, name); `table` replaces them.
std::string table_of(const std::vector<Variable>& variables) {
    std::string table;
    std::size_t address = BASE;
    for (const Variable& v : variables) {
        table += std::string(1, static_cast<char>(v.type)) + u16(address) +
                 static_cast<char>(v.name.size()) + v.name;
        address += v.data.size();
    }
    return table;
}

std::string backup_of(const std::vector<Variable>& variables, std::string table) {
    std::string user;
    for (const Variable& v : variables)
        user += v.data;
    table = std::string(table.rbegin(), table.rend()); // stored backwards
    const std::string system(16, '\x55');
    const std::string header =
        u16(system.size()) + "\x1D" + u16(user.size()) + u16(table.size()) + u16(BASE);
    return file_around(backup_section(header, {system, user, table}));
}

// One variable of each layout, and the calculator's own entries.
const std::vector<Variable> EVERY_LAYOUT{
    {0x12, "HELLO", u16(12) + std::string("\x00", 1) + "Disp \"HI\"\xD6\xC4"},
    {0x00, "A", ONE},
    {0x01, "Z", ONE + MINUS_TWO},
    {0x02, "V", "\x01\x02" + ONE + MINUS_TWO},
    {0x04, "L1", u16(2) + ONE + MINUS_TWO},
    {0x05, "CL", u16(1) + ONE + ONE},
    {0x06, "M", std::string("\x02\x01", 2) + ONE + MINUS_TWO},
    {0x0C, "S", u16(3) + "\xC4=3"},
    {0x2A, "y1", u16(2) + "\x33X"},
    {0x11, "PIC", u16(1008) + std::string(1008, '\x0F')},
    {0x08, "K", ONE},
    {0x03, "CV", "\x01\x01" + ONE + MINUS_TWO},
    {0x17, "W",
     u16(81) + std::string(1, '\0') + ONE + ONE + ONE + ONE + ONE + ONE + std::string(20, '\0')},
    {0x12, "#", u16(1) + std::string("\x00", 1)},
    {0x00, "Ans", ONE},
};

TEST(Splitvar, WritesEveryUserVariableAsTheBackupHoldsIt) {
    ScratchDir dir;
    write_file(dir.path / "old.85b", backup_of(EVERY_LAYOUT, table_of(EVERY_LAYOUT)));
    const ChildResult split = run_main(splitvar_main, "splitvar", dir.path, {"old.85b"});
    EXPECT_EQ(split.status, 0) << split.output;
    for (const Variable& v : EVERY_LAYOUT) {
        const bool system = v.name == "#" || v.name == "Ans";
        const std::uint8_t type = v.type & 0x1F;
        const auto path = dir.path / (v.name + var_types[type].extension.data());
        EXPECT_EQ(std::filesystem::exists(path), !system) << v.name;
        if (!system) {
            EXPECT_EQ(read_file(path), file_around(entry(type, v.name, v.data))) << v.name;
        }
    }
    // Without --force nothing is replaced, and the run says so.
    write_file(dir.path / "A.85n", "mine");
    const ChildResult again = run_main(splitvar_main, "splitvar", dir.path, {"--all", "old.85b"});
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.output.find("A.85n exists, not replaced"), std::string::npos);
    EXPECT_EQ(read_file(dir.path / "A.85n"), "mine");
    EXPECT_TRUE(std::filesystem::exists(dir.path / "Ans.85n"));

    const ChildResult listing = run_main(catvar_main, "catvar", dir.path, {"-n", "old.85b"});
    EXPECT_EQ(listing.status, 0);
    EXPECT_EQ(listing.output,
              "backup (BAKUP, " + std::to_string(read_file(dir.path / "old.85b").size() - 57 - 17) +
                  " bytes)\nHELLO (PRGRM, 14 bytes, no final line end)\nA (REAL, 10 bytes)\nZ "
                  "(CPLX, 20 bytes)\n"
                  "V (VECTR, 22 bytes)\nL1 (LIST, 22 bytes)\nCL (LIST, 22 bytes)\n"
                  "M (MATRX, 22 bytes)\nS (STRNG, 5 bytes)\ny1 (EQU, 4 bytes, selected)\n"
                  "PIC (PICT, 1010 bytes)\nK (CONST, 10 bytes)\nCV (VECTR, 22 bytes)\n"
                  "W (RANGE, 83 bytes)\n# (PRGRM, 3 bytes, system)\n"
                  "Ans (REAL, 10 bytes, system)\n");
}

// Each fault of a table entry: that entry is named and skipped, the good one still written.
TEST(Splitvar, DamagedTableEntriesAreNamedAndSkipped) {
    const std::vector<Variable> two{{0x00, "A", ONE}, {0x00, "B", ONE}};
    const std::string good = table_of(two);
    const std::string a = good.substr(0, 5);
    struct Case {
        const char* fault;
        std::string table;
    };
    const auto b = [&a](std::uint8_t type, std::size_t address, const std::string& name) {
        return a + std::string(1, static_cast<char>(type)) + u16(address) +
               static_cast<char>(name.size()) + name;
    };
    const std::vector<Case> cases{
        {"an address outside the user data", b(0, BASE - 1, "B")},
        {"data that run past the user data", b(0, BASE + 15, "B")},
        {"data that overlap another variable's", b(0, BASE + 5, "B")},
        {"the table ends inside this entry", b(0, BASE + 10, "B").substr(0, 8)},
        {"a type above the table", b(0x1F, BASE + 10, "B")},
        {"a type whose size is unknown", b(0x1C, BASE + 10, "B")},
        {"a name that is empty or longer than 8", b(0, BASE + 10, "BBBBBBBBB")},
        {"a name that is empty or longer than 8", b(0, BASE + 10, "")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        ScratchDir dir;
        write_file(dir.path / "b.85b", backup_of(two, c.table));
        const ChildResult split = run_main(splitvar_main, "splitvar", dir.path, {"b.85b"});
        EXPECT_EQ(split.status, 1);
        EXPECT_NE(split.output.find(std::string("variable table entry 2 ") + "("),
                  std::string::npos)
            << split.output;
        EXPECT_NE(split.output.find(c.fault), std::string::npos) << split.output;
        EXPECT_EQ(read_file(dir.path / "A.85n"), file_around(entry(0, "A", ONE)));
        EXPECT_FALSE(std::filesystem::exists(dir.path / "B.85n"));
        EXPECT_EQ(run_main(catvar_main, "catvar", dir.path, {"b.85b"}).status, 1);
    }
}

TEST(Splitvar, GroupFilesSplitAndOtherFilesAreRefused) {
    ScratchDir dir;
    write_file(dir.path / "g.85g",
               file_around(entry(0, "A", ONE) + entry(0x0C, "S", u16(1) + "x")));
    write_file(dir.path / "text", "hello\n");
    std::filesystem::create_directory(dir.path / "out");
    const ChildResult split =
        run_main(splitvar_main, "splitvar", dir.path, {"-C", "out", "g.85g", "text"});
    EXPECT_EQ(split.status, 1);
    EXPECT_EQ(split.output, "splitvar: out/A.85n\nsplitvar: out/S.85s\n"
                            "splitvar: text: not a backup or group file\n");
    EXPECT_EQ(read_file(dir.path / "out/S.85s"), file_around(entry(0x0C, "S", u16(1) + "x")));
}

} // namespace
