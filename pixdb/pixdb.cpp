#include "pixdb/pixdb.h"

#include "cli/cli.h"
#include "pixdb/bitmap.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr ProgramInfo PIXDB{
    .name = "pixdb",
    .usage = "pixdb [OPTION]... INPUT OUTPUT\n",
    .about = "Converts INPUT, a 96 x 64 monochrome BMP file, into OUTPUT: 64 lines of Z80\n"
             "assembler .db statements, 12 bytes a line, top row first, a 1 bit for every\n"
             "dark pixel. OUTPUT is replaced only once it is complete. Without both files it\n"
             "prints its usage text.\n",
    .options = "",
    .statuses = "  0    done\n"
                "  1    usage shown, or a wrong command line\n"
                "  2    a file could not be opened, read or written, or OUTPUT is INPUT\n"
                "  3    the bitmap is refused (a third line says why)\n",
    .more = "the manual page: man pixdb",
};

constexpr int status_done = 0;
constexpr int status_usage = 1;
constexpr int status_file_error = 2;
constexpr int status_bad_bitmap = 3;

void print_usage() {
    std::printf("Pixdb v1.0 - TI-85 link tools\n"
                "Usage: pixdb inputfile outputfile\n"
                "\n"
                "inputfile    : A monochrome windows bitmap with dimensions 96 x 64\n"
                "outputfile   : the name of the file to write the .db codes to\n"
                "\n");
}

// A failure line as scripts know it, then the file and the system's reason.
int file_error(const char* what, const char* path, int error) {
    std::printf("%s\n%s: %s\n", what, path, std::strerror(error));
    return status_file_error;
}

// The 64 lines, top row first; a set bit is a dark pixel, as the calculator's screen shows it.
std::string db_text(const picture& pic) {
    std::string text;
    char line[96];
    for (const auto& row : pic) {
        std::snprintf(line, sizeof line,
                      "        .db $%X,$%X,$%X,$%X,$%X,$%X,$%X,$%X,$%X,$%X,$%X,$%X\n",
                      unsigned{row[0]}, unsigned{row[1]}, unsigned{row[2]}, unsigned{row[3]},
                      unsigned{row[4]}, unsigned{row[5]}, unsigned{row[6]}, unsigned{row[7]},
                      unsigned{row[8]}, unsigned{row[9]}, unsigned{row[10]}, unsigned{row[11]});
        text += line;
    }
    return text;
}

// Writes all of text; false with errno set if a write fails.
bool write_all(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// An output that exists and is no regular file of its own (a device, a FIFO, a symbolic link
// such as /dev/stdout) is written where it is: renaming over it would replace the device or the
// link instead of writing to what it stands for.
int write_in_place(const char* path, const std::string& text) {
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return file_error("Error opening outputfile", path, errno);
    const bool written = write_all(fd, text);
    const int error = errno;
    // A full disk may show only when the data is flushed on close.
    if (::close(fd) != 0 || !written) {
        return file_error("Error writing outputfile", path, written ? errno : error);
    }
    return status_done;
}

// Gives the open temporary file its owner, permissions and text and renames it to path; on a
// failure removes it and returns false with the reason in error.
bool finish_and_rename(int fd, const std::string& temp, const char* path,
                       const struct stat* existing, const std::string& text, int& error) {
    // The permissions a plain create would give, or those of the file being replaced.
    mode_t mode = 0;
    if (existing != nullptr) {
        mode = existing->st_mode & 07777;
        // Keeps the owner where allowed (run as root); otherwise the file becomes the user's own,
        // as any editor's save would make it.
        if (::fchown(fd, existing->st_uid, existing->st_gid) != 0) errno = 0;
    } else {
        mode = ::umask(0);
        ::umask(mode);
        mode = 0666 & ~mode;
    }
    bool ok = ::fchmod(fd, mode) == 0 && write_all(fd, text) && ::fsync(fd) == 0;
    error = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && ::rename(temp.c_str(), path) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) ::unlink(temp.c_str());
    return ok;
}

// A regular or new output is written complete under a temporary name beside it and then renamed
// over it, so a failure at any point leaves the old file as it was and no partial text behind.
// Only where the directory takes no new file is an existing output written in place.
int replace_file(const char* path, const struct stat* existing, const std::string& text) {
    // A write-protected output stays protected, as it would against a plain open for writing.
    if (existing != nullptr && ::faccessat(AT_FDCWD, path, W_OK, AT_EACCESS) != 0) {
        return file_error("Error opening outputfile", path, errno);
    }
    const std::string name = path;
    const auto slash = name.rfind('/');
    std::string temp = slash == std::string::npos ? std::string(".pixdb-XXXXXX")
                                                  : name.substr(0, slash + 1) + ".pixdb-XXXXXX";

    // The interrupt signals wait while the temporary file exists, so that Ctrl-C or a kill cannot
    // leave it behind; one that came meanwhile ends the run once it is renamed or removed.
    sigset_t interrupts;
    sigset_t before;
    sigemptyset(&interrupts);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaddset(&interrupts, signal);
    ::sigprocmask(SIG_BLOCK, &interrupts, &before);
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    int error = errno;
    const bool ok = fd >= 0 && finish_and_rename(fd, temp, path, existing, text, error);
    ::sigprocmask(SIG_SETMASK, &before, nullptr);

    // A writable output in a directory that refuses new files is written where it is, as a plain
    // open would; a read-only file system refuses that too, so its error stands.
    if (fd < 0 && existing != nullptr && (error == EACCES || error == EPERM)) {
        return write_in_place(path, text);
    }
    if (fd < 0) return file_error("Error opening outputfile", path, error);
    if (!ok) return file_error("Error writing outputfile", path, error);
    return status_done;
}

int write_output(const char* path, const std::string& text) {
    struct stat st {};
    if (::lstat(path, &st) != 0) return replace_file(path, nullptr, text);
    if (!S_ISREG(st.st_mode)) return write_in_place(path, text);
    return replace_file(path, &st, text);
}

} // namespace

int pixdb_main(int argc, char** argv) {
    open_standard_descriptors();
    const std::vector<char*> operands = read_command_line(argc, argv, PIXDB);
    if (operands.size() < 2) {
        print_usage();
        return status_usage;
    }
    const char* in_path = operands[0];
    const char* out_path = operands[1];

    const int in = ::open(in_path, O_RDONLY | O_CLOEXEC);
    if (in < 0) return file_error("Error opening inputfile", in_path, errno);
    struct stat in_st {};
    if (::fstat(in, &in_st) != 0 || S_ISDIR(in_st.st_mode)) {
        const int error = S_ISDIR(in_st.st_mode) ? EISDIR : errno;
        ::close(in);
        return file_error("Error opening inputfile", in_path, error);
    }
    // Checked before anything is read or written, so `pixdb a.bmp a.bmp` and a link to the input
    // as output both leave the picture as it was.
    struct stat out_st {};
    if (::stat(out_path, &out_st) == 0 && out_st.st_dev == in_st.st_dev &&
        out_st.st_ino == in_st.st_ino) {
        ::close(in);
        std::printf("The output file is the input file.\n");
        return status_file_error;
    }

    // The whole picture is read and checked before the output is touched.
    picture pic{};
    std::string reason;
    const bitmap_read result = read_bitmap(in, pic, reason);
    const int read_error = errno;
    ::close(in);
    if (result == bitmap_read::failed) {
        return file_error("Error reading inputfile", in_path, read_error);
    }
    if (result == bitmap_read::refused) {
        std::printf("The input bitmap has an incorrect format.\n"
                    "The correct format = 96 x 64 monochrome\n"
                    "%s\n",
                    reason.c_str());
        return status_bad_bitmap;
    }
    // No signal may leave the temporary file behind: every one that would end the run waits
    // until the output is complete or removed. A write past the file size limit or into a
    // closed pipe fails with its error instead of ending the run half-way.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    const sigset_t terminating = terminating_signals();
    sigset_t before;
    ::sigprocmask(SIG_BLOCK, &terminating, &before);
    const int status = write_output(out_path, db_text(pic));
    ::sigprocmask(SIG_SETMASK, &before, nullptr);
    return status;
}
