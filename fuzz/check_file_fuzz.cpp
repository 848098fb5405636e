// Fuzz target: the sender's check of a variable file, any bytes as the file.
//
// check_file must never read or write past its scratch memory, whatever the file says. A file it
// passes must also be sendable to the end: the sender then walks the entries (or the backup's
// header and blocks) with the read calls below, and every one of them must succeed and the walk
// must end exactly at the end of the data section, never inside it or past it.
#include "varfile/varfile.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

namespace {

std::span<std::uint8_t> scratch; // DATA_SECTION_MAX bytes

[[noreturn]] void finding(const char* what) {
    std::fprintf(stderr, "fuzz_check_file: %s\n", what);
    std::abort();
}

void walk_backup(std::FILE* file, long end) {
    std::uint16_t length = 0;
    if (!read_backup_header(file, scratch, length))
        finding("backup header of a checked file unreadable");
    for (int block = 0; block < 3; ++block) {
        if (!read_backup_block(file, scratch, length))
            finding("backup block of a checked file unreadable");
    }
    if (std::ftell(file) != end) finding("backup does not end at the end of the data section");
}

// As the sender does: the data of some entries is read and sent, of others skipped by a seek.
void walk_entries(std::FILE* file, long end) {
    long position = OFFSET_DATA;
    for (int entry = 0; position < end; ++entry) {
        VarHeader header{};
        if (!read_entry(file, position, header)) finding("entry of a checked file unreadable");
        if (header.name[header.name_length] != '\0') finding("name not terminated");
        const bool read = entry % 2 == 0 ? read_entry_data(file, scratch, header.data_length)
                                         : skip_entry_data(file, header.data_length);
        if (!read) finding("entry data of a checked file unreadable");
        position = std::ftell(file);
        if (position > end) finding("entry runs past the data section");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Exactly the size the library needs, on the heap, so that a step past it is caught.
    scratch = {new std::uint8_t[DATA_SECTION_MAX], DATA_SECTION_MAX};
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0; // fmemopen wants at least one byte; an empty file has no signature
    std::FILE* file = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
    if (file == nullptr) finding("fmemopen failed");

    const char* problem = nullptr;
    const FileCheck check = check_file(file, scratch, problem);
    if (check == FileCheck::damaged && problem == nullptr) finding("damaged without a reason");
    if (check == FileCheck::ok) {
        const long end = data_section_end(file);
        if (end < OFFSET_DATA || static_cast<std::size_t>(end) + 2 > size) {
            finding("data section end outside the file");
        }
        if (is_backup(file)) {
            walk_backup(file, end);
        } else {
            walk_entries(file, end);
        }
    }
    std::fclose(file);
    return 0;
}
