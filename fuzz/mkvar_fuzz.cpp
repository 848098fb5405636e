// Fuzz target: mkvar's reader, any bytes as catvar-style text.
//
// The reader must never read past its text, and every variable it accepts must make a file the
// sender passes whole: one entry, within the limits, named by 1 to 8 characters. The first input
// byte chooses the ASCII style.
#include "mkvar/mkvar.h"
#include "varfile/varfile.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

[[noreturn]] void finding(const char* what) {
    std::fprintf(stderr, "fuzz_mkvar: %s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const bool ascii = (data[0] & 1) != 0;
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::vector<std::vector<std::uint8_t>> files;
    if (!mkvar_files(text, ascii, files)) return 0;
    for (const std::vector<std::uint8_t>& file : files) {
        const FileContents contents = read_file(file);
        const char* problem = nullptr;
        if (contents.entries.size() != 1) finding("not one entry");
        const FileEntry& entry = contents.entries.front();
        if (entry.name.empty() || entry.name.size() > BACKUP_NAME_MAX) finding("a bad name");
        if (verdict(contents, problem) != FileCheck::ok) finding("a written file fails the check");
    }
    return 0;
}
