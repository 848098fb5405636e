// Fuzz target: the bitmap converter, any bytes as the bitmap.
//
// Each input is written to a file in a private scratch folder and converted by the program's
// entry function. Whatever the input, the run must end with 0 and the 64 lines of exactly this
// input's pixel bytes (bottom row first in the file, top row first in the text, each byte
// inverted), or with 3 and an empty output: never with a partial or wrong text.
#include "pixdb/pixdb.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

constexpr std::size_t PIXELS_AT = 62;
constexpr std::size_t ROW_BYTES = 12;
constexpr std::size_t ROWS = 64;
constexpr std::size_t BITMAP_BYTES = PIXELS_AT + ROWS * ROW_BYTES; // 830

std::string input_path;
std::string output_path;

[[noreturn]] void finding(const char* what) {
    std::fprintf(stderr, "fuzz_pixdb: %s\n", what);
    std::abort();
}

// The text the converter must write for an accepted bitmap.
std::string expected_text(const std::uint8_t* data) {
    std::string text;
    char item[8];
    for (std::size_t line = 0; line < ROWS; ++line) {
        const std::uint8_t* row = data + PIXELS_AT + (ROWS - 1 - line) * ROW_BYTES;
        text += "        .db ";
        for (std::size_t k = 0; k < ROW_BYTES; ++k) {
            std::snprintf(item, sizeof item, "%s$%X", k == 0 ? "" : ",", 0xFFu - row[k]);
            text += item;
        }
        text += '\n';
    }
    return text;
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

    std::array<char, 6> name{"pixdb"};
    std::array<char*, 4> argv{name.data(), input_path.data(), output_path.data(), nullptr};
    const int status = pixdb_main(3, argv.data());
    const std::string text = read_output();

    const bool accepted = size >= BITMAP_BYTES && data[18] == 0x60 && data[22] == 0x40;
    if (accepted) {
        if (status != 0) finding("a complete 96 x 64 bitmap was rejected");
        if (text != expected_text(data)) finding("wrong text for a complete bitmap");
    } else {
        if (status != 3) finding("a bitmap that is not a complete 96 x 64 one was not rejected");
        if (!text.empty()) finding("text written for a rejected bitmap");
    }
    return 0;
}
