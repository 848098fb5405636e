// mkvar: catvar's text back into the same bytes, values from the command line, programs from
// an editor's text, and refusals that write nothing.
#include "catvar/catvar.h"
#include "mkvar/mkvar.h"
#include "tests/support/child.h"
#include "tests/support/varfiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace testing_support;

std::string real(const char* hex) {
    std::string bytes;
    std::istringstream in(hex);
    for (unsigned byte = 0; in >> std::hex >> byte;)
        bytes += static_cast<char>(byte);
    return bytes;
}

// The documented worked values, and the flag bit 0 in each half of a complex value.
const std::string TEN = real("00 01 FC 10 00 00 00 00 00 00");
const std::string PI = real("00 00 FC 31 41 59 26 53 58 98");
const std::string MINUS_123 = real("80 02 FC 12 30 00 00 00 00 00");
const std::string BIG = real("00 E7 FF 99 90 00 00 00 00 00");
const std::string SMALL = real("00 DD FB 25 00 00 00 00 00 00");
const std::string ZERO = real("00 00 FC 00 00 00 00 00 00 00");
const std::string HALF_ONE = real("01 00 FC 10 00 00 00 00 00 00");
const std::string HALF_MINUS_TWO = real("81 00 FC 20 00 00 00 00 00 00");

struct Layout {
    std::uint8_t type;
    const char* file;
    std::string data;
};

const std::vector<Layout> LAYOUTS{
    {0x00, "A.85n", PI},
    {0x00, "N.85n", MINUS_123},
    {0x00, "E.85n", BIG},
    {0x00, "T.85n", SMALL},
    {0x00, "Z0.85n", ZERO},
    {0x01, "C.85c", HALF_ONE + HALF_MINUS_TWO},
    {0x02, "V.85v", "\x01\x03" + TEN + PI + MINUS_123},
    {0x03, "CV.85v", std::string("\x01\x01", 2) + HALF_ONE + HALF_MINUS_TWO},
    {0x04, "L1.85l", u16(3) + TEN + SMALL + MINUS_123},
    {0x05, "CL.85l", u16(1) + HALF_MINUS_TWO + HALF_ONE},
    {0x06, "M.85m", std::string("\x02\x02", 2) + TEN + PI + MINUS_123 + ZERO},
    {0x07, "CM.85m", std::string("\x01\x01", 2) + HALF_ONE + HALF_ONE},
    {0x08, "K.85k", TEN},
    {0x0C, "S.85s", u16(7) + "\xC4\x1C\x12 \x1A\x18\xC1"},
    {0x0C, "ES.85s", u16(0)},
    {0x12, "P.85p", u16(13) + std::string("\x00", 1) + "Disp \"HI\"\xD6\xC4\xD6"},
    {0x12, "OPEN.85p", u16(4) + std::string("\x00", 1) + "A\xD6" + "B"},
    {0x12, "EMPTY.85p", u16(1) + std::string("\x00", 1)},
};

TEST(Mkvar, CatvarsTextGivesBackEveryLayoutByteForByte) {
    for (const bool ascii : {false, true}) {
        ScratchDir dir;
        std::vector<std::string> files;
        for (const Layout& layout : LAYOUTS) {
            const std::string name(layout.file, std::strchr(layout.file, '.'));
            write_file(dir.path / layout.file, file_around(entry(layout.type, name, layout.data)));
            files.push_back(layout.file);
        }
        std::vector<std::string> catvar_args = files;
        if (ascii) catvar_args.insert(catvar_args.begin(), "--ascii");
        const ChildResult listing = run_main(catvar_main, "catvar", dir.path, catvar_args);
        ASSERT_EQ(listing.status, 0) << listing.output;
        std::filesystem::create_directory(dir.path / "back");
        std::vector<std::string> mkvar_args{"-C", "back", "-"};
        if (ascii) mkvar_args.insert(mkvar_args.begin(), "--ascii");
        const ChildResult made =
            run_main(mkvar_main, "mkvar", dir.path, mkvar_args, listing.output);
        EXPECT_EQ(made.status, 0) << listing.output << made.output;
        for (const std::string& file : files) {
            EXPECT_EQ(read_file(dir.path / "back" / file), read_file(dir.path / file))
                << file << (ascii ? " (ascii)" : "");
        }
    }
}

TEST(Mkvar, ValuesFromTheCommandLineAndProgramsFromAnEditor) {
    ScratchDir dir;
    write_file(dir.path / "hello.txt", "ClLCD\r\nDisp \"π→A\"\n");
    const ChildResult made =
        run_main(mkvar_main, "mkvar", dir.path,
                 {"-s", "A=3.14159265358979", "--set=L1={10,-123}", "-s", "M=[[10][-123]]", "-s",
                  "Z=(1,-2)", "-s", "S=\"Hi\"", "-s", "R=1.00000000000005"});
    EXPECT_EQ(made.status, 0) << made.output;
    EXPECT_EQ(read_file(dir.path / "A.85n"), file_around(entry(0x00, "A", PI)));
    EXPECT_EQ(read_file(dir.path / "L1.85l"),
              file_around(entry(0x04, "L1", u16(2) + TEN + MINUS_123)));
    EXPECT_EQ(read_file(dir.path / "M.85m"),
              file_around(entry(0x06, "M", std::string("\x02\x01", 2) + TEN + MINUS_123)));
    EXPECT_EQ(read_file(dir.path / "Z.85c"),
              file_around(entry(0x01, "Z", HALF_ONE + HALF_MINUS_TWO)));
    EXPECT_EQ(read_file(dir.path / "S.85s"), file_around(entry(0x0C, "S", u16(2) + "Hi")));
    // 14 digits, rounded half up.
    EXPECT_EQ(read_file(dir.path / "R.85n"),
              file_around(entry(0x00, "R", real("00 00 FC 10 00 00 00 00 00 01"))));

    // Several variables in one file make a group file.
    const ChildResult group =
        run_main(mkvar_main, "mkvar", dir.path, {"-o", "G.85g", "-s", "A=10", "-s", "B=-123"});
    EXPECT_EQ(group.status, 0);
    EXPECT_EQ(read_file(dir.path / "G.85g"),
              file_around(entry(0x00, "A", TEN) + entry(0x00, "B", MINUS_123)));

    // The example program is mkvar's own work from the text beside it.
    const ChildResult example = run_main(
        mkvar_main, "mkvar", dir.path,
        {"-C", dir.path.string(), "-p", "HELLO", std::string(EXAMPLES_DIR) + "/HELLO.txt"});
    EXPECT_EQ(example.status, 0);
    EXPECT_EQ(read_file(dir.path / "HELLO.85p"),
              read_file(std::string(EXAMPLES_DIR) + "/HELLO.85p"));
    std::filesystem::remove(dir.path / "HELLO.85p");

    const ChildResult program =
        run_main(mkvar_main, "mkvar", dir.path, {"-p", "HELLO", "hello.txt"});
    EXPECT_EQ(program.status, 0);
    EXPECT_EQ(read_file(dir.path / "HELLO.85p"),
              file_around(entry(0x12, "HELLO",
                                u16(18) + std::string("\x00", 1) +
                                    "ClLCD\xD6"
                                    "Disp \"\xC4\x1C"
                                    "A\"\xD6")));
}

// Every refusal is one line that says where, and writes nothing of that input.
TEST(Mkvar, RefusalsWriteNothing) {
    struct Case {
        std::string text;
        std::string line;
    };
    const std::vector<Case> cases{
        {"A (REAL, 10 bytes)\n1\nB (REAL, 10 bytes)\n1E1000\n", "t:4:1: an exponent outside"},
        {"A (REAL, 10 bytes)\n1\n9A (REAL, 10 bytes)\n1\n", "t:3:1: the name '9A'"},
        {"A (REAL, 10 bytes)\n1\nLONGNAME9 (REAL, 10 bytes)\n1\n", "t:3:1: the name 'LONGNAME9'"},
        {"A (REAL, 10 bytes)\n1\nS (STRNG, 3 bytes)\n\"a☃\"\n", "t:4:3: a character the"},
        {"A (REAL, 10 bytes)\n1\ny1 (EQU, 4 bytes)\nX\n", "t:3:1: an equation (EQU)"},
        {"A (REAL, 10 bytes)\n1\nP (PICT, 1010 bytes)\n", "t:3:1: a picture (PICT)"},
        {"A (REAL, 10 bytes)\n1\nL (LIST, 2 bytes)\n{1,,2}\n", "t:4:4: a number was expected"},
        {"A (REAL, 10 bytes)\n1\nM (MATRX, 2 bytes)\n[[1,2]\n [3]]\n",
         "t:5:2: a row of another length"},
        {"hello\n", "t:1:1: a heading line"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        ScratchDir dir;
        write_file(dir.path / "t", c.text);
        std::string errors;
        const ChildResult result = run_child_with_errors(
            false, errors, [&] { return call_main(mkvar_main, "mkvar", {"t"}); }, "", dir.path);
        EXPECT_EQ(result.status, 1);
        EXPECT_NE(errors.find("mkvar: " + c.line), std::string::npos) << errors;
        EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
        EXPECT_FALSE(std::filesystem::exists(dir.path / "A.85n"));
    }
}

TEST(Mkvar, ExistingFilesAreKeptAndAsciiMinusIsWarnedAbout) {
    ScratchDir dir;
    write_file(dir.path / "A.85n", "mine");
    std::string errors;
    ChildResult result = run_child_with_errors(
        false, errors,
        [&] {
            return call_main(mkvar_main, "mkvar", {"-s", "A=1"});
        },
        "", dir.path);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(errors.find("A.85n exists, not replaced"), std::string::npos);
    EXPECT_EQ(read_file(dir.path / "A.85n"), "mine");

    // A "-" where only a negation can stand is written as given, with a warning.
    write_file(dir.path / "p.txt", "-1→A\nA*-2\n5-3\n");
    errors.clear();
    result = run_child_with_errors(
        false, errors,
        [&] {
            return call_main(mkvar_main, "mkvar", {"-p", "P", "p.txt"});
        },
        "", dir.path);
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(errors.find("p.txt:1:1: warning"), std::string::npos) << errors;
    EXPECT_NE(errors.find("p.txt:2:3: warning"), std::string::npos) << errors;
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 2) << errors;
}

} // namespace
