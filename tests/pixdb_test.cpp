// Runs the built pixdb as a separate process on bitmaps made here, and checks its exit status,
// its standard output and the output file byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <pwd.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

using bytes = std::vector<std::uint8_t>;

constexpr std::size_t pixel_start = 62;
constexpr std::size_t full_size = 830;

const std::string bad_format = "The input bitmap has an incorrect format.\n"
                               "The correct format = 96 x 64, monochrome BMP or PNG\n";

void put16(bytes& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

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

// How a generated bitmap is laid out; the defaults give the common layout.
struct layout {
    std::uint32_t info_size = 40; // 12: the OS/2 core header
    std::int32_t width = 96;
    std::int32_t height = 64; // negative: top row first
    std::uint16_t planes = 1;
    std::uint16_t bits = 1;
    std::uint32_t compression = 0;
    std::uint32_t colours = 2;
    bool white_first = false;
    std::size_t gap = 0; // bytes between the colour table and the pixels
};

// A picture with some of everything: dark pixel byte k of row `top` (top row 0).
std::uint8_t dark_at(std::size_t top, std::size_t k) {
    return static_cast<std::uint8_t>((top * 12 + k) * 37 + top);
}

// The bitmap of that picture, written as the layout says.
bytes encode(const layout& l) {
    const bool core = l.info_size == 12;
    bytes b(14 + l.info_size, 0);
    b[0] = 'B';
    b[1] = 'M';
    put32(b, 14, l.info_size);
    if (core) {
        put16(b, 18, static_cast<std::uint16_t>(l.width));
        put16(b, 20, static_cast<std::uint16_t>(l.height));
        put16(b, 22, l.planes);
        put16(b, 24, l.bits);
    } else {
        put32(b, 18, static_cast<std::uint32_t>(l.width));
        put32(b, 22, static_cast<std::uint32_t>(l.height));
        put16(b, 26, l.planes);
        put16(b, 28, l.bits);
        put32(b, 30, l.compression);
        put32(b, 46, l.colours);
    }
    for (int entry = 0; entry < 2; ++entry) {
        const std::uint8_t shade = (entry == 0) == l.white_first ? 0xFF : 0x00;
        b.insert(b.end(), core ? 3 : 4, shade);
        if (!core) b.back() = 0;
    }
    b.insert(b.end(), l.gap, 0xA5);
    put32(b, 10, static_cast<std::uint32_t>(b.size()));
    for (std::size_t file_row = 0; file_row < 64; ++file_row) {
        const std::size_t top = l.height < 0 ? file_row : 63 - file_row;
        for (std::size_t k = 0; k < 12; ++k)
            b.push_back(dark_at(top, k) ^ (l.white_first ? 0x00 : 0xFF));
    }
    put32(b, 2, static_cast<std::uint32_t>(b.size()));
    return b;
}

// The text for that picture: a 1 bit for every dark pixel, top row first.
std::string picture_text() {
    std::string text;
    char item[8];
    for (std::size_t top = 0; top < 64; ++top) {
        text += "        .db ";
        for (std::size_t k = 0; k < 12; ++k) {
            std::snprintf(item, sizeof item, "%s$%X", k ? "," : "", unsigned{dark_at(top, k)});
            text += item;
        }
        text += '\n';
    }
    return text;
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

    // Runs pixdb inside the test's directory with the given arguments; as_user: as nobody when
    // the tests run as root, who may write anywhere; file_limit: a file size limit in bytes.
    run_result run(std::vector<std::string> args, bool as_user = false,
                   rlim_t file_limit = RLIM_INFINITY) {
        const passwd* nobody = getpwnam("nobody");
        const uid_t uid = nobody != nullptr ? nobody->pw_uid : 65534;
        const gid_t gid = nobody != nullptr ? nobody->pw_gid : 65534;
        const bool drop = as_user && geteuid() == 0;
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
            const rlimit limit{file_limit, file_limit};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(124);
            if (drop && (setresgid(gid, gid, gid) != 0 || setresuid(uid, uid, uid) != 0))
                _exit(125);
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

    // Converts content and expects it refused for `reason`, with the existing output untouched
    // and no other file left behind.
    void expect_refused(const bytes& content, const std::string& reason) {
        write("in.bmp", content);
        write("out.asm", bytes{'k', 'e', 'e', 'p'});
        const run_result r = run({"in.bmp", "out.asm"});
        EXPECT_EQ(r.status, 3);
        EXPECT_EQ(r.out, bad_format + reason + "\n");
        EXPECT_EQ(read("out.asm"), "keep");
        EXPECT_EQ(listing(), (std::vector<std::string>{"in.bmp", "out.asm"}));
    }

    fs::path dir;
};

TEST_F(pixdb, FewerThanTwoArgumentsPrintUsageAndTouchNoFile) {
    const std::string usage_rest =
        "Usage: pixdb inputfile outputfile\n"
        "\n"
        "inputfile    : A monochrome windows bitmap with dimensions 96 x 64\n"
        "outputfile   : the name of the file to write the .db codes to\n"
        "\n";
    for (const auto& args : {std::vector<std::string>{}, std::vector<std::string>{"out.asm"}}) {
        const run_result r = run(args);
        EXPECT_EQ(r.status, 1);
        // One version for the usage text and --version.
        ASSERT_EQ(r.out.rfind("Pixdb v" LINK_TOOLS_VERSION " ", 0), 0u) << r.out;
        const auto first_end = r.out.find('\n');
        EXPECT_EQ(r.out.substr(first_end + 1), usage_rest);
        EXPECT_TRUE(listing().empty());
    }
}

TEST_F(pixdb, ExtraOperandsAreRefusedWithTheUsage) {
    write("in.bmp", numbered_rows());
    const run_result r = run({"in.bmp", "out.asm", "third.asm"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Usage: pixdb [OPTION]... INPUT OUTPUT\nTry 'pixdb --help' for more.\n");
    EXPECT_EQ(listing(), std::vector<std::string>{"in.bmp"});
}

TEST_F(pixdb, UnopenableInputLeavesNoOutputFile) {
    const run_result r = run({"missing.bmp", "out.asm"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "Error opening inputfile\nmissing.bmp: No such file or directory\n");
    EXPECT_TRUE(listing().empty());
}

TEST_F(pixdb, OutputInMissingDirectoryFailsToOpen) {
    write("in.bmp", uniform_bitmap(0));
    const run_result r = run({"in.bmp", "nodir/out.asm"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "Error opening outputfile\nnodir/out.asm: No such file or directory\n");
    EXPECT_EQ(listing(), std::vector<std::string>{"in.bmp"});
}

TEST_F(pixdb, FailedWriteIsReportedNotSuccess) {
    write("in.bmp", uniform_bitmap(0));
    const run_result r = run({"in.bmp", "/dev/full"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "Error writing outputfile\n/dev/full: No space left on device\n");
}

// SIGXFSZ used to end the run with the temporary file left behind; the write now fails instead.
TEST_F(pixdb, FileSizeLimitFailsTheWriteAndLeavesNoTemporaryFile) {
    write("in.bmp", uniform_bitmap(0));
    const run_result r = run({"in.bmp", "out.asm"}, false, 1000);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out,
              "Error writing outputfile\nout.asm: " + std::string(std::strerror(EFBIG)) + "\n");
    EXPECT_EQ(listing(), std::vector<std::string>{"in.bmp"});
}

TEST_F(pixdb, BitmapsCommonToolsWriteGiveTheSameText) {
    const struct {
        const char* name;
        layout l;
    } cases[] = {
        {"black first, pixels at 62", {}},
        {"white first", {.white_first = true}},
        {"top row first", {.height = -64}},
        {"OS/2 core header", {.info_size = 12}},
        {"108-byte header, pixels after a gap", {.info_size = 108, .gap = 8}},
        {"124-byte header, white first", {.info_size = 124, .white_first = true}},
        {"56-byte header, colour count left 0", {.info_size = 56, .colours = 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(convert(encode(c.l)), picture_text());
    }
    // Two equal entries: colour 0 counts as dark, as for the common layout.
    bytes grey = encode({});
    put32(grey, 58, 0x00808080);
    put32(grey, 54, 0x00808080);
    EXPECT_EQ(convert(grey), picture_text());
}

TEST_F(pixdb, RefusedBitmapsSayWhyAndLeaveTheOutput) {
    const struct {
        layout l;
        const char* reason;
    } cases[] = {
        {{.bits = 8}, "It is 96 x 64 with 8 bits per pixel: save it as a monochrome (1-bit) BMP."},
        {{.bits = 24},
         "It is 96 x 64 with 24 bits per pixel: save it as a monochrome (1-bit) BMP."},
        {{.width = 352}, "It is 352 x 64 pixels: make it 96 x 64."},
        {{.height = 320}, "It is 96 x 320 pixels: make it 96 x 64."},
        {{.compression = 2}, "It is compressed (RLE4): save it as an uncompressed BMP."},
        {{.planes = 2}, "It has 2 colour planes: save it again as a monochrome (1-bit) BMP."},
        {{.colours = 3},
         "Its colour table has 3 entries instead of 2: save it as a monochrome (1-bit) BMP."},
        {{.info_size = 64},
         "Its information header is 64 bytes long, a kind pixdb does not read: save it again as "
         "a Windows BMP."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        expect_refused(encode(c.l), c.reason);
    }
    bytes damaged = encode({});
    put32(damaged, 10, 60);
    expect_refused(damaged, "Its pixels are said to start at byte 60, inside its headers: the file "
                            "is damaged.");
}

TEST_F(pixdb, TruncatedInputIsRefused) {
    const bytes full = numbered_rows();
    const struct {
        std::size_t size;
        const char* reason;
    } cases[] = {
        {0, "It is not a BMP file (it does not begin with \"BM\"): save the picture as a "
            "monochrome (1-bit) BMP."},
        {22, "It ends after 22 bytes, inside its headers: the file is incomplete."},
        {58, "It ends after 58 bytes, inside its colour table: the file is incomplete."},
        {829, "It ends after 829 bytes, before its last pixel row: the file is incomplete."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        expect_refused(bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(c.size)),
                       c.reason);
    }
}

TEST_F(pixdb, ExistingOutputIsReplacedWholeKeepingItsMode) {
    write("out.asm", bytes(5000, 'x'));
    fs::permissions(dir / "out.asm", fs::perms(0640));
    EXPECT_EQ(convert(uniform_bitmap(0xFF)), repeat(db_line("0"), 64));
    EXPECT_EQ(fs::status(dir / "out.asm").permissions(), fs::perms(0640));
    EXPECT_EQ(listing(), (std::vector<std::string>{"in.bmp", "out.asm"}));
}

// A directory that takes no new file still lets a writable output be written where it is.
TEST_F(pixdb, ReadOnlyDirectoryWritesAnExistingOutputInPlace) {
    write("in.bmp", uniform_bitmap(0xFF));
    write("out.asm", bytes(5000, 'x'));
    fs::permissions(dir / "in.bmp", fs::perms(0644));
    fs::permissions(dir / "out.asm", fs::perms(0666));
    fs::permissions(dir, fs::perms(0555));
    const run_result r = run({"in.bmp", "out.asm"}, true);
    fs::permissions(dir, fs::perms(0755));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(read("out.asm"), repeat(db_line("0"), 64));
    EXPECT_EQ(listing(), (std::vector<std::string>{"in.bmp", "out.asm"}));
}

TEST_F(pixdb, OutputThatIsTheInputLeavesBothFiles) {
    const bytes picture = numbered_rows();
    write("a.bmp", picture);
    write("title.asm", bytes{'t', 'e', 'x', 't'});
    fs::create_hard_link(dir / "a.bmp", dir / "hard.bmp");
    fs::create_symlink("a.bmp", dir / "soft.bmp");
    for (const char* output : {"a.bmp", "hard.bmp", "soft.bmp", "./a.bmp"}) {
        SCOPED_TRACE(output);
        const run_result r = run({"a.bmp", output});
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "The output file is the input file.\n");
    }
    // Arguments swapped: the text is no bitmap, so neither file changes.
    const run_result r = run({"title.asm", "a.bmp"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(read("a.bmp"), std::string(picture.begin(), picture.end()));
    EXPECT_EQ(read("title.asm"), "text");
    EXPECT_TRUE(fs::is_symlink(dir / "soft.bmp"));
    EXPECT_EQ(listing(), (std::vector<std::string>{"a.bmp", "hard.bmp", "soft.bmp", "title.asm"}));
}

TEST_F(pixdb, OutputsThatAreNoRegularFileAreWrittenThrough) {
    write("in.bmp", uniform_bitmap(0xFF));
    for (const char* output : {"/dev/stdout", "-"}) {
        const run_result r = run({"in.bmp", output});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, repeat(db_line("0"), 64));
    }
    EXPECT_EQ(listing(), std::vector<std::string>{"in.bmp"});
    // With the lines on standard output, a refusal goes to standard error, never among them.
    write("bad.bmp", bytes{'B', 'M'});
    const run_result refused = run({"bad.bmp", "-"});
    EXPECT_EQ(refused.status, 3);
    EXPECT_EQ(refused.out, "");
    std::filesystem::remove(dir / "bad.bmp");

    // A symbolic link stays a link, and what it points to gets the text.
    write("target.asm", bytes{'o', 'l', 'd'});
    fs::create_symlink("target.asm", dir / "link.asm");
    EXPECT_EQ(run({"in.bmp", "link.asm"}).status, 0);
    EXPECT_TRUE(fs::is_symlink(dir / "link.asm"));
    EXPECT_EQ(read("target.asm"), repeat(db_line("0"), 64));
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
