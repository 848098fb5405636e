// Variable files: tables, names, atomic writing and the sender's checks.
#include "varfile/varfile.h"

#include "atomicfile/atomicfile.h"
#include "link/bytes.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

constexpr std::array<std::array<char, 6>, TYPE_COUNT> var_types{{
    {"REAL"},  {"CPLX"},  {"VECTR"}, {"VECTR"}, {"LIST"},  {"LIST"},  {"MATRX"}, {"MATRX"},
    {"CONST"}, {"CONST"}, {"EQU"},   {"RANGE"}, {"STRNG"}, {"GDB"},   {"GDB"},   {"GDB"},
    {"GDB"},   {"PICT"},  {"PRGRM"}, {"RANGE"}, {"PICT"},  {"UNKN"},  {"UNKN"},  {"RANGE"},
    {"RANGE"}, {"RANGE"}, {"RANGE"}, {"RANGE"}, {"UNKN"},  {"BAKUP"}, {""},
}};

constexpr std::array<std::array<char, 5>, TYPE_COUNT> var_extensions{{
    {".85n"}, {".85c"}, {".85v"}, {".85v"}, {".85l"}, {".85l"}, {".85m"}, {".85m"},
    {".85k"}, {".85k"}, {".85e"}, {".85r"}, {".85s"}, {".85d"}, {".85d"}, {".85d"},
    {".85d"}, {".85i"}, {".85p"}, {".85r"}, {".85i"}, {".85_"}, {".85_"}, {".85r"},
    {".85r"}, {".85r"}, {".85r"}, {".85r"}, {".85_"}, {".85b"}, {""},
}};

namespace {

constexpr std::array<std::uint8_t, 3> FIXED_BYTES{0x1A, 0x0C, 0x00};

// ---- The one unfinished file (atomicfile/ keeps it) ----

constexpr char TEMPORARY_PREFIX[] = ".ti85-";
int backup_blocks = 0;
std::uint16_t backup_announced = 0; // data-section length the backup header announced
std::uint32_t backup_stored = 0;    // data-section bytes written so far

// Whether the rules of a sticky directory let this process replace `existing` in `dir`.
bool may_replace(const struct stat& existing, const char* dir) {
    struct stat folder;
    if (stat(dir, &folder) != 0 || (folder.st_mode & S_ISVTX) == 0) return true;
    const uid_t self = geteuid();
    return self == 0 || existing.st_uid == self || folder.st_uid == self;
}

// The directory of `path` ("." for a bare name) into `dir`; false when it does not fit.
bool directory_of(const char* path, char* dir, std::size_t dir_size) {
    const char* slash = std::strrchr(path, '/');
    const std::size_t dir_length =
        slash == nullptr ? 0 : static_cast<std::size_t>(slash - path) + 1;
    if (dir_length + 2 > dir_size) return false;
    if (dir_length == 0) {
        std::strcpy(dir, ".");
    } else {
        std::memcpy(dir, path, dir_length);
        dir[dir_length] = '\0';
    }
    return true;
}

bool put(std::FILE* file, const void* data, std::size_t length) {
    return std::fwrite(data, 1, length, file) == length;
}

bool put_u16(std::FILE* file, std::uint16_t value) {
    return put(file, le16(value).data(), 2);
}

bool put_file_header(std::FILE* file) {
    return put(file, identifier.data(), identifier.size()) &&
           put(file, FIXED_BYTES.data(), FIXED_BYTES.size()) && put(file, COMMENT, sizeof COMMENT);
}

// The checksum pass, through the descriptor that wrote the file (a strict umask may have made
// the file read-only by name): sum the data section as it stands on disk and append the sum.
bool append_checksum(std::FILE* file, std::span<std::uint8_t> scratch) {
    std::uint8_t length[2];
    bool ok =
        std::fseek(file, OFFSET_DATA_LENGTH, SEEK_SET) == 0 && std::fread(length, 1, 2, file) == 2;
    const std::uint16_t n = ok ? read_le16(length) : 0;
    ok = ok && n <= scratch.size() && std::fread(scratch.data(), 1, n, file) == n;
    if (!ok) {
        if (errno == 0) errno = EIO;
        return false;
    }
    // A seek turns the stream from reading back to writing.
    return std::fseek(file, 0, SEEK_END) == 0 && put_u16(file, sum16(scratch.first(n)));
}

// Every failure of a begun file ends here: the file is abandoned and errno kept (EIO when
// nothing set it, as for a short write).
bool fail_unfinished() {
    const int saved = errno != 0 ? errno : EIO;
    abandon_file();
    errno = saved;
    return false;
}

// The checksum, then the disk, the final mode and the final name.
bool finish_unfinished(std::span<std::uint8_t> scratch) {
    if (!append_checksum(unfinished_atomic(), scratch)) return fail_unfinished();
    return finish_atomic();
}

// ---- Reading ----

bool get(std::FILE* file, void* data, std::size_t length) {
    if (std::fread(data, 1, length, file) == length) return true;
    if (!std::ferror(file)) errno = EIO; // shorter than checked: changed under us
    return false;
}

bool get_u16(std::FILE* file, std::uint16_t& value) {
    std::uint8_t bytes[2];
    if (!get(file, bytes, 2)) return false;
    value = read_le16(bytes);
    return true;
}

// The data section `section` of a file whose first type code is 0x1D. A block of another length
// than its header announced would go back to the calculator as a backup it never sent.
const char* check_backup(std::span<const std::uint8_t> section) {
    const std::size_t n = section.size();
    if (n < 2 + BACKUP_HEADER_LENGTH || read_le16(section) != BACKUP_HEADER_LENGTH) {
        return "backup header not 9 bytes";
    }
    const std::span<const std::uint8_t> header = section.subspan(2, BACKUP_HEADER_LENGTH);
    const std::uint16_t announced[3]{read_le16(header), read_le16(header.subspan(3)),
                                     read_le16(header.subspan(5))};
    std::uint32_t at = 2 + BACKUP_HEADER_LENGTH;
    for (const std::uint16_t length : announced) {
        if (at + 2 > n) return "backup block missing";
        if (length == 0) return "backup block without data";
        if (read_le16(section.subspan(at)) != length) {
            return "backup block of another length than its header announces";
        }
        at += 2 + std::uint32_t{length};
        if (at > n) return "backup block runs past the data section";
    }
    return at == n ? nullptr : "backup does not fill its data section exactly";
}

const char* check_entries(std::span<const std::uint8_t> section) {
    const std::size_t n = section.size();
    std::uint32_t at = 0;
    do {
        if (at + 6 > n) return "entry header runs past the data section";
        const std::uint8_t type = section[at + 4];
        const std::uint8_t name_length = section[at + 5];
        if (type == TYPE_BACKUP) return "backup entry among variables";
        if (!storable_type(type)) return "unknown type code";
        if (name_length > NAME_MAX_LENGTH) return "name longer than 11 bytes";
        if (at + 8 + name_length > n) return "entry header runs past the data section";
        const std::uint16_t data_length = read_le16(section.subspan(at + 6 + name_length));
        if (read_le16(section.subspan(at + 2)) != data_length) {
            return "the two copies of a data length differ";
        }
        at += 8 + name_length + std::uint32_t{data_length};
        if (at > n) return "entry data runs past the data section";
    } while (at < n);
    return nullptr;
}

} // namespace

const char* describe(HeaderFault fault) {
    switch (fault) {
    case HeaderFault::none:
        return "no fault";
    case HeaderFault::short_header:
        return "variable header shorter than its name";
    case HeaderFault::name_too_long:
        return "name longer than 11 bytes";
    case HeaderFault::unknown_type:
        return "unknown type code";
    case HeaderFault::no_data:
        return "no data";
    case HeaderFault::data_too_long:
        return "variable too large";
    case HeaderFault::unsafe_name:
        return "name not usable as a file name";
    }
    return "unknown fault";
}

std::uint16_t encode_var_header(std::uint16_t data_length, std::uint8_t type,
                                std::span<const char> name, std::span<std::uint8_t> out) {
    if (name.size() > 0xFF || out.size() < 4 + name.size()) return 0;
    write_le16(out, data_length);
    out[2] = type;
    out[3] = static_cast<std::uint8_t>(name.size());
    std::memcpy(out.data() + 4, name.data(), name.size());
    return static_cast<std::uint16_t>(4 + name.size());
}

HeaderFault read_var_header(const std::uint8_t* data, std::uint16_t length, VarHeader& header) {
    if (length < 4 || length < 4 + data[3]) return HeaderFault::short_header;
    header.data_length = read_le16({data, 2});
    header.type = data[2];
    header.name_length = data[3];
    if (header.name_length > NAME_MAX_LENGTH) return HeaderFault::name_too_long;
    if (!storable_type(header.type)) return HeaderFault::unknown_type;
    if (header.data_length == 0) return HeaderFault::no_data;
    // The whole entry must fit a data section, which the sender holds whole when it checks it.
    if (std::size_t{header.data_length} + header.name_length + 8 > DATA_SECTION_MAX) {
        return HeaderFault::data_too_long;
    }
    header.name.fill(0);
    std::memcpy(header.name.data(), data + 4, header.name_length);
    PathBuffer path;
    return file_name(header, path) ? HeaderFault::none : HeaderFault::unsafe_name;
}

bool file_name(const VarHeader& header, PathBuffer& path) {
    if (header.name_length > NAME_MAX_LENGTH || !storable_type(header.type)) return false;
    path.fill(0);
    for (std::size_t i = 0; i < header.name_length; ++i) {
        const char c = header.name[i];
        if (c == '/' || c == '\0') return false;
        path[i] = c;
    }
    std::memcpy(path.data() + header.name_length, var_extensions[header.type].data(), 4);
    const char* name = path.data();
    return std::strcmp(name, "") != 0 && std::strcmp(name, ".") != 0 &&
           std::strcmp(name, "..") != 0;
}

bool begin_file(const char* path) {
    abandon_file();
    errno = 0;
    char dir[PATH_MAX];
    if (std::strlen(path) >= PATH_MAX || !directory_of(path, dir, sizeof dir)) {
        errno = ENAMETOOLONG;
        return false;
    }
    // What stands at the name now, link or not: a directory can never be replaced by a file.
    struct stat existing;
    const bool replacing = lstat(path, &existing) == 0;
    if (replacing && S_ISDIR(existing.st_mode)) {
        errno = EISDIR;
        return false;
    }
    if (replacing && !may_replace(existing, dir)) {
        errno = EPERM;
        return false;
    }
    return begin_atomic(path, TEMPORARY_PREFIX) != nullptr;
}

bool write_variable(const VarHeader& header, const std::uint8_t* data,
                    std::span<std::uint8_t> scratch) {
    errno = 0;
    std::FILE* file = unfinished_atomic();
    if (file == nullptr) {
        errno = EINVAL;
        return false;
    }
    const std::uint16_t k = header.name_length;
    const std::uint16_t d = header.data_length;
    const bool ok = put_file_header(file) && put_u16(file, static_cast<std::uint16_t>(k + d + 8)) &&
                    put_u16(file, static_cast<std::uint16_t>(k + 4)) && put_u16(file, d) &&
                    put(file, &header.type, 1) && put(file, &header.name_length, 1) &&
                    put(file, header.name.data(), k) && put_u16(file, d) && put(file, data, d);
    if (!ok) return fail_unfinished();
    return finish_unfinished(scratch);
}

bool write_variable(const char* path, const VarHeader& header, const std::uint8_t* data,
                    std::span<std::uint8_t> scratch) {
    return begin_file(path) && write_variable(header, data, scratch);
}

bool begin_backup(const std::uint8_t* header, std::uint16_t length) {
    errno = 0;
    if (length != BACKUP_HEADER_LENGTH) {
        errno = EINVAL;
        return fail_unfinished();
    }
    const std::uint32_t announced = backup_section_length({header, length});
    if (announced > DATA_SECTION_MAX) {
        errno = EFBIG;
        return fail_unfinished();
    }
    if (unfinished_atomic() == nullptr && !begin_file(BACKUP_FILE_NAME)) return false;
    backup_blocks = 0;
    backup_announced = static_cast<std::uint16_t>(announced);
    backup_stored = 2 + length;
    std::FILE* file = unfinished_atomic();
    if (!(put_file_header(file) && put_u16(file, backup_announced) && put_u16(file, length) &&
          put(file, header, length))) {
        return fail_unfinished();
    }
    return true;
}

bool add_backup_block(const std::uint8_t* data, std::uint16_t length) {
    // A short write or read-back sets no errno: what earlier successes left there must not
    // stand in for it.
    errno = 0;
    std::FILE* file = unfinished_atomic();
    if (file == nullptr || backup_blocks == 3) {
        errno = EINVAL;
        return fail_unfinished();
    }
    backup_stored += 2u + length;
    if (backup_stored > DATA_SECTION_MAX) {
        errno = EFBIG;
        return fail_unfinished();
    }
    ++backup_blocks;
    if (!(put_u16(file, length) && put(file, data, length))) return fail_unfinished();
    return true;
}

bool finish_backup(std::span<std::uint8_t> scratch) {
    errno = 0;
    std::FILE* file = unfinished_atomic();
    if (file == nullptr || backup_blocks != 3) {
        errno = EINVAL;
        return fail_unfinished();
    }
    // Blocks of other lengths than announced: store the length that was really written, so
    // that the checksum covers exactly the data section.
    const auto stored = static_cast<std::uint16_t>(backup_stored);
    if (stored != backup_announced &&
        (std::fseek(file, OFFSET_DATA_LENGTH, SEEK_SET) != 0 || !put_u16(file, stored))) {
        return fail_unfinished();
    }
    return finish_unfinished(scratch);
}

void abandon_file() {
    abandon_atomic();
}

std::uint32_t backup_section_length(std::span<const std::uint8_t> header) {
    return static_cast<std::uint32_t>(header.size()) + 8 + read_le16(header) +
           read_le16(header.subspan(3)) + read_le16(header.subspan(5));
}

void abandon_backup() {
    abandon_file();
}

void remove_unfinished_file() {
    remove_unfinished_atomic();
}

FileCheck check_file(std::FILE* file, std::span<std::uint8_t> scratch, const char*& problem) {
    problem = nullptr;
    if (scratch.size() < DATA_SECTION_MAX) {
        errno = EINVAL;
        return FileCheck::unreadable;
    }
    // The file header and N in one read: a file with the signature that is too short for them
    // is damaged, whatever a seek past its end would say.
    std::rewind(file);
    const std::size_t got = std::fread(scratch.data(), 1, OFFSET_DATA, file);
    if (std::ferror(file)) return FileCheck::unreadable;
    if (got < SIGNATURE_COMPARED ||
        std::memcmp(scratch.data(), identifier.data(), SIGNATURE_COMPARED) != 0) {
        return FileCheck::no_signature;
    }
    if (got < OFFSET_DATA) {
        problem = "shorter than its header";
        return FileCheck::damaged;
    }
    const std::uint16_t n = read_le16(scratch.subspan(OFFSET_DATA_LENGTH));
    if (n == 0) {
        problem = "empty data section";
        return FileCheck::damaged;
    }
    if (n > DATA_SECTION_MAX) {
        problem = "data section longer than 32768 bytes";
        return FileCheck::damaged;
    }
    std::uint8_t stored[2];
    const std::span<std::uint8_t> section = scratch.first(n);
    if (std::fread(section.data(), 1, n, file) != n || std::fread(stored, 1, 2, file) != 2) {
        if (std::ferror(file)) return FileCheck::unreadable;
        problem = "shorter than its data section says";
        return FileCheck::damaged;
    }
    if (read_le16(stored) != sum16(section)) return FileCheck::bad_checksum;
    if (std::fgetc(file) != EOF) {
        problem = "bytes after its checksum";
        return FileCheck::damaged;
    }
    if (std::ferror(file)) return FileCheck::unreadable;

    if (n < 5) {
        problem = "data section too short for an entry";
        return FileCheck::damaged;
    }
    problem = section[OFFSET_FIRST_TYPE - OFFSET_DATA] == TYPE_BACKUP ? check_backup(section)
                                                                      : check_entries(section);
    return problem == nullptr ? FileCheck::ok : FileCheck::damaged;
}

bool is_backup(std::FILE* file) {
    std::uint8_t type = 0;
    return std::fseek(file, OFFSET_FIRST_TYPE, SEEK_SET) == 0 && get(file, &type, 1) &&
           type == TYPE_BACKUP;
}

long data_section_end(std::FILE* file) {
    std::uint16_t n = 0;
    if (std::fseek(file, OFFSET_DATA_LENGTH, SEEK_SET) != 0 || !get_u16(file, n)) return -1;
    return OFFSET_DATA + n;
}

bool read_entry(std::FILE* file, long position, VarHeader& header) {
    if (std::fseek(file, position + 4, SEEK_SET) != 0 || !get(file, &header.type, 1) ||
        !get(file, &header.name_length, 1)) {
        return false;
    }
    if (header.name_length > NAME_MAX_LENGTH || header.type > TYPE_BACKUP) {
        errno = EINVAL;
        return false;
    }
    header.name.fill(0);
    return get(file, header.name.data(), header.name_length) && get_u16(file, header.data_length);
}

bool read_entry_data(std::FILE* file, std::span<std::uint8_t> scratch, std::uint16_t length) {
    if (length > scratch.size()) {
        errno = EINVAL;
        return false;
    }
    return get(file, scratch.data(), length);
}

bool skip_entry_data(std::FILE* file, std::uint16_t length) {
    return std::fseek(file, length, SEEK_CUR) == 0;
}

bool read_backup_header(std::FILE* file, std::span<std::uint8_t> scratch, std::uint16_t& length) {
    return std::fseek(file, OFFSET_DATA, SEEK_SET) == 0 && get_u16(file, length) &&
           read_entry_data(file, scratch, length);
}

bool read_backup_block(std::FILE* file, std::span<std::uint8_t> scratch, std::uint16_t& length) {
    return get_u16(file, length) && read_entry_data(file, scratch, length);
}

// ---- Reading leniently ----

namespace {

// Where the lenient walk stands: the data section as the file holds it (`section`, from offset
// 55) and the length N that the file announces for it.
struct Walk {
    std::span<const std::uint8_t> section;
    std::size_t announced;
    FileContents& contents;

    void fault(std::size_t at, std::size_t entry, std::string what) {
        contents.faults.push_back(
            {static_cast<std::size_t>(OFFSET_DATA) + at, entry, std::move(what)});
    }
    // Why `length` bytes from `at` are not all there: the file ended early, or the data
    // section is too short for them.
    const char* cut_by(std::size_t at, std::size_t length) const {
        return at + length > announced ? "runs past the data section" : "cut off by the file's end";
    }
    // The bytes from `at`, `length` of them or as many as there are.
    std::span<const std::uint8_t> take(std::size_t at, std::size_t length) const {
        if (at >= section.size()) return {};
        return section.subspan(at, std::min(length, section.size() - at));
    }
};

void walk_backup(Walk& walk) {
    FileContents& contents = walk.contents;
    const std::size_t size = walk.section.size();
    std::size_t at = 0;
    for (std::size_t part = 0; part < 4; ++part) {
        const std::string name =
            part == 0 ? "backup header" : "backup block " + std::to_string(part);
        if (at + 2 > size) {
            walk.fault(at, 0, name + " missing: its length " + walk.cut_by(at, 2));
            return;
        }
        const std::size_t length = read_le16(walk.section.subspan(at));
        contents.backup_parts[part] = walk.take(at + 2, length);
        if (at + 2 + length > size) {
            walk.fault(at, 0,
                       name + " of " + std::to_string(length) + " bytes " +
                           walk.cut_by(at + 2, length));
            return;
        }
        at += 2 + length;
    }
    if (at < size) {
        walk.fault(at, 0, std::to_string(size - at) + " bytes after the third backup block");
    }
}

void walk_entries(Walk& walk) {
    FileContents& contents = walk.contents;
    const std::size_t size = walk.section.size();
    for (std::size_t at = 0, number = 1; at < size; ++number) {
        if (at + 6 > size) {
            walk.fault(at, number, std::string("entry header ") + walk.cut_by(at, 6));
            return;
        }
        FileEntry entry{};
        entry.offset = OFFSET_DATA + at;
        entry.type = walk.section[at + 4];
        const std::size_t k = walk.section[at + 5];
        entry.name = walk.take(at + 6, k);
        if (entry.type > TYPE_LAST) {
            char what[32];
            std::snprintf(what, sizeof what, "unknown type code 0x%02X", unsigned{entry.type});
            walk.fault(at + 4, number, what);
        }
        if (k > NAME_MAX_LENGTH) walk.fault(at + 5, number, "name longer than 11 bytes");
        if (at + 8 + k > size) {
            walk.fault(at, number, std::string("entry header ") + walk.cut_by(at, 8 + k));
            return;
        }
        entry.data_length = read_le16(walk.section.subspan(at + 6 + k));
        entry.data_offset = OFFSET_DATA + at + 8 + k;
        entry.data = walk.take(at + 8 + k, entry.data_length);
        contents.entries.push_back(entry);
        if (entry.data.size() < entry.data_length) {
            walk.fault(at + 6 + k, number,
                       "data of " + std::to_string(entry.data_length) + " bytes " +
                           walk.cut_by(at + 8 + k, entry.data_length));
            return;
        }
        at += 8 + k + entry.data_length;
    }
}

std::string hex16(std::uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", unsigned{value});
    return text;
}

} // namespace

FileContents read_leniently(std::span<const std::uint8_t> file) {
    FileContents contents;
    const std::size_t size = file.size();
    if (size < SIGNATURE_COMPARED ||
        std::memcmp(file.data(), identifier.data(), SIGNATURE_COMPARED) != 0) {
        contents.faults.push_back({0, 0, "not a variable file"});
        return contents;
    }
    if (size < OFFSET_DATA) {
        contents.faults.push_back({size, 0, "file ends inside its header"});
        return contents;
    }
    contents.has_data = true;
    const std::size_t n = read_le16(file.subspan(OFFSET_DATA_LENGTH));
    const std::size_t held = std::min(n, size - OFFSET_DATA);
    const auto fault = [&](std::size_t at, std::string what) {
        contents.faults.push_back({at, 0, std::move(what)});
    };
    if (n == 0) fault(OFFSET_DATA_LENGTH, "empty data section");
    if (n > DATA_SECTION_MAX) fault(OFFSET_DATA_LENGTH, "data section longer than 32768 bytes");
    const std::size_t end = OFFSET_DATA + n; // where the checksum belongs
    if (size < end + 2) {
        fault(size, "file of " + std::to_string(size) + " bytes, its data section length (" +
                        std::to_string(n) + ") needs " + std::to_string(end + 2));
    } else {
        const std::uint16_t stored = read_le16(file.subspan(end));
        const std::uint16_t sum = sum16(file.subspan(OFFSET_DATA, n));
        if (stored != sum) {
            fault(end, "checksum does not match: the file says " + hex16(stored) +
                           ", its data section sums to " + hex16(sum));
        }
        if (size > end + 2) {
            fault(end + 2, std::to_string(size - end - 2) + " bytes after the checksum");
        }
    }

    Walk walk{file.subspan(OFFSET_DATA, held), n, contents};
    contents.backup = held > OFFSET_FIRST_TYPE - OFFSET_DATA &&
                      walk.section[OFFSET_FIRST_TYPE - OFFSET_DATA] == TYPE_BACKUP;
    if (contents.backup) {
        walk_backup(walk);
    } else {
        walk_entries(walk);
    }
    return contents;
}
