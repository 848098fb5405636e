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
    std::memcpy(path.data() + header.name_length, var_types[header.type].extension.data(), 4);
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

std::size_t value_size(std::uint8_t type, std::span<const std::uint8_t> data) {
    if (type >= TYPE_COUNT) return 0;
    const VarType& layout = var_types[type];
    switch (layout.layout) {
    case Layout::fixed:
        return layout.unit;
    case Layout::counted:
        return data.size() < 2 ? 0 : 2 + std::size_t{read_le16(data)} * layout.unit;
    case Layout::dimensioned:
        return data.size() < 2 ? 0 : 2 + std::size_t{data[0]} * data[1] * layout.unit;
    case Layout::opaque:
        break;
    }
    return 0;
}

// ---- Reading ----

namespace {

void add_fault(FileContents& contents, std::size_t offset, std::size_t entry, std::string what,
               const char* refusal, FileCheck verdict = FileCheck::damaged) {
    contents.faults.push_back({offset, entry, std::move(what), verdict, refusal, false});
}

// Where the walk stands: the data section as the file holds it (`section`, from offset 55) and
// the length N that the file announces for it. Offsets count from the section's start.
struct Walk {
    std::span<const std::uint8_t> section;
    std::size_t announced;
    FileContents& contents;

    void fault(std::size_t at, std::size_t entry, std::string what, const char* refusal) {
        add_fault(contents, OFFSET_DATA + at, entry, std::move(what), refusal);
    }
    // A limit of the sender's, in its own words.
    void limit(std::size_t at, std::size_t entry, const char* refusal) {
        contents.faults.push_back(
            {OFFSET_DATA + at, entry, refusal, FileCheck::damaged, refusal, true});
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

// A block of another length than its header announced would go back to the calculator as a
// backup it never sent.
void walk_backup(Walk& walk) {
    FileContents& contents = walk.contents;
    const std::size_t size = walk.section.size();
    std::size_t at = 0;
    for (std::size_t part = 0; part < 4; ++part) {
        const bool header = part == 0;
        const std::string name = header ? "backup header" : "backup block " + std::to_string(part);
        if (at + 2 > size) {
            walk.fault(at, 0, name + " missing: its length " + walk.cut_by(at, 2),
                       header ? "backup header not 9 bytes" : "backup block missing");
            return;
        }
        const std::size_t length = read_le16(walk.section.subspan(at));
        const std::span<const std::uint8_t> head = contents.backup_parts[0];
        if (header && length != BACKUP_HEADER_LENGTH) {
            walk.limit(at, 0, "backup header not 9 bytes");
        } else if (!header && length == 0) {
            walk.limit(at, 0, "backup block without data");
        } else if (!header && head.size() >= 7 &&
                   length != read_le16(head.subspan(part == 1 ? 0 : 2 * part - 1))) {
            walk.limit(at, 0, "backup block of another length than its header announces");
        }
        contents.backup_parts[part] = walk.take(at + 2, length);
        if (at + 2 + length > size) {
            walk.fault(
                at, 0,
                name + " of " + std::to_string(length) + " bytes " + walk.cut_by(at + 2, length),
                header ? "backup header not 9 bytes" : "backup block runs past the data section");
            return;
        }
        at += 2 + length;
    }
    if (at < size) {
        walk.fault(at, 0, std::to_string(size - at) + " bytes after the third backup block",
                   "backup does not fill its data section exactly");
    }
}

void walk_entries(Walk& walk) {
    constexpr const char* HEADER_PAST = "entry header runs past the data section";
    FileContents& contents = walk.contents;
    const std::size_t size = walk.section.size();
    for (std::size_t at = 0, number = 1; at < size; ++number) {
        if (at + 6 > size) {
            walk.fault(at, number, std::string("entry header ") + walk.cut_by(at, 6), HEADER_PAST);
            return;
        }
        FileEntry entry{};
        entry.offset = OFFSET_DATA + at;
        entry.type = walk.section[at + 4];
        const std::size_t k = walk.section[at + 5];
        entry.name = walk.take(at + 6, k);
        if (entry.type == TYPE_BACKUP) {
            walk.limit(at + 4, number, "backup entry among variables");
        } else if (entry.type == TYPE_LAST) {
            walk.limit(at + 4, number, "unknown type code");
        } else if (entry.type > TYPE_LAST) {
            char what[32];
            std::snprintf(what, sizeof what, "unknown type code 0x%02X", unsigned{entry.type});
            walk.fault(at + 4, number, what, "unknown type code");
        }
        if (k > NAME_MAX_LENGTH) {
            walk.fault(at + 5, number, "name longer than 11 bytes", "name longer than 11 bytes");
        }
        if (at + 8 + k > size) {
            walk.fault(at, number, std::string("entry header ") + walk.cut_by(at, 8 + k),
                       HEADER_PAST);
            return;
        }
        entry.data_length = read_le16(walk.section.subspan(at + 6 + k));
        if (read_le16(walk.section.subspan(at + 2)) != entry.data_length) {
            walk.limit(at + 2, number, "the two copies of a data length differ");
        }
        entry.data_offset = OFFSET_DATA + at + 8 + k;
        entry.data = walk.take(at + 8 + k, entry.data_length);
        contents.entries.push_back(entry);
        if (entry.data.size() < entry.data_length) {
            walk.fault(at + 6 + k, number,
                       "data of " + std::to_string(entry.data_length) + " bytes " +
                           walk.cut_by(at + 8 + k, entry.data_length),
                       "entry data runs past the data section");
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

FileContents read_file(std::span<const std::uint8_t> file) {
    FileContents contents;
    const std::size_t size = file.size();
    if (size < SIGNATURE_COMPARED ||
        std::memcmp(file.data(), identifier.data(), SIGNATURE_COMPARED) != 0) {
        add_fault(contents, 0, 0, "not a variable file", nullptr, FileCheck::no_signature);
        return contents;
    }
    if (size < OFFSET_DATA) {
        add_fault(contents, size, 0, "file ends inside its header", "shorter than its header");
        return contents;
    }
    contents.has_data = true;
    const std::size_t n = read_le16(file.subspan(OFFSET_DATA_LENGTH));
    const std::size_t held = std::min(n, size - OFFSET_DATA);
    if (n == 0)
        add_fault(contents, OFFSET_DATA_LENGTH, 0, "empty data section", "empty data section");
    if (n > DATA_SECTION_MAX) {
        add_fault(contents, OFFSET_DATA_LENGTH, 0, "data section longer than 32768 bytes",
                  "data section longer than 32768 bytes");
    }
    const std::size_t end = OFFSET_DATA + n; // where the checksum belongs
    if (size < end + 2) {
        add_fault(contents, size, 0,
                  "file of " + std::to_string(size) + " bytes, its data section length (" +
                      std::to_string(n) + ") needs " + std::to_string(end + 2),
                  "shorter than its data section says");
    } else {
        const std::uint16_t stored = read_le16(file.subspan(end));
        const std::uint16_t sum = sum16(file.subspan(OFFSET_DATA, n));
        if (stored != sum) {
            add_fault(contents, end, 0,
                      "checksum does not match: the file says " + hex16(stored) +
                          ", its data section sums to " + hex16(sum),
                      "checksum does not match", FileCheck::bad_checksum);
        }
        if (size > end + 2) {
            add_fault(contents, end + 2, 0,
                      std::to_string(size - end - 2) + " bytes after the checksum",
                      "bytes after its checksum");
        }
    }

    Walk walk{file.subspan(OFFSET_DATA, held), n, contents};
    if (n > 0 && n < 5) walk.limit(0, 0, "data section too short for an entry");
    contents.backup = held > OFFSET_FIRST_TYPE - OFFSET_DATA &&
                      walk.section[OFFSET_FIRST_TYPE - OFFSET_DATA] == TYPE_BACKUP;
    if (contents.backup) {
        walk_backup(walk);
    } else {
        walk_entries(walk);
    }
    return contents;
}

FileCheck verdict(const FileContents& contents, const char*& problem) {
    problem = nullptr;
    if (contents.faults.empty()) return FileCheck::ok;
    const FileFault& first = contents.faults.front();
    if (first.verdict == FileCheck::damaged) problem = first.refusal;
    return first.verdict;
}

// ---- Inside a backup ----

namespace {

constexpr std::size_t HEADER_ADDRESS = 7; // in the backup header

bool is_user_name(const std::vector<std::uint8_t>& name) {
    const auto digit = [](std::uint8_t c) { return c >= '0' && c <= '9'; };
    if (name.empty() || !calc_letter(name[0])) return false;
    for (const std::uint8_t c : name) {
        if (!calc_letter(c) && !digit(c)) return false;
    }
    const std::string text(name.begin(), name.end());
    return text != "Ans" && text != "xStat" && text != "yStat";
}

} // namespace

std::vector<BackupVariable> backup_variables(const FileContents& contents,
                                             std::span<const std::uint8_t> file) {
    std::vector<BackupVariable> variables;
    const auto header = contents.backup_parts[0];
    const auto user = contents.backup_parts[2];
    const auto table = contents.backup_parts[3];
    if (!contents.backup || header.size() < HEADER_ADDRESS + 2) return variables;
    const std::size_t base = read_le16(header.subspan(HEADER_ADDRESS));
    const std::vector<std::uint8_t> reversed(table.rbegin(), table.rend());
    const std::size_t table_end =
        static_cast<std::size_t>(table.data() - file.data()) + table.size();
    std::vector<std::pair<std::size_t, std::size_t>> taken; // data ranges of trusted entries
    for (std::size_t at = 0, number = 1; at < reversed.size(); ++number) {
        BackupVariable variable{};
        variable.number = number;
        variable.offset = table_end - 1 - at;
        variable.type = reversed[at] & TYPE_MASK;
        variable.flags = reversed[at] & ~TYPE_MASK;
        if (at + 4 > reversed.size() || at + 4 + reversed[at + 3] > reversed.size()) {
            variable.fault = "the table ends inside this entry";
            variables.push_back(std::move(variable));
            break;
        }
        const std::size_t address = read_le16(std::span{reversed}.subspan(at + 1));
        const std::size_t length = reversed[at + 3];
        variable.name.assign(reversed.begin() + static_cast<long>(at + 4),
                             reversed.begin() + static_cast<long>(at + 4 + length));
        at += 4 + length;
        variable.system = !is_user_name(variable.name);
        const std::size_t offset = address - base;
        const std::size_t size = address < base || offset >= user.size()
                                     ? 0
                                     : value_size(variable.type, user.subspan(offset));
        if (variable.name.empty() || variable.name.size() > BACKUP_NAME_MAX) {
            variable.fault = "a name that is empty or longer than 8";
        } else if (variable.type > TYPE_LAST) {
            variable.fault = "a type above the table";
        } else if (address < base || offset >= user.size()) {
            variable.fault = "an address outside the user data";
        } else if (size == 0) {
            variable.fault = "a type whose size is unknown";
        } else if (offset + size > user.size()) {
            variable.fault = "data that run past the user data";
        } else {
            const bool overlaps = std::any_of(taken.begin(), taken.end(), [&](const auto& range) {
                return offset < range.second && range.first < offset + size;
            });
            if (overlaps) {
                variable.fault = "data that overlap another variable's";
            } else {
                taken.emplace_back(offset, offset + size);
                variable.data = user.subspan(offset, size);
            }
        }
        variables.push_back(std::move(variable));
    }
    return variables;
}

// ---- Writing a whole file ----

std::vector<std::uint8_t> encode_file(std::span<const FileEntry> entries) {
    std::size_t n = 0;
    for (const FileEntry& entry : entries)
        n += 8 + entry.name.size() + entry.data.size();
    std::vector<std::uint8_t> bytes(OFFSET_DATA + n + 2);
    std::size_t at = 0;
    const auto put_bytes = [&](std::span<const std::uint8_t> part) {
        std::copy(part.begin(), part.end(), bytes.begin() + static_cast<long>(at));
        at += part.size();
    };
    const auto put16 = [&](std::size_t value) {
        put_bytes(le16(static_cast<std::uint16_t>(value)));
    };
    put_bytes(identifier);
    put_bytes(FIXED_BYTES);
    put_bytes({reinterpret_cast<const std::uint8_t*>(COMMENT), sizeof COMMENT});
    put16(n);
    for (const FileEntry& entry : entries) {
        put16(4 + entry.name.size());
        put16(entry.data.size());
        bytes[at++] = entry.type;
        bytes[at++] = static_cast<std::uint8_t>(entry.name.size());
        put_bytes(entry.name);
        put16(entry.data.size());
        put_bytes(entry.data);
    }
    put16(sum16(std::span{bytes}.subspan(OFFSET_DATA, n)));
    return bytes;
}

bool write_file(const char* path, std::span<const std::uint8_t> bytes) {
    if (!begin_file(path)) return false;
    errno = 0;
    if (!put(unfinished_atomic(), bytes.data(), bytes.size())) return fail_unfinished();
    return finish_atomic();
}

HeaderFault variable_file_name(std::uint8_t type, std::span<const std::uint8_t> name,
                               std::size_t data_length, PathBuffer& path) {
    if (data_length > 0xFFFF) return HeaderFault::data_too_long;
    std::array<std::uint8_t, 4 + 0xFF> packet{};
    const std::uint16_t length =
        encode_var_header(static_cast<std::uint16_t>(data_length), type,
                          {reinterpret_cast<const char*>(name.data()), name.size()}, packet);
    if (length == 0) return HeaderFault::name_too_long;
    VarHeader header{};
    const HeaderFault fault = read_var_header(packet.data(), length, header);
    if (fault == HeaderFault::none) file_name(header, path);
    return fault;
}
