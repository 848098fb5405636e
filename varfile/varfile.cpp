// Variable files: tables, names, atomic writing and the sender's checks.
#include "varfile/varfile.h"

#include "link/bytes.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

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

// ---- The one unfinished file ----

// Its name is kept in static storage so that the interrupt handler can remove it.
char unfinished_name[PATH_MAX];
volatile std::sig_atomic_t unfinished = 0;
std::FILE* unfinished_file = nullptr; // open for writing and reading back
char final_name[PATH_MAX];            // the name it takes once complete
mode_t final_mode = 0;
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

// The temporary file goes in the directory of the final name, so that the rename stays within
// one file system. Fills unfinished_name with the template; false when the path is too long.
bool temporary_template(const char* path, char* dir, std::size_t dir_size) {
    const char* slash = std::strrchr(path, '/');
    const std::size_t dir_length =
        slash == nullptr ? 0 : static_cast<std::size_t>(slash - path) + 1;
    constexpr char PATTERN[] = ".ti85-XXXXXX";
    if (dir_length + sizeof PATTERN > sizeof unfinished_name || dir_length + 2 > dir_size) {
        return false;
    }
    std::memcpy(unfinished_name, path, dir_length);
    std::memcpy(unfinished_name + dir_length, PATTERN, sizeof PATTERN);
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

// Checksum, then the disk, then the final mode, and only then the final name: a file that did
// not reach the disk whole is a failure, and nothing is written after the mode is set.
bool finish_unfinished(std::span<std::uint8_t> scratch) {
    std::FILE* file = unfinished_file;
    const int fd = fileno(file);
    if (!append_checksum(file, scratch) || std::fflush(file) != 0 || fsync(fd) != 0 ||
        fchmod(fd, final_mode) != 0) {
        return fail_unfinished();
    }
    unfinished_file = nullptr;
    if (std::fclose(file) != 0 || std::rename(unfinished_name, final_name) != 0) {
        return fail_unfinished();
    }
    unfinished = 0;
    return true;
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
    if (std::strlen(path) >= sizeof final_name || !temporary_template(path, dir, sizeof dir)) {
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
    const int fd = mkstemp(unfinished_name);
    if (fd < 0) return false;
    unfinished = 1;
    std::strcpy(final_name, path);
    // A replaced file keeps its permission bits; a new one gets the usual ones.
    const mode_t mask = umask(0);
    umask(mask);
    final_mode = replacing && S_ISREG(existing.st_mode) ? existing.st_mode & 0777 : 0666 & ~mask;
    unfinished_file = fdopen(fd, "w+b");
    if (unfinished_file == nullptr) {
        const int saved = errno;
        close(fd);
        abandon_file();
        errno = saved;
        return false;
    }
    return true;
}

bool write_variable(const VarHeader& header, const std::uint8_t* data,
                    std::span<std::uint8_t> scratch) {
    errno = 0;
    std::FILE* file = unfinished_file;
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
    if (unfinished_file == nullptr && !begin_file(BACKUP_FILE_NAME)) return false;
    backup_blocks = 0;
    backup_announced = static_cast<std::uint16_t>(announced);
    backup_stored = 2 + length;
    std::FILE* file = unfinished_file;
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
    if (unfinished_file == nullptr || backup_blocks == 3) {
        errno = EINVAL;
        return fail_unfinished();
    }
    backup_stored += 2u + length;
    if (backup_stored > DATA_SECTION_MAX) {
        errno = EFBIG;
        return fail_unfinished();
    }
    ++backup_blocks;
    std::FILE* file = unfinished_file;
    if (!(put_u16(file, length) && put(file, data, length))) return fail_unfinished();
    return true;
}

bool finish_backup(std::span<std::uint8_t> scratch) {
    errno = 0;
    if (unfinished_file == nullptr || backup_blocks != 3) {
        errno = EINVAL;
        return fail_unfinished();
    }
    // Blocks of other lengths than announced: store the length that was really written, so
    // that the checksum covers exactly the data section.
    const auto stored = static_cast<std::uint16_t>(backup_stored);
    if (stored != backup_announced &&
        (std::fseek(unfinished_file, OFFSET_DATA_LENGTH, SEEK_SET) != 0 ||
         !put_u16(unfinished_file, stored))) {
        return fail_unfinished();
    }
    return finish_unfinished(scratch);
}

void abandon_file() {
    const int saved = errno;
    if (unfinished_file != nullptr) std::fclose(unfinished_file);
    unfinished_file = nullptr;
    remove_unfinished_file();
    errno = saved;
}

std::uint32_t backup_section_length(std::span<const std::uint8_t> header) {
    return static_cast<std::uint32_t>(header.size()) + 8 + read_le16(header) +
           read_le16(header.subspan(3)) + read_le16(header.subspan(5));
}

void abandon_backup() {
    abandon_file();
}

void remove_unfinished_file() {
    if (unfinished != 0) unlink(unfinished_name);
    unfinished = 0;
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
