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
// - The receiver writes files of one variable, and backups. Every reader (the sender, catvar,
//   picvar, vti85) takes a file's bytes apart once with read_file and walks the entries it
//   found; the sender's check is the verdict over that reading's faults. The sender holds a
//   data section in its packet buffer, so every data section is at most DATA_SECTION_MAX bytes,
//   and a name is at most 11 bytes.
// - The library keeps no file contents of its own: the receiver's checksum pass works in the
//   scratch memory its caller passes (`scratch`, at least DATA_SECTION_MAX bytes; the programs
//   pass their packet buffer), and a reading points into the bytes its caller holds. Of the link
//   library it uses only the header-only link/bytes.h, so the library links nothing of it.
// - Writing is atomic: a file is written, checksum included, under a temporary name in the same
//   directory and renamed over its final name only when complete. Every failure is returned to
//   the caller; nothing here prints or ends the process.
#pragma once

#include "link/ti85.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// ---- Tables and layout ----

inline constexpr std::array<std::uint8_t, 8> identifier{'*', '*', 'T', 'I', '8', '5', '*', '*'};

// Type codes that the programs name.
inline constexpr std::uint8_t TYPE_REAL = 0x00;
inline constexpr std::uint8_t TYPE_COMPLEX = 0x01;
inline constexpr std::uint8_t TYPE_REAL_VECTOR = 0x02;
inline constexpr std::uint8_t TYPE_COMPLEX_VECTOR = 0x03;
inline constexpr std::uint8_t TYPE_REAL_LIST = 0x04;
inline constexpr std::uint8_t TYPE_COMPLEX_LIST = 0x05;
inline constexpr std::uint8_t TYPE_REAL_MATRIX = 0x06;
inline constexpr std::uint8_t TYPE_COMPLEX_MATRIX = 0x07;
inline constexpr std::uint8_t TYPE_REAL_CONSTANT = 0x08;
inline constexpr std::uint8_t TYPE_COMPLEX_CONSTANT = 0x09;
inline constexpr std::uint8_t TYPE_EQUATION = 0x0A;
inline constexpr std::uint8_t TYPE_STRING = 0x0C;
inline constexpr std::uint8_t TYPE_FUNCTION_GDB = 0x0D;
inline constexpr std::uint8_t TYPE_DIFF_EQUATION_GDB = 0x10;
inline constexpr std::uint8_t TYPE_PICTURE = 0x11;
inline constexpr std::uint8_t TYPE_PROGRAM = 0x12;
inline constexpr std::uint8_t TYPE_SCREEN = 0x14; // a screen sent by PrtScrn
inline constexpr std::uint8_t TYPE_FUNCTION_WINDOW = 0x17;
inline constexpr std::uint8_t TYPE_ZOOM_MEMORY = 0x1B;
inline constexpr std::uint8_t TYPE_BACKUP = 0x1D;
inline constexpr std::uint8_t TYPE_LAST = 0x1E; // highest type code with a table entry
inline constexpr std::size_t TYPE_COUNT = TYPE_LAST + 1;

// Whether a variable of this type can be stored: type 0x1E has neither a name nor an extension,
// so its file would be named by the bare variable name, any file name a calculator cares to
// send (".bash_login"). It is refused like a type above the table.
constexpr bool storable_type(std::uint8_t type) {
    return type < TYPE_LAST;
}

// How a type's data are laid out, which gives a variable's size where nothing else does (inside
// a backup).
enum class Layout : std::uint8_t {
    fixed,       // `unit` bytes
    counted,     // a 16-bit count, then count x `unit` bytes
    dimensioned, // two dimension bytes, then their product x `unit` bytes
    opaque,      // no known layout
};

struct VarType {
    std::array<char, 6> name;      // as the programs print it, at most 5 characters
    std::array<char, 5> extension; // of its files
    Layout layout;
    std::uint16_t unit;
};

// Every type, indexed by its code. The complex types are the odd codes of 01-07 and 09; their
// elements are two reals.
inline constexpr std::array<VarType, TYPE_COUNT> var_types{{
    {{"REAL"}, {".85n"}, Layout::fixed, 10},
    {{"CPLX"}, {".85c"}, Layout::fixed, 20},
    {{"VECTR"}, {".85v"}, Layout::dimensioned, 10},
    {{"VECTR"}, {".85v"}, Layout::dimensioned, 20},
    {{"LIST"}, {".85l"}, Layout::counted, 10},
    {{"LIST"}, {".85l"}, Layout::counted, 20},
    {{"MATRX"}, {".85m"}, Layout::dimensioned, 10},
    {{"MATRX"}, {".85m"}, Layout::dimensioned, 20},
    {{"CONST"}, {".85k"}, Layout::fixed, 10},
    {{"CONST"}, {".85k"}, Layout::fixed, 20},
    {{"EQU"}, {".85e"}, Layout::counted, 1},
    {{"RANGE"}, {".85r"}, Layout::opaque, 0},
    {{"STRNG"}, {".85s"}, Layout::counted, 1},
    {{"GDB"}, {".85d"}, Layout::counted, 1},
    {{"GDB"}, {".85d"}, Layout::counted, 1},
    {{"GDB"}, {".85d"}, Layout::counted, 1},
    {{"GDB"}, {".85d"}, Layout::counted, 1},
    {{"PICT"}, {".85i"}, Layout::counted, 1},
    {{"PRGRM"}, {".85p"}, Layout::counted, 1},
    {{"RANGE"}, {".85r"}, Layout::opaque, 0},
    {{"PICT"}, {".85i"}, Layout::fixed, 1024},
    {{"UNKN"}, {".85_"}, Layout::opaque, 0},
    {{"UNKN"}, {".85_"}, Layout::opaque, 0},
    {{"RANGE"}, {".85r"}, Layout::counted, 1},
    {{"RANGE"}, {".85r"}, Layout::counted, 1},
    {{"RANGE"}, {".85r"}, Layout::counted, 1},
    {{"RANGE"}, {".85r"}, Layout::counted, 1},
    {{"RANGE"}, {".85r"}, Layout::counted, 1},
    {{"UNKN"}, {".85_"}, Layout::opaque, 0},
    {{"BAKUP"}, {".85b"}, Layout::opaque, 0},
    {{""}, {""}, Layout::opaque, 0},
}};

// The size of a variable of type `type` whose data begin `data`, as its layout gives it; 0 when
// its layout is unknown or `data` is too short to tell.
std::size_t value_size(std::uint8_t type, std::span<const std::uint8_t> data);

inline constexpr long FILE_HEADER_SIZE = 53;
inline constexpr long OFFSET_DATA_LENGTH = 53;
inline constexpr long OFFSET_DATA = 55;       // first entry, or the backup header length
inline constexpr long OFFSET_FIRST_TYPE = 59; // 0x1D here makes a backup file
inline constexpr std::size_t SIGNATURE_COMPARED = 3;
// The longest data section: the size of the link library's packet buffer, where the programs
// hold a file's data section whole.
inline constexpr std::size_t DATA_SECTION_MAX = PACKET_DATA_MAX;
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

// ---- Reading: a file taken apart once ----
//
// A file's bytes are read once into a FileContents: its entries, or a backup's header and
// blocks, as far as they go, with every fault met on the way and the file offset where it was
// met. Nothing is refused while reading: catvar shows all of it, and the sender's check is the
// verdict over the faults. The spans point into the bytes given.

enum class FileCheck {
    ok,
    no_signature, // not a variable file: pass over it in silence
    bad_checksum,
    damaged,    // fields that do not fit the file or the limits; see the problem text
    unreadable, // a read failed; errno tells why
};

struct FileFault {
    std::size_t offset;  // file offset where the fault was met
    std::size_t entry;   // 1 for the first entry, ...; 0 for the file as a whole
    std::string what;    // a few English words, such as "checksum does not match"
    FileCheck verdict;   // what the sender makes of it
    const char* refusal; // the sender's words for it, such as "unknown type code"
    // Only a limit of the sender's (an entry of type 0x1E, data lengths that differ, a backup's
    // blocks against its header): the file can still be shown whole.
    bool sender_only;
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
// compares them), data-section length against the file's size and the limit, checksum, then
// the entries (or the backup header and blocks) in the data section, stopping where one runs
// past it.
FileContents read_file(std::span<const std::uint8_t> file);

// The sender's verdict on a file read by read_file: ok when nothing is wrong, otherwise what
// its first fault means; on `damaged`, `problem` says what is wrong in a few English words.
// Everything is checked before anything of it is sent: the signature, the data-section length,
// the checksum, that nothing follows it, and that the entries, or the backup header and its
// three blocks, fill the data section exactly and stay within the limits. An entry's two copies
// of its data length must agree, and an entry of type 0x1D is a backup inside a file of
// variables; a backup's header must be 9 bytes and each block as long as the header announces.
FileCheck verdict(const FileContents& contents, const char*& problem);

// ---- The calculator's characters ----
//
// Strings, plain-text programs and names hold characters of the calculator's own set. Each code
// has at most one text form, and no two codes share one, so that text turns back into the same
// codes: ASCII 0x20-0x7E as themselves (but for 0x24, unsure, and 0x5C, the backslash of
// escapes), the others as Unicode characters, each with an ASCII word for terminals without
// Unicode. A code with no agreed meaning, or whose form another code has (the hex digits 0A-0F
// look like the letters A-F), has no form: it is written \xNN.

// A letter of the calculator's set: ASCII, accented (8A-B5) or Greek (BB-CA).
constexpr bool calc_letter(std::uint8_t code) {
    return (code >= 'A' && code <= 'Z') || (code >= 'a' && code <= 'z') ||
           (code >= 0x8A && code <= 0xB5) || (code >= 0xBB && code <= 0xCA);
}

struct CalcChar {
    const char* unicode; // nullptr: no form
    const char* ascii;
};

extern const std::array<CalcChar, 256> calc_chars;

// `chars` as text, appended to `out`: each code's form (its ASCII word with `ascii`), \xNN for
// a code without one.
void append_calc_text(std::span<const std::uint8_t> chars, bool ascii, std::string& out);

// ---- Inside a backup ----
//
// The backup header is: the size of block 1, type 0x1D, the sizes of blocks 2 and 3, and the
// address where block 2 (user memory) starts in the calculator. Block 3 is the variable table,
// stored backwards: reversed, it is entries of a type byte, a 16-bit address, a name length and
// the name. A variable's data start in block 2 at its address less the header's, exactly as a
// variable file holds them; its size follows from its type's layout. The type byte's low 5 bits
// are the type; the bits above are flags (0x20: selected for graphing).

inline constexpr std::uint8_t TYPE_MASK = 0x1F;
inline constexpr std::uint8_t FLAG_SELECTED = 0x20;
inline constexpr std::size_t BACKUP_NAME_MAX = 8;

struct BackupVariable {
    std::size_t number;                 // 1 for the first table entry, ...
    std::size_t offset;                 // file offset of the entry's type byte
    std::uint8_t type;                  // the low 5 bits
    std::uint8_t flags;                 // the bits above them
    std::vector<std::uint8_t> name;     // in reading order
    std::span<const std::uint8_t> data; // in block 2; empty when the entry is refused
    bool system;                        // the calculator's own: #, !, Ans, xStat, yStat, ...
    const char* fault;                  // why the entry cannot be trusted; nullptr when it can
};

// The variable table of a backup read by read_file, every entry with its data or its fault:
// an address outside the user data, data that run past it or overlap an earlier entry's, a
// table that does not end on an entry boundary (its last, partial entry), a type without a
// known size, or a name that is empty or longer than 8.
std::vector<BackupVariable> backup_variables(const FileContents& contents,
                                             std::span<const std::uint8_t> file);

// ---- Writing a whole file ----

// The bytes of a variable file holding `entries` (type, name and data of each), with the
// receiver's comment.
std::vector<std::uint8_t> encode_file(std::span<const FileEntry> entries);

// Writes `bytes` as the file `path`, atomically, as the receiver writes (begin_file's rules:
// a symbolic link is replaced, never followed). False with errno on failure.
bool write_file(const char* path, std::span<const std::uint8_t> bytes);

// The codes of `text` (UTF-8), the inverse of append_calc_text: each character by its form,
// the longest form first, and \xNN as the code NN. With `ascii` the ASCII words are read too; a
// word of letters only where no letter stands before or after it ("pi" in "2pi", not in
// "pixel"). False at a character the set lacks, with `bad` its byte offset in `text`. With
// `starts`, the byte offset where each code's text begins.
bool read_calc_text(std::string_view text, bool ascii, std::vector<std::uint8_t>& codes,
                    std::size_t& bad, std::vector<std::size_t>* starts = nullptr);

// The file name the receiver gives a variable of `type` named `name` holding `data_length`
// bytes, with read_var_header's checks: the fault when it would refuse the variable.
HeaderFault variable_file_name(std::uint8_t type, std::span<const std::uint8_t> name,
                               std::size_t data_length, PathBuffer& path);
