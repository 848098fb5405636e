// Runs the built pixdb as a separate process on bitmaps made here, and checks its exit status,
// its standard output and the output file byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

using bytes = std::vector<std::uint8_t>;

constexpr std::size_t pixel_start = 62;
constexpr std::size_t full_size = 830;

const std::string bad_format = "The input bitmap has an incorrect format.\n"
                               "The correct format = 96 x 64 monochrome\n";

void put32(bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// A complete 96 x 64, 1 bit per pixel bitmap whose pixel byte i (counted from byte 62) is
// pixel(i).
template <typename F> bytes make_bitmap(F pixel) {
    bytes b(full_size, 0);
    b[0] = 'B';
    b[1] = 'M';
    put32(b, 2, full_size);
    put32(b, 10, pixel_start);
    put32(b, 14, 40);
    put32(b, 18, 96);
    put32(b, 22, 64);
    b[26] = 1; // planes
    b[28] = 1; // bits per pixel
    put32(b, 34, 768);
    put32(b, 46, 2);
    put32(b, 58, 0x00FFFFFF); // colour 1 white, colour 0 black
    for (std::size_t i = 0; i < full_size - pixel_start; ++i)
        b[pixel_start + i] = pixel(i);
    return b;
}

bytes uniform_bitmap(std::uint8_t value) {
    return make_bitmap([value](std::size_t) { return value; });
}

// Every byte of file row n (n = 0 for bytes 62-73) holds n, so each output line tells its source.
bytes numbered_rows() {
    return make_bitmap([](std::size_t i) { return static_cast<std::uint8_t>(i / 12); });
}

std::string db_line(const std::string& item) {
    std::string line = "        .db ";
    for (int k = 0; k < 12; ++k)
        line += (k ? ",$" : "$") + item;
    return line + "\n";
}

std::string repeat(const std::string& line, int times) {
    std::string s;
    for (int i = 0; i < times; ++i)
        s += line;
    return s;
}

struct run_result {
    int status;
    std::string out;
};

class pixdb : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "pixdb_test.XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
    }
    void TearDown() override { fs::remove_all(dir); }

    void write(const std::string& name, const bytes& content) {
        std::ofstream f(dir / name, std::ios::binary);
        f.write(reinterpret_cast<const char*>(content.data()),
                static_cast<std::streamsize>(content.size()));
    }

    std::string read(const std::string& name) {
        std::ifstream f(dir / name, std::ios::binary);
        return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
    }

    std::vector<std::string> listing() {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir))
            names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }

    // Runs pixdb inside the test's directory with the given arguments.
    run_result run(std::vector<std::string> args) {
        args.insert(args.begin(), PIXDB_PATH);
        std::vector<char*> argv;
        argv.reserve(args.size() + 1);
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);

        int fds[2];
        if (pipe(fds) != 0) return {-1, "pipe failed"};
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(fds[1], STDOUT_FILENO);
            close(fds[0]);
            close(fds[1]);
            if (chdir(dir.c_str()) != 0) _exit(126);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(fds[1]);
        std::string out;
        char buf[512];
        for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;)
            out.append(buf, n);
        close(fds[0]);
        int wstatus = 0;
        waitpid(pid, &wstatus, 0);
        return {WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1, out};
    }

    // Converts content and returns the text, expecting success.
    std::string convert(const bytes& content) {
        write("in.bmp", content);
        const run_result r = run({"in.bmp", "out.asm"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "");
        return read("out.asm");
    }

    // Converts content and expects the bitmap to be rejected with an empty output file.
    void expect_rejected(const bytes& content) {
        write("in.bmp", content);
        const run_result r = run({"in.bmp", "out.asm"});
        EXPECT_EQ(r.status, 3);
        EXPECT_EQ(r.out, bad_format);
        ASSERT_TRUE(fs::exists(dir / "out.asm"));
        EXPECT_EQ(fs::file_size(dir / "out.asm"), 0u);
    }

    fs::path dir;
};

TEST_F(pixdb, FewerThanTwoArgumentsPrintUsageAndTouchNoFile) {
    const std::string usage_rest =
        "Usage pixdb inputfile outputfile\n"
        "\n"
        "inputfile    : A monochrome windows bitmap with dimensions 96 x 64\n"
        "outputfile   : the name of the file to write the .db codes to\n"
        "\n";
    for (const auto& args : {std::vector<std::string>{}, std::vector<std::string>{"out.asm"}}) {
        const run_result r = run(args);
        EXPECT_EQ(r.status, 1);
        ASSERT_EQ(r.out.rfind("Pixdb v1.0", 0), 0u) << r.out;
        const auto first_end = r.out.find('\n');
        EXPECT_EQ(r.out.substr(first_end + 1), usage_rest);
        EXPECT_TRUE(listing().empty());
    }
}

TEST_F(pixdb, ArgumentsAfterTheSecondAreIgnored) {
    write("in.bmp", numbered_rows());
    const run_result r = run({"in.bmp", "out.asm", "third.asm", "fourth"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(listing(), (std::vector<std::string>{"in.bmp", "out.asm"}));
    const std::string text = read("out.asm");
    EXPECT_EQ(text, convert(numbered_rows()));
}

TEST_F(pixdb, UnopenableInputLeavesNoOutputFile) {
    const run_result r = run({"missing.bmp", "out.asm"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "Error opening inputfile\n");
    EXPECT_TRUE(listing().empty());
}

TEST_F(pixdb, OutputInMissingDirectoryFailsToOpen) {
    write("in.bmp", uniform_bitmap(0));
    const run_result r = run({"in.bmp", "nodir/out.asm"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "Error opening outputfile\n");
    EXPECT_EQ(listing(), std::vector<std::string>{"in.bmp"});
}

TEST_F(pixdb, FailedWriteIsReportedNotSuccess) {
    write("in.bmp", uniform_bitmap(0));
    const run_result r = run({"in.bmp", "/dev/full"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "Error writing outputfile\n");
}

TEST_F(pixdb, WrongDimensionsAreRejected) {
    bytes wide = uniform_bitmap(0);
    put32(wide, 18, 97);
    expect_rejected(wide);

    bytes top_down = uniform_bitmap(0);
    put32(top_down, 22, static_cast<std::uint32_t>(-64));
    expect_rejected(top_down);
}

TEST_F(pixdb, TruncatedInputIsRejected) {
    const bytes full = numbered_rows();
    // 22 bytes ends before the height; 23 and 62 pass the header but hold no complete picture;
    // 829 lacks only the last pixel byte.
    for (std::size_t size : {0u, 22u, 23u, 62u, 829u}) {
        SCOPED_TRACE(size);
        expect_rejected(bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(size)));
    }
}

TEST_F(pixdb, ExistingOutputIsReplaced) {
    write("out.asm", bytes(5000, 'x'));
    expect_rejected(bytes(10, 0));

    const std::string text = convert(uniform_bitmap(0xFF));
    EXPECT_EQ(text, repeat(db_line("0"), 64));
}

TEST_F(pixdb, OnlyTheLowBytesOfWidthAndHeightAreChecked) {
    // 352 wide (0x160), 8 bits per pixel, compressed, no signature: all ignored.
    bytes odd = numbered_rows();
    put32(odd, 18, 352);
    odd[0] = odd[1] = 0;
    odd[28] = 8;
    odd[30] = 1;
    EXPECT_EQ(convert(odd), convert(numbered_rows()));
}

TEST_F(pixdb, PixelBytesAreInvertedInOrder) {
    const bytes row = {0x00, 0xFF, 0x0F, 0xF0, 0x80, 0x01, 0x7F, 0xFE, 0x55, 0xAA, 0x3C, 0xC3};
    const std::string line = "        .db $FF,$0,$F0,$F,$7F,$FE,$80,$1,$AA,$55,$C3,$3C\n";
    EXPECT_EQ(convert(make_bitmap([&](std::size_t i) { return row[i % 12]; })), repeat(line, 64));

    EXPECT_EQ(convert(uniform_bitmap(0xFF)), repeat(db_line("0"), 64));
    EXPECT_EQ(convert(uniform_bitmap(0x00)), repeat(db_line("FF"), 64));
}

TEST_F(pixdb, LastFileRowBecomesFirstLine) {
    const std::string text = convert(numbered_rows());
    // File row n holds n, written inverted as 0xFF - n, and lands on line 64 - n.
    std::string expected;
    for (int n = 63; n >= 0; --n) {
        char item[3];
        std::snprintf(item, sizeof item, "%X", 0xFF - n);
        expected += db_line(item);
    }
    EXPECT_EQ(text, expected);
    EXPECT_EQ(text.substr(0, text.find('\n') + 1), db_line("C0"));             // bytes 818-829
    EXPECT_EQ(text.substr(text.size() - db_line("FF").size()), db_line("FF")); // bytes 62-73
}

TEST_F(pixdb, BytesAfterThePictureChangeNothing) {
    bytes longer = numbered_rows();
    for (int i = 0; i < 200; ++i)
        longer.push_back(static_cast<std::uint8_t>(i * 7));
    EXPECT_EQ(convert(longer), convert(numbered_rows()));
}

} // namespace
