// Atomic file writing: the temporary file, its final mode and name, and its removal.
#include "atomicfile/atomicfile.h"

#include "cli/cli.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// ---- The one unfinished file ----

// Its name is kept in static storage so that the interrupt handler can remove it.
char unfinished_name[PATH_MAX];
volatile std::sig_atomic_t unfinished = 0;
std::FILE* unfinished_file = nullptr; // open for writing and reading back
char final_name[PATH_MAX];            // the name it takes once complete
mode_t final_mode = 0;
bool keep_owner = false; // the replaced file belongs to someone else: give it back if allowed
uid_t final_uid = 0;
gid_t final_gid = 0;

// Fills unfinished_name with the template: the directory of `path`, then `prefix` and XXXXXX.
bool temporary_template(const char* path, const char* prefix) {
    const char* slash = std::strrchr(path, '/');
    const std::size_t dir_length =
        slash == nullptr ? 0 : static_cast<std::size_t>(slash - path) + 1;
    const std::size_t prefix_length = std::strlen(prefix);
    if (std::strlen(path) >= sizeof final_name ||
        dir_length + prefix_length + sizeof "XXXXXX" > sizeof unfinished_name) {
        return false;
    }
    std::memcpy(unfinished_name, path, dir_length);
    std::strcpy(unfinished_name + dir_length, prefix);
    std::strcat(unfinished_name, "XXXXXX");
    return true;
}

// Every failure of a begun file ends here: the file is abandoned and errno kept (EIO when
// nothing set it, as for a short write).
bool fail_unfinished() {
    const int saved = errno != 0 ? errno : EIO;
    abandon_atomic();
    errno = saved;
    return false;
}

// ---- A whole file at once ----

// Writes all of data; false with errno set if a write fails.
bool write_all(int fd, std::string_view data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// An output that exists and is no regular file of its own (a device, a FIFO, a symbolic link
// such as /dev/stdout) is written where it is: renaming over it would replace the device or the
// link instead of writing to what it stands for.
whole_write write_in_place(const char* path, std::string_view data, int& error) {
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = errno;
        return whole_write::not_opened;
    }
    const bool written = write_all(fd, data);
    error = errno;
    // A full disk may show only when the data is flushed on close.
    if (::close(fd) != 0 || !written) {
        if (written) error = errno;
        return whole_write::not_written;
    }
    return whole_write::done;
}

// A regular or new output is written complete under a temporary name beside it and then renamed
// over it. Only where the directory takes no new file is an existing output written in place.
whole_write replace_file(const char* path, bool existing, std::string_view data, const char* prefix,
                         int& error) {
    // Every signal that would end the run waits while the temporary file exists, so that none
    // can leave it behind; one that came meanwhile ends the run once it is renamed or removed.
    const sigset_t terminating = terminating_signals();
    sigset_t before;
    ::sigprocmask(SIG_BLOCK, &terminating, &before);
    std::FILE* file = begin_atomic(path, prefix);
    error = errno;
    bool ok = file != nullptr;
    if (ok && std::fwrite(data.data(), 1, data.size(), file) != data.size()) {
        error = errno != 0 ? errno : EIO;
        abandon_atomic();
        ok = false;
    } else if (ok && !finish_atomic()) {
        error = errno;
        ok = false;
    }
    ::sigprocmask(SIG_SETMASK, &before, nullptr);

    // A writable output in a directory that refuses new files is written where it is, as a plain
    // open would; a read-only file system refuses that too, so its error stands.
    if (file == nullptr && existing && (error == EACCES || error == EPERM)) {
        return write_in_place(path, data, error);
    }
    if (file == nullptr) return whole_write::not_opened;
    return ok ? whole_write::done : whole_write::not_written;
}

} // namespace

std::FILE* begin_atomic(const char* path, const char* prefix) {
    abandon_atomic();
    errno = 0;
    if (!temporary_template(path, prefix)) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    struct stat existing;
    const bool replacing = ::lstat(path, &existing) == 0 && S_ISREG(existing.st_mode);
    // A file this user may not write stays as it is, as against a plain open for writing: the
    // rename would otherwise replace a read-only file, or another owner's in the user's folder.
    if (replacing && ::faccessat(AT_FDCWD, path, W_OK, AT_EACCESS) != 0) return nullptr;
    const int fd = ::mkostemp(unfinished_name, O_CLOEXEC);
    if (fd < 0) return nullptr;
    unfinished = 1;
    std::strcpy(final_name, path);
    // A replaced file keeps its permission bits; a new one gets the usual ones.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    final_mode = replacing ? existing.st_mode & 0777 : 0666 & ~mask;
    keep_owner = replacing && (existing.st_uid != ::geteuid() || existing.st_gid != ::getegid());
    final_uid = replacing ? existing.st_uid : 0;
    final_gid = replacing ? existing.st_gid : 0;
    unfinished_file = ::fdopen(fd, "w+b");
    if (unfinished_file == nullptr) {
        const int saved = errno;
        ::close(fd);
        abandon_atomic();
        errno = saved;
    }
    return unfinished_file;
}

// Contents, then the disk, then owner and mode, and only then the final name: a file that did
// not reach the disk whole is a failure, and nothing is written after the mode is set.
bool finish_atomic() {
    std::FILE* file = unfinished_file;
    if (file == nullptr) {
        errno = EINVAL;
        return false;
    }
    errno = 0;
    const int fd = fileno(file);
    if (std::fflush(file) != 0 || ::fsync(fd) != 0) return fail_unfinished();
    // Keeps the owner where allowed (run as root); otherwise the file becomes the user's own, as
    // any editor's save would make it.
    if (keep_owner && ::fchown(fd, final_uid, final_gid) != 0) errno = 0;
    if (::fchmod(fd, final_mode) != 0) return fail_unfinished();
    unfinished_file = nullptr;
    if (std::fclose(file) != 0 || std::rename(unfinished_name, final_name) != 0) {
        return fail_unfinished();
    }
    unfinished = 0;
    return true;
}

std::FILE* unfinished_atomic() {
    return unfinished_file;
}

void abandon_atomic() {
    const int saved = errno;
    if (unfinished_file != nullptr) std::fclose(unfinished_file);
    unfinished_file = nullptr;
    remove_unfinished_atomic();
    errno = saved;
}

void remove_unfinished_atomic() {
    if (unfinished != 0) ::unlink(unfinished_name);
    unfinished = 0;
}

whole_write write_whole_file(const char* path, std::string_view data, const char* prefix,
                             int& error) {
    error = 0;
    if (std::strcmp(path, "-") == 0) {
        std::fflush(stdout);
        if (write_all(STDOUT_FILENO, data)) return whole_write::done;
        error = errno;
        return whole_write::not_written;
    }
    struct stat st {};
    if (::lstat(path, &st) != 0) return replace_file(path, false, data, prefix, error);
    if (!S_ISREG(st.st_mode)) return write_in_place(path, data, error);
    return replace_file(path, true, data, prefix, error);
}

whole_read read_whole_file(const char* path, std::size_t limit, std::vector<std::uint8_t>& bytes) {
    bytes.clear();
    const bool standard = std::strcmp(path, "-") == 0;
    const int fd = standard ? STDIN_FILENO : open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return whole_read::not_opened;
    whole_read result = whole_read::done;
    struct stat status {};
    if (fstat(fd, &status) == 0 && S_ISDIR(status.st_mode)) {
        errno = EISDIR;
        result = whole_read::not_read;
    }
    std::array<std::uint8_t, 65536> chunk;
    while (result == whole_read::done && bytes.size() < limit) {
        const ssize_t n = read(fd, chunk.data(), std::min(chunk.size(), limit - bytes.size()));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) result = whole_read::not_read;
        if (n <= 0) break;
        bytes.insert(bytes.end(), chunk.data(), chunk.data() + n);
    }
    const int error = errno;
    if (!standard) close(fd);
    errno = error;
    return result;
}
