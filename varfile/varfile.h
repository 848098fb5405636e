// Variable files: the on-disk form of TI-85 variables and memory backups.
//
// Principles of operation
// - A file is a 53-byte header (signature "**TI85**", three fixed bytes, a 42-byte comment),
//   the data-section length N at offset 53, the data section from offset 55 and the 16-bit sum
//   of the data section after it: 57 + N bytes in all. All numbers are 16-bit, low byte first.
// - The data section holds entries (entry header length K + 4, data length D, type T, name
//   length K, the name, D again, the D data bytes), or a backup: the backup header length, the
//   backup header (whose type byte, 0x1D, lands at offset 59 like an entry's) and three blocks,
//   each a length and its bytes.
// - The receiver writes files of one variable, and backups; the sender checks files and reads
//   them back entry by entry. Both hold file contents only in their packet buffer, so every
//   data section is at most DATA_SECTION_MAX bytes, and a name is at most 11 bytes.
// - The library keeps no file contents of its own: a call that reads a data section or an entry
//   works in the scratch memory its caller passes (`scratch`, at least DATA_SECTION_MAX bytes;
//   the programs pass their packet buffer). Of the link library it uses only the header-only
//   link/bytes.h, so the library links nothing of it.
// - Writing is atomic: a file is written, checksum included, under a temporary name in the same
//   directory and renamed over its final name only when complete. Every failure is returned to
//   the caller; nothing here prints or ends the process.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

// ---- Tables and layout ----

inline constexpr std::array<std::uint8_t, 8> identifier{'*', '*', 'T', 'I', '8', '5', '*', '*'};

inline constexpr std::uint8_t TYPE_BACKUP = 0x1D;
inline constexpr std::uint8_t TYPE_LAST = 0x1E; // highest type code with a table entry
inline constexpr std::size_t TYPE_COUNT = TYPE_LAST + 1;

// Whether a variable of this type can be stored: type 0x1E has neither a name nor an extension,
// so its file would be named by the bare variable name, any file name a calculator cares to
// send (".bash_login"). It is refused like a type above the table.
constexpr bool storable_type(std::uint8_t type) {
    return type < TYPE_LAST;
}

// Type names (at most 5 characters) and file extensions, indexed by type code.
extern const std::array<std::array<char, 6>, TYPE_COUNT> var_types;
extern const std::array<std::array<char, 5>, TYPE_COUNT> var_extensions;

inline constexpr long FILE_HEADER_SIZE = 53;
inline constexpr long OFFSET_DATA_LENGTH = 53;
inline constexpr long OFFSET_DATA = 55;       // first entry, or the backup header length
inline constexpr long OFFSET_FIRST_TYPE = 59; // 0x1D here makes a backup file
inline constexpr std::size_t SIGNATURE_COMPARED = 3;
// The longest data section: the size of the link library's packet buffer, where the programs
// hold a file's data section whole.
inline constexpr std::size_t DATA_SECTION_MAX = 0x8000;
// The largest file with any meaning: header, N, a data section of 65,535 bytes, checksum.
inline constexpr std::size_t FILE_SIZE_MAX = FILE_HEADER_SIZE + 2 + 0xFFFF + 2;

// The 42-byte comment the receiver writes: the text, 17 spaces, a zero byte.
inline constexpr char COMMENT[] = "File received by Talvaro                 ";
static_assert(sizeof COMMENT == 42);

inline constexpr char BACKUP_FILE_NAME[] = "backup.85b";
inline constexpr std::uint16_t BACKUP_HEADER_LENGTH = 9;

inline constexpr std::size_t NAME_MAX_LENGTH = 11;
using NameBuffer = std::array<char, NAME_MAX_LENGTH + 1>; // the name and a zero byte
using PathBuffer = std::array<char, 16>;                  // name, extension, zero byte

// ---- Names ----

// The variable header of an ordinary variable, as carried by a PACKET_VAR packet.
struct VarHeader {
    std::uint16_t data_length; // D
    std::uint8_t type;         // T
    std::uint8_t name_length;  // K
    NameBuffer name;           // K name bytes, zero after them
};

enum class HeaderFault {
    none,
    short_header,  // the packet is shorter than its own name length says
    name_too_long, // more than 11 bytes
    unknown_type,  // 0x1E or above
    no_data,       // a data length of 0: its DATA packet cannot be framed with a checksum
    data_too_long, // its file's data section would be longer than DATA_SECTION_MAX
    unsafe_name,   // contains '/' or a zero byte, or names no file of its own
};

// A short English description, such as "name longer than 11 bytes".
const char* describe(HeaderFault fault);

// The data of a variable header packet (D, T, K, the K name bytes) for a variable of
// `data_length` bytes, of type `type`, named `name`, written to the start of `out`. Returns its
// length, 4 + K; 0, writing nothing, when `out` cannot hold it or the name is over 255 bytes.
std::uint16_t encode_var_header(std::uint16_t data_length, std::uint8_t type,
                                std::span<const char> name, std::span<std::uint8_t> out);

// Takes a variable header apart (the data of a PACKET_VAR packet of `length` bytes) and checks
// it against the limits and the file-name rule.
HeaderFault read_var_header(const std::uint8_t* data, std::uint16_t length, VarHeader& header);

// The file name of a variable: its name bytes unchanged, then the four-character extension of
// its type. False for a type that cannot be stored, or when the name would leave the current
// directory or name no file: a '/' or a zero byte in the name, or a result that is empty, "." or
// "..".
bool file_name(const VarHeader& header, PathBuffer& path);

// ---- Writing (the receiver) ----

// A file is saved in two steps. begin_file comes first, before the data are asked for: it finds
// out whether the file can be saved at `path` at all and creates its temporary file (in the
// directory of `path`). False, with errno, when it cannot: EISDIR for a directory at `path`,
// EPERM for a file this user may not replace in a sticky directory, or why the temporary file
// could not be created. Whatever stands at `path` is looked at with lstat: a symbolic link is
// replaced itself, never followed. A file begun earlier and not finished is abandoned first.
// The file is then written and finished through the one descriptor that created it, whatever
// the umask; its final mode is set last: the replaced file's permission bits, or 0666 less the
// umask for a new file.
bool begin_file(const char* path);

// Writes the begun file as one variable: header, entry, the D data bytes from `data`, then the
// checksum pass, which reads the data section back into `scratch` (`data` may lie in it); it
// then replaces the final name. False on any failure, with nothing left behind and an existing
// file untouched; errno tells why.
bool write_variable(const VarHeader& header, const std::uint8_t* data,
                    std::span<std::uint8_t> scratch);

// begin_file(path), then write_variable(header, data, scratch).
bool write_variable(const char* path, const VarHeader& header, const std::uint8_t* data,
                    std::span<std::uint8_t> scratch);

// A backup is written in steps, as its packets arrive: begin_backup with the backup header
// (the data of its PACKET_VAR packet) into the begun file (or into "backup.85b", begun here, if
// none was), add_backup_block for each of the three data packets, then finish_backup, which
// runs the checksum pass in `scratch` and renames the file into place.
// If the blocks do not have the lengths the header announced, the stored data-section length
// follows the blocks actually stored. abandon_backup removes the unfinished file.
// Each returns false on failure (and then abandons the file itself); errno tells why:
// EINVAL for a header that is not 9 bytes or a fourth block, EFBIG for a backup whose data
// section would be longer than DATA_SECTION_MAX.
bool begin_backup(const std::uint8_t* header, std::uint16_t length);
// The data-section length a backup header of at least 7 bytes announces: its own length field
// and bytes, then the three blocks, each a length field and the length the header gives for it
// (at offsets 0, 3 and 5).
std::uint32_t backup_section_length(std::span<const std::uint8_t> header);
bool add_backup_block(const std::uint8_t* data, std::uint16_t length);
bool finish_backup(std::span<std::uint8_t> scratch);
void abandon_backup();

// Closes and removes the begun, unfinished file, if there is one. Keeps errno.
void abandon_file();

// Removes any unfinished file. Async-signal-safe: for the interrupt handler.
void remove_unfinished_file();

// ---- Reading (the sender) ----

enum class FileCheck {
    ok,
    no_signature, // not a variable file: pass over it in silence
    bad_checksum,
    damaged,    // fields that do not fit the file or the limits; see the problem text
    unreadable, // a read failed; errno tells why
};

// Checks a whole file before anything of it is sent: the signature's first three bytes, the
// data-section length, the checksum of the data section (read into `scratch`), that nothing
// follows the checksum, and that the entries, or the backup header and its three blocks, fill
// the data section exactly and stay within the limits. An entry's two copies of its data length
// must agree, and an entry of type 0x1D is a backup inside a file of variables; a backup's
// header must be 9 bytes and each block as long as the header announces. A file with the
// signature that is too short for any of this is damaged. On `damaged`, `problem` says what is
// wrong in a few English words.
FileCheck check_file(std::FILE* file, std::span<std::uint8_t> scratch, const char*& problem);

// True when the checked file is a backup (type 0x1D at offset 59).
bool is_backup(std::FILE* file);

// The file offset just past the data section of a checked file: 55 + N.
long data_section_end(std::FILE* file);

// The entry walk of a checked file, from `position` = OFFSET_DATA: read_entry moves to the
// entry's type (position + 4), reads type, name and the data length and leaves the file at the
// entry's data; the caller then reads (into `scratch`) or skips the data, and the next entry begins
// at the file position that follows (ftell), while that is below data_section_end.
bool read_entry(std::FILE* file, long position, VarHeader& header);
bool read_entry_data(std::FILE* file, std::span<std::uint8_t> scratch, std::uint16_t length);
bool skip_entry_data(std::FILE* file, std::uint16_t length);

// The backup of a checked backup file: the header into `scratch` (its length in `length`), then
// each of the three blocks into `scratch` in turn.
bool read_backup_header(std::FILE* file, std::span<std::uint8_t> scratch, std::uint16_t& length);
bool read_backup_block(std::FILE* file, std::span<std::uint8_t> scratch, std::uint16_t& length);

// ---- Reading leniently (for showing a file) ----
//
// A file taken apart as far as it goes, whatever is wrong with it: nothing is refused, and every
// fault is recorded with the file offset where it was met. The spans point into the bytes given.

struct FileFault {
    std::size_t offset; // file offset where the fault was met
    std::size_t entry;  // 1 for the first entry, ...; 0 for the file as a whole
    std::string what;   // a few English words, such as "checksum does not match"
};

struct FileEntry {
    std::size_t offset; // of the entry's first byte (its header length)
    std::uint8_t type;
    std::span<const std::uint8_t> name; // K bytes (more than 11 in a damaged file)
    std::uint16_t data_length;          // D, the second copy, which the sender uses
    std::size_t data_offset;            // file offset of the data
    std::span<const std::uint8_t> data; // what the file holds of the D bytes: fewer when cut off
};

struct FileContents {
    bool has_data = false; // the signature is there and the data section could be found
    bool backup = false;   // type 0x1D at offset 59: backup_parts instead of entries
    std::vector<FileEntry> entries;
    // The backup header and the three blocks, each as far as the file holds it.
    std::array<std::span<const std::uint8_t>, 4> backup_parts{};
    std::vector<FileFault> faults;
};

// Takes the bytes of a whole file apart: signature (its first three bytes, as the sender
// compares them), data-section length against the file's size, checksum, then the entries (or
// the backup header and blocks) in the data section, stopping where one runs past it. The
// entry header length and the first copy of D are not looked at, as the sender does not.
FileContents read_leniently(std::span<const std::uint8_t> file);
