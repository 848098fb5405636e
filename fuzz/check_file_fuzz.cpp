// Fuzz target: a variable file taken apart and judged as the sender judges it, any bytes as the
// file.
//
// read_file must never read past the bytes given, whatever the file says. A file it passes must
// also be sendable to the end: its entries (or the backup's header and blocks) must be whole,
// back to back, and end exactly at the end of the data section, never inside it or past it.
#include "varfile/varfile.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <utility>
#include <vector>

namespace {

[[noreturn]] void finding(const char* what) {
    std::fprintf(stderr, "fuzz_check_file: %s\n", what);
    std::abort();
}

// Where the data section of a passed file ends: 55 + N.
std::size_t section_end(std::span<const std::uint8_t> file) {
    return OFFSET_DATA +
           (file[OFFSET_DATA_LENGTH] | std::size_t{file[OFFSET_DATA_LENGTH + 1]} << 8);
}

void check_backup(const FileContents& contents, std::size_t end) {
    std::size_t at = OFFSET_DATA;
    for (const auto& part : contents.backup_parts) {
        if (part.empty()) finding("empty backup part in a passed file");
        at += 2 + part.size();
    }
    if (contents.backup_parts[0].size() != BACKUP_HEADER_LENGTH)
        finding("backup header not 9 bytes");
    if (at != end) finding("backup does not end at the end of the data section");
}

// Every trusted variable of a backup's table lies inside the user data, and none overlaps
// another (what splitvar writes and catvar shows).
void check_backup_table(const FileContents& contents, std::span<const std::uint8_t> file) {
    const auto user = contents.backup_parts[2];
    std::vector<std::pair<const std::uint8_t*, const std::uint8_t*>> seen;
    for (const BackupVariable& variable : backup_variables(contents, file)) {
        if (variable.fault != nullptr) continue;
        const auto* begin = variable.data.data();
        const auto* end = begin + variable.data.size();
        if (variable.data.empty() || begin < user.data() || end > user.data() + user.size()) {
            finding("a trusted variable outside the user data");
        }
        if (variable.name.empty() || variable.name.size() > BACKUP_NAME_MAX) {
            finding("a trusted variable with a bad name");
        }
        for (const auto& [b, e] : seen) {
            if (begin < e && b < end) finding("trusted variables overlap");
        }
        seen.emplace_back(begin, end);
    }
}

void check_entries(const FileContents& contents, std::size_t end) {
    std::size_t at = OFFSET_DATA;
    for (const FileEntry& entry : contents.entries) {
        if (entry.offset != at) finding("entries not back to back");
        if (entry.name.size() > NAME_MAX_LENGTH) finding("name too long in a passed file");
        if (!storable_type(entry.type)) finding("type not storable in a passed file");
        if (entry.data.size() != entry.data_length) finding("entry data cut in a passed file");
        at = entry.data_offset + entry.data_length;
    }
    if (contents.entries.empty() || at != end) {
        finding("entries do not end at the end of the data section");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> file{data, size};
    const FileContents contents = read_file(file);
    const char* problem = nullptr;
    const FileCheck check = verdict(contents, problem);
    if (check == FileCheck::damaged && problem == nullptr) finding("damaged without a reason");
    if (check == FileCheck::ok) {
        const std::size_t end = section_end(file);
        if (end + 2 != size) finding("data section end outside the file");
        if (contents.backup) {
            check_backup(contents, end);
            check_backup_table(contents, file);
        } else {
            check_entries(contents, end);
        }
    }
    return 0;
}
