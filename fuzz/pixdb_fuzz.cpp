// Fuzz target: the bitmap converter, any bytes as the bitmap.
//
// Each input is written to a file in a private scratch folder and converted by the program's
// entry function. Whatever the input, the run must end with 0 and the 64 lines that an
// independent reading of the bitmap gives, or with 3 and no output file and no temporary file
// left behind: never with a partial or wrong text.
#include "pixdb/pixdb.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <unistd.h>

namespace {

constexpr std::size_t ROW_BYTES = 12;
constexpr std::size_t ROWS = 64;

std::string input_path;
std::string output_path;

[[noreturn]] void finding(const char* what) {
    std::fprintf(stderr, "fuzz_pixdb: %s\n", what);
    std::abort();
}

std::uint32_t le(const std::uint8_t* p, int bytes) {
    std::uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = v << 8 | p[i];
    return v;
}

// Whether the converter must accept these bytes, and if so the text it must write: a 1 bit for a
// pixel of the darker colour (colour 0 when both are alike), top row first.
bool expected_text(const std::uint8_t* data, std::size_t size, std::string& text) {
    if (size < 18 || data[0] != 'B' || data[1] != 'M') return false;
    const std::uint32_t header = le(data + 14, 4);
    const bool core = header == 12;
    if (!core && header != 40 && header != 52 && header != 56 && header != 108 && header != 124) {
        return false;
    }
    const std::size_t table = 14 + header;
    const std::size_t entry = core ? 3 : 4;
    if (size < table + 2 * entry) return false;
    const std::int64_t height = core ? std::int64_t{le(data + 20, 2)}
                                     : std::int64_t{static_cast<std::int32_t>(le(data + 22, 4))};
    if ((core ? le(data + 18, 2) : le(data + 18, 4)) != 96 || (height != 64 && height != -64) ||
        le(data + (core ? 22 : 26), 2) != 1 || le(data + (core ? 24 : 28), 2) != 1) {
        return false;
    }
    if (!core && (le(data + 30, 4) != 0 || (le(data + 46, 4) != 0 && le(data + 46, 4) != 2))) {
        return false;
    }
    const std::uint64_t pixels = le(data + 10, 4);
    if (pixels < table + 2 * entry || pixels + ROWS * ROW_BYTES > size) return false;

    const auto luma = [&](std::size_t at) {
        return 299 * data[at + 2] + 587 * data[at + 1] + 114 * data[at];
    };
    const unsigned flip = luma(table) <= luma(table + entry) ? 0xFF : 0x00;
    char item[8];
    for (std::size_t top = 0; top < ROWS; ++top) {
        const std::uint8_t* row = data + pixels + (height < 0 ? top : ROWS - 1 - top) * ROW_BYTES;
        text += "        .db ";
        for (std::size_t k = 0; k < ROW_BYTES; ++k) {
            std::snprintf(item, sizeof item, "%s$%X", k == 0 ? "" : ",", row[k] ^ flip);
            text += item;
        }
        text += '\n';
    }
    return true;
}

// Entries of the scratch folder other than . and ..
int scratch_entries() {
    DIR* dir = opendir(input_path.substr(0, input_path.rfind('/')).c_str());
    if (dir == nullptr) finding("cannot list the scratch folder");
    int count = 0;
    while (const dirent* e = readdir(dir))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) ++count;
    closedir(dir);
    return count;
}

std::string read_output() {
    std::string text;
    std::FILE* file = std::fopen(output_path.c_str(), "rb");
    if (file == nullptr) return text;
    char chunk[4096];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0)
        text.append(chunk, got);
    std::fclose(file);
    return text;
}

void remove_scratch() {
    unlink(input_path.c_str());
    unlink(output_path.c_str());
    rmdir(input_path.substr(0, input_path.rfind('/')).c_str());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // tmpfs when there is one: two small files per run.
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string dir = std::string(base) + "/fuzz-pixdb-XXXXXX";
    if (mkdtemp(dir.data()) == nullptr) finding("cannot create the scratch folder");
    input_path = dir + "/in.bmp";
    output_path = dir + "/out.db";
    std::atexit(remove_scratch);
    // The converter prints its messages on standard output; the fuzzer reports on stderr.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) finding("cannot silence stdout");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::FILE* in = std::fopen(input_path.c_str(), "wb");
    if (in == nullptr || std::fwrite(data, 1, size, in) != size || std::fclose(in) != 0) {
        finding("cannot write the input file");
    }

    unlink(output_path.c_str());
    std::array<char, 6> name{"pixdb"};
    std::array<char*, 4> argv{name.data(), input_path.data(), output_path.data(), nullptr};
    const int status = pixdb_main(3, argv.data());
    const std::string text = read_output();

    std::string expected;
    if (expected_text(data, size, expected)) {
        if (status != 0) finding("a complete 96 x 64 monochrome bitmap was refused");
        if (text != expected) finding("wrong text for an accepted bitmap");
    } else {
        if (status != 3) finding("a bitmap pixdb does not take was not refused");
        if (scratch_entries() != 1) finding("a refused bitmap left a file behind");
    }
    return 0;
}
