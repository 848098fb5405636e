// catvar on files built here from their layout: every documented value, a program with every
// operand form, the faults it must name, and the program as a user runs it.
#include "catvar/catvar.h"
#include "tests/support/child.h"
#include "tests/support/varfiles.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace testing_support;

// Bytes written as hexadecimal pairs, "00 01 FC".
std::string hx(const std::string& pairs) {
    std::istringstream in(pairs);
    std::string bytes;
    unsigned value = 0;
    while (in >> std::hex >> value)
        bytes += static_cast<char>(value);
    return bytes;
}

const std::string ONE = hx("00 00 FC 10 00 00 00 00 00 00");
const std::string TWO = hx("00 00 FC 20 00 00 00 00 00 00");
const std::string MINUS_TWO = hx("81 00 FC 20 00 00 00 00 00 00");
const std::string THREE = hx("00 00 FC 30 00 00 00 00 00 00");
const std::string FOUR = hx("00 00 FC 40 00 00 00 00 00 00");

// A program of tokens with every operand form, and its text.
const std::string PROGRAM =
    hx("E0 4D 00 6F  E6 33 41 6F  D8 33 41 55 44 31 30 00 6F  D9 6F"
       "  E9 2D 48 69 00 6F  EB 10 44 31 00 2F 44 31 00 2F 2D 41 42 43 00 11"
       "  6F  3D 04 0B 3A 41 42 43 44 45 46 47 48 6F"
       "  32 01 78 60 3C 04 63 6F 72 72 70 3B 02 79 31 6F"
       "  AA 44 33 30 00 0B 33 41 6F  44 35 00 3E 02 66 74 01 6D 6F"
       "  E1 00 0D 4D 00 6E FF 3D 36 6F  DE 6F");
const std::string PROGRAM_TEXT = "Lbl M\nInput A\nIf A≠10\nThen\nDisp \"Hi\"\n"
                                 "Outpt(1,1,\"ABC\")\nxMin→ABCDEFGH\nx+corr*y1\nsin 30→A\n"
                                 "5 ft►m\nGoto M:\\xFF\\x3D\\x36\nEnd\n";

std::string shown(const std::string& file, bool& ok, const Style& style = {}) {
    std::string out;
    ok = show_file(bytes_of(file), "F", style, out);
    return out;
}

std::string repeat(const std::string& text, std::size_t times) {
    std::string all;
    for (std::size_t i = 0; i < times; ++i)
        all += text;
    return all;
}

std::string blank_rows(std::size_t rows) {
    return repeat(std::string(128, ' ') + "\n", rows);
}

TEST(Catvar, ShowsEveryDocumentedValue) {
    struct Case {
        std::uint8_t type;
        std::string name;
        std::string data;
        std::string text; // after the heading
    };
    std::string picture = u16(0x3F0) + hx("80") + std::string(15, '\0') + hx("40");
    picture.resize(2 + 0x3F0, '\0');
    const Case cases[] = {
        {0x00, "A", hx("00 01 FC 10 00 00 00 00 00 00"), "10\n"},
        {0x00, "A", hx("00 00 FC 31 41 59 26 53 58 98"), "3.1415926535898\n"},
        {0x00, "A", hx("80 02 FC 12 30 00 00 00 00 00"), "-123\n"},
        {0x00, "A", hx("00 E7 FF 99 90 00 00 00 00 00"), "9.99E999\n"},
        {0x00, "A", hx("00 DD FB 25 00 00 00 00 00 00"), "2.5E-35\n"},
        {0x00, "A", hx("00 00 FC 62 83 18 53 07 18 00"), "6.28318530718\n"},
        {0x00, "A", hx("40 FD FB 12 50 00 00 00 00 00"), ".00125\n"},
        {0x00, "A", hx("00 0D FC 12 34 56 78 90 12 34"), "12345678901234\n"},
        {0x00, "A", hx("00 0E FC 10 00 00 00 00 00 00"), "1E14\n"},
        {0x00, "A", hx("80 00 00 00 00 00 00 00 00 00"), "0\n"},
        {0x01, "Z", hx("01") + ONE.substr(1) + MINUS_TWO, "(1,-2)\n"},
        {0x08, "K", hx("00 00 FC 31 41 59 26 53 58 98"), "3.1415926535898\n"},
        {0x02, "V", hx("01 03") + ONE + TWO + THREE, "[1,2,3]\n"},
        {0x04, "L1", u16(3) + ONE + TWO + THREE, "{1,2,3}\n"},
        {0x05, "L2", u16(1) + ONE + MINUS_TWO, "{(1,-2)}\n"},
        {0x06, "M", hx("02 02") + ONE + TWO + THREE + FOUR, "[[1,2]\n [3,4]]\n"},
        {0x0C, "S", u16(5) + "Hi \x1D\"", "\"Hi \\x1D\"\"\n"},
        {0x0C, "S", u16(6) + "\xC4\x1C\x12\x1A\x18\\", "\"π→²−≠\\x5C\"\n"},
        // As real programs hold function calls: the "(" is a token of its own.
        {0x12, "F",
         u16(39) + hx("98 10 33 41 2F 33 42 11 6F EB 10 44 31 00 2F 44 31 00 2F 2D 48 49 00 11 6F "
                      "4C 10 44 31 00 2F 2D 47 4F 00 2F 33 4D 11"),
         "PtOn(A,B)\nOutpt(1,1,\"HI\")\nMenu(1,\"GO\",M)\n"},
        {0x0A, "y1", u16(4) + hx("32 01 78 4A"), "x²\n"},
        {0x12, "P", u16(PROGRAM.size()) + PROGRAM, PROGRAM_TEXT},
        {0x12, "T", u16(8) + hx("00 41 3D 31 D6 D6 42 D6"), "A=1\n\nB\n"},
        {0x17, "", u16(81) + hx("00") + ONE + TWO + THREE + FOUR + ONE + TWO + std::string(20, 0),
         "unknown=00\nxMin=1\nxMax=2\nxScl=3\nyMin=4\nyMax=1\nyScl=2\nunknown=00" +
             repeat(" 00", 19) + "\n"},
        {0x0D, "G",
         u16(67) + hx("05") + ONE + TWO + THREE + FOUR + ONE + TWO + hx("01 81") + u16(2) +
             hx("AA 4A"),
         "mode=DrawDot SeqG GridOn RectGC CoordOn AxesOn LabelOff\nxMin=1\nxMax=2\nxScl=3\n"
         "yMin=4\nyMax=1\nyScl=2\nselected y1=sin²\n"},
        {0x11, "PIC", picture, "▀▄" + std::string(126, ' ') + "\n" + blank_rows(31)},
        {0x14, "", std::string(1024, '\0'), blank_rows(32)},
        {0x0B, "R", hx("01 02 03"), "01 02 03\n"},
        {0x1A, "", u16(113) + hx("00") + repeat(ONE, 11) + hx("02 03"),
         "unknown=00\ndifTol=1\ntPlot=1\ntMin=1\ntMax=1\ntStep=1\nxMin=1\nxMax=1\nxScl=1\n"
         "yMin=1\nyMax=1\nyScl=1\nxAxis=2\nyAxis=3\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name + " " + std::to_string(c.type));
        bool ok = false;
        const std::string out = shown(file_around(entry(c.type, c.name, c.data)), ok);
        const std::string heading = c.name.empty() ? "(no name)" : c.name;
        EXPECT_EQ(out.substr(0, out.find('\n') + 1).rfind(heading + " (", 0), 0u) << out;
        EXPECT_EQ(out.substr(out.find('\n') + 1), c.text);
        EXPECT_TRUE(ok);
    }
}

TEST(Catvar, ShowsGroupsBackupsAndLockedPrograms) {
    struct Case {
        std::string section;
        std::string text;
    };
    const Case cases[] = {
        {entry(0x00, "A", ONE) + entry(0x0C, "B", u16(2) + "hi"),
         "A (REAL, 10 bytes)\n1\nB (STRNG, 4 bytes)\n\"hi\"\n"},
        // The table, stored backwards: a real A at the start of the user data (0xCDAB).
        {backup_section(hx("02 00 1D 0A 00 05 00 AB CD"), {"ab", ONE, hx("41 01 CD AB 00")}),
         "backup (BAKUP, 17 bytes)\nsystem: 2 bytes\nuser data: 10 bytes\n"
         "variable table: 5 bytes\nA (REAL, 10 bytes)\n1\n"},
        {entry(0x12, "L", u16(4) + hx("E2 6F DE FF")), "L (PRGRM, 6 bytes, locked)\nPause\nEnd\n"},
    };
    for (const Case& c : cases) {
        bool ok = false;
        EXPECT_EQ(shown(file_around(c.section), ok), c.text);
        EXPECT_TRUE(ok);
    }
}

// The ASCII style has a form for every word a token or a picture can write.
TEST(Catvar, AsciiStyleLeavesNothingOutsideAscii) {
    std::string tokens; // from 01: a body that begins with 00 is plain text
    for (unsigned code = 1; code < 0x101; ++code) {
        const bool operand = code == 0x2D || (code >= 0x32 && code <= 0x3E) || code == 0x44 ||
                             code == 0xE0 || code == 0xE1;
        if (!operand) tokens += {static_cast<char>(code), '\x6F'};
    }
    for (unsigned code = 0; code < 0x40; ++code)
        tokens += {'\x3D', static_cast<char>(code)};
    const std::string pixels = u16(0x3F0) + repeat(hx("F0 0F 55"), 336);
    bool ok = false;
    const std::string out = shown(
        file_around(entry(0x12, "P", u16(tokens.size()) + tokens) + entry(0x11, "PIC", pixels)), ok,
        {.ascii = true});
    EXPECT_TRUE(ok);
    EXPECT_NE(out.find("\nIf\n"), std::string::npos) << out;
    EXPECT_TRUE(std::none_of(out.begin(), out.end(), [](char c) {
        return static_cast<unsigned char>(c) >= 0x80;
    })) << out;
}

// Each fault is one line that names the file, the entry and the offset, with whatever could be
// read still shown.
TEST(Catvar, NamesEveryFaultAndShowsWhatItCan) {
    const std::string a = entry(0x00, "A", ONE);
    struct Case {
        std::string file;
        std::string text;
    };
    const Case cases[] = {
        {"hello", "catvar: F: offset 0: not a variable file\n"},
        {file_around(a).substr(0, 70),
         "catvar: F: offset 70: file of 70 bytes, its data section length (19) needs 76\n"
         "A (REAL, 10 bytes)\n"
         "catvar: F: entry 1 (A), offset 62: data of 10 bytes cut off by the file's end\n"},
        {file_around(a, 1), "catvar: F: offset 74: checksum does not match: the file says 0x0168, "
                            "its data section sums to 0x0167\nA (REAL, 10 bytes)\n1\n"},
        {file_around(a) + "xy", "catvar: F: offset 76: 2 bytes after the checksum\n"
                                "A (REAL, 10 bytes)\n1\n"},
        {file_around(a.substr(0, 15)),
         "A (REAL, 10 bytes)\n"
         "catvar: F: entry 1 (A), offset 62: data of 10 bytes runs past the data section\n"},
        {file_around(a + "\x05"),
         "A (REAL, 10 bytes)\n1\ncatvar: F: offset 74: entry 2: entry header runs past the data "
         "section\n"},
        {file_around(entry(0x04, "L1", u16(5) + ONE)),
         "L1 (LIST, 12 bytes)\n{1,...}\n"
         "catvar: F: entry 1 (L1), offset 65: length field says 50 bytes, 10 follow\n"},
        {file_around(entry(0x12, "P", u16(4) + hx("E9 35 41 42"))),
         "P (PRGRM, 6 bytes)\nDisp\n"
         "catvar: F: entry 1 (P), offset 67: token stream ends inside a name\n"},
        {file_around(entry(0x12, "P", u16(4) + hx("E9 44 31 32"))),
         "P (PRGRM, 6 bytes)\nDisp\n"
         "catvar: F: entry 1 (P), offset 67: token stream ends inside a number\n"},
        {file_around(entry(0x1F, "A", hx("01"))),
         "A (type 0x1F, 1 bytes)\n01\ncatvar: F: entry 1 (A), offset 59: unknown type code 0x1F\n"},
        {file_around(backup_section(hx("02 00 1D 01 00 03 00 AB CD"), {"ab", "c"})),
         "catvar: F: offset 73: backup block 3 missing: its length runs past the data section\n"
         "backup (BAKUP, 3 bytes)\nsystem: 2 bytes\nuser data: 1 bytes\nvariable table: 0 bytes\n"},
        {file_around(entry(0x00, "A", hx("00 00 FC 1A 00 00 00 00 00 00"))),
         "A (REAL, 10 bytes)\n\\x00\\x00\\xFC\\x1A\\x00\\x00\\x00\\x00\\x00\\x00\n"
         "catvar: F: entry 1 (A), offset 64: not a number\n"},
    };
    for (const Case& c : cases) {
        bool ok = true;
        EXPECT_EQ(shown(c.file, ok), c.text);
        EXPECT_FALSE(ok);
    }
}

// The program as built: every file shown in order whatever fails, the status, and the styles.
TEST(Catvar, RunsOverEveryFileAndEndsWithStatusOneAfterAFault) {
    ScratchDir dir;
    write_file(dir.path / "P.85p", file_around(entry(0x12, "P", u16(PROGRAM.size()) + PROGRAM)));
    write_file(dir.path / "bad.85n", file_around(entry(0x00, "A", ONE), 1));
    write_file(dir.path / "L1.85l", file_around(entry(0x04, "L1", u16(1) + TWO)));
    const auto run = [&](std::vector<std::string> args) {
        return run_child([&] { return testing_support::exec_program(CATVAR_PATH, args); }, "",
                         dir.path);
    };
    ChildResult result = run({"--ascii", "P.85p", "missing", "bad.85n", "L1.85l"});
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(std::none_of(result.output.begin(), result.output.end(),
                             [](char c) { return static_cast<unsigned char>(c) >= 0x80; }));
    EXPECT_NE(result.output.find("If A!=10\nThen\n"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("xMin->ABCDEFGH\n"), std::string::npos);
    EXPECT_NE(result.output.find("\ncatvar: missing: cannot read (No such file or directory)\n"
                                 "catvar: bad.85n: offset 74: checksum does not match"),
              std::string::npos);
    EXPECT_TRUE(result.output.ends_with("A (REAL, 10 bytes)\n1\nL1 (LIST, 12 bytes)\n{2}\n"));

    result = run({"-n", "L1.85l", "P.85p"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output,
              "L1 (LIST, 12 bytes)\nP (PRGRM, " + std::to_string(PROGRAM.size() + 2) + " bytes)\n");
    EXPECT_EQ(run({}).status, 1);

    // A listing that cannot be written fails, and says so on standard error.
    std::string errors;
    result = testing_support::run_child_with_errors(false, errors, [&] {
        const int full = open("/dev/full", O_WRONLY);
        if (full < 0 || dup2(full, STDOUT_FILENO) < 0 || chdir(dir.path.c_str()) != 0) return 125;
        return testing_support::exec_program(CATVAR_PATH, {"L1.85l"});
    });
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(errors, "catvar: Cannot write standard output (No space left on device).\n");
}

} // namespace
