// File benchmark: the sender's check of a 32 KB variable file, and one pixdb conversion.
// Prints its rows into the table that link_bench began. Never part of the tests.
#include "atomicfile/atomicfile.h"
#include "bench/bench_table.h"
#include "link/bytes.h"
#include "pixdb/pixdb.h"
#include "varfile/varfile.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr int CHECKS = 500;
constexpr int CONVERSIONS = 2000;

[[noreturn]] void give_up(const char* what) {
    std::fprintf(stderr, "file_bench: %s\n", what);
    std::exit(1);
}

void write_bytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() ||
        std::fclose(file) != 0) {
        give_up("cannot write a scratch file");
    }
}

// One program whose entry fills the data section to the buffer's 32,768 bytes.
std::vector<std::uint8_t> largest_variable_file() {
    const std::string name = "BIG";
    const auto data_length = static_cast<std::uint16_t>(DATA_SECTION_MAX - 8 - name.size());
    std::vector<std::uint8_t> section;
    append_le16(section, static_cast<std::uint16_t>(name.size() + 4));
    append_le16(section, data_length);
    section.push_back(0x12);
    section.push_back(static_cast<std::uint8_t>(name.size()));
    section.insert(section.end(), name.begin(), name.end());
    append_le16(section, data_length);
    for (std::size_t i = 0; i < data_length; ++i)
        section.push_back(static_cast<std::uint8_t>(i));

    std::vector<std::uint8_t> file(identifier.begin(), identifier.end());
    file.insert(file.end(), {0x1A, 0x0C, 0x00});
    file.insert(file.end(), COMMENT, COMMENT + sizeof COMMENT);
    append_le16(file, static_cast<std::uint16_t>(section.size()));
    file.insert(file.end(), section.begin(), section.end());
    append_le16(file, sum16(section));
    return file;
}

// A 96 x 64 one-bit bitmap: the headers the converter looks at, then a pattern of pixels.
std::vector<std::uint8_t> bitmap() {
    std::vector<std::uint8_t> bytes(62 + 64 * 12);
    bytes[0] = 'B';
    bytes[1] = 'M';
    bytes[10] = 62;
    bytes[14] = 40;
    bytes[18] = 96;
    bytes[22] = 64;
    bytes[26] = 1;
    bytes[28] = 1;
    for (std::size_t i = 62; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 7);
    return bytes;
}

} // namespace

int main() {
    std::string dir = "/tmp/file-bench-XXXXXX";
    if (mkdtemp(dir.data()) == nullptr) give_up("cannot create a scratch folder");

    const std::string variables = dir + "/BIG.85p";
    const std::vector<std::uint8_t> file_bytes = largest_variable_file();
    write_bytes(variables, file_bytes);
    const char* problem = nullptr;
    double start = cpu_seconds();
    std::vector<std::uint8_t> bytes;
    for (int i = 0; i < CHECKS; ++i) {
        if (read_whole_file(variables.c_str(), FILE_SIZE_MAX, bytes) != whole_read::done ||
            verdict(read_file(bytes), problem) != FileCheck::ok)
            give_up("the variable file fails its check");
    }
    double seconds = cpu_seconds() - start;
    bench_row("read and check, 32 KB variable file", "-", file_bytes.size(), -1, seconds,
              static_cast<double>(file_bytes.size()) * CHECKS, CHECKS);

    std::string input = dir + "/in.bmp";
    std::string output = dir + "/out.db";
    write_bytes(input, bitmap());
    std::array<char, 6> program{"pixdb"};
    std::array<char*, 4> argv{program.data(), input.data(), output.data(), nullptr};
    start = cpu_seconds();
    for (int i = 0; i < CONVERSIONS; ++i) {
        if (pixdb_main(3, argv.data()) != 0) give_up("the conversion failed");
    }
    seconds = cpu_seconds() - start;
    bench_row("pixdb conversion, 96 x 64 bitmap", "-", 830, -1, seconds, 830.0 * CONVERSIONS,
              CONVERSIONS);

    unlink(variables.c_str());
    unlink(input.c_str());
    unlink(output.c_str());
    rmdir(dir.c_str());
    return 0;
}
