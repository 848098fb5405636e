// Writing a file so that it is either complete or not there: the one way every program saves.
//
// Principles of operation
// - A file is written under a temporary name (a prefix and six random characters) in the
//   directory of its final name, so that the rename stays within one file system; it is flushed
//   and synced, given its final mode, and only then renamed over the final name. A failure at any
//   step removes the temporary file and leaves what stood at the final name as it was.
// - A replaced file keeps its permission bits (and its owner where the system allows, as when
//   run as root); a new file gets 0666 less the umask. The mode is set last, through the
//   descriptor that wrote the file, so a strict umask never stops the writing.
// - One unfinished file at a time per process. Its name is kept in static storage, so that an
//   interrupt handler can remove it (remove_unfinished_atomic is async-signal-safe).
// - Nothing here prints or ends the process: every failure is returned, with errno.
//
// Used by the variable files (varfile/), pixdb, picvar and the screen shot. Depends on the
// standard library, POSIX and cli's list of the signals that end a process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <vector>

// ---- A file written in steps ----

// Creates the temporary file for `path`, named `prefix` followed by six random characters (such
// as ".ti85-" for ".ti85-Xa3kQz"), and returns it open for writing and reading back. Any file
// begun earlier and not finished is abandoned first. Whatever stands at `path` is looked at with
// lstat: a symbolic link is replaced itself, never followed. A regular file there that this user
// may not write is refused (EACCES), as a plain open for writing would refuse it. nullptr with
// errno on failure (ENAMETOOLONG for a path too long to hold).
std::FILE* begin_atomic(const char* path, const char* prefix);

// Flushes, syncs and closes the begun file, sets its final mode and renames it to its final
// name. False on any failure (EINVAL when no file is begun), with the temporary file removed and
// errno telling why (EIO when the system gave no reason).
bool finish_atomic();

// The begun, unfinished file, or nullptr when there is none.
std::FILE* unfinished_atomic();

// Closes and removes the begun, unfinished file, if there is one. Keeps errno.
void abandon_atomic();

// Removes the unfinished file, if there is one, without closing it. Async-signal-safe: for an
// interrupt handler or an exit handler.
void remove_unfinished_atomic();

// ---- A whole file at once ----

enum class whole_write {
    done,
    not_opened,  // the output could not be opened or created (as a plain open for writing fails)
    not_written, // writing, syncing or renaming failed
};

// Writes all of `data` to `path`. "-" is standard output. A regular file or a new one is written
// atomically as above (temporary names begin with `prefix`), with the ending signals held back
// meanwhile so that no temporary file outlives the run. An existing output that is no regular file
// (a device, a FIFO, a symbolic link such as /dev/stdout) is written where it is, as is a writable
// one in a directory that takes no new file. An existing file this user may not write is refused,
// as a plain open would refuse it. On failure `error` holds the errno.
whole_write write_whole_file(const char* path, std::string_view data, const char* prefix,
                             int& error);

enum class whole_read {
    done,
    not_opened, // the file could not be opened
    not_read,   // reading failed
};

// Reads `path` ("-": standard input, left open) into `bytes`, at most `limit` bytes: a caller
// that passes one byte more than it accepts learns that a file is too large. A directory is not
// read (EISDIR). On failure errno tells why.
whole_read read_whole_file(const char* path, std::size_t limit, std::vector<std::uint8_t>& bytes);
