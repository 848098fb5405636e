#include "pixdb/pixdb.h"

#include "atomicfile/atomicfile.h"
#include "cli/cli.h"
#include "pixdb/bitmap.h"
#ifdef PIXDB_READS_PNG
#include "png/mono_png.h"
#endif

#include <algorithm>
#include <cerrno>
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
    .about = "Converts INPUT, a 96 x 64 monochrome BMP file or a 96 x 64 PNG, into OUTPUT: 64\n"
             "lines of Z80 assembler .db statements, 12 bytes a line, top row first, a 1 bit\n"
             "for every dark pixel. OUTPUT is replaced only once it is complete; '-' writes\n"
             "standard output. Without both files it prints its usage text.\n",
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
    std::printf("Pixdb v" LINK_TOOLS_VERSION " - TI-85 link tools\n"
                "Usage: pixdb inputfile outputfile\n"
                "\n"
                "inputfile    : A monochrome windows bitmap with dimensions 96 x 64\n"
                "outputfile   : the name of the file to write the .db codes to\n"
                "\n");
}

// Where the messages go: standard error when the .db lines go to standard output, so that none
// ends up among them.
std::FILE* messages = stdout;

// A failure line as scripts know it, then the file and the system's reason.
int file_error(const char* what, const char* path, int error) {
    std::fprintf(messages, "%s\n%s: %s\n", what, path, std::strerror(error));
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

#ifdef PIXDB_READS_PNG
// Far above any 96 x 64 picture: a larger file is refused unread.
constexpr std::size_t png_size_max = 16 << 20;

// The rest of a PNG whose first bytes are `start`, read and decoded as a bitmap would be.
bitmap_read read_png_picture(int fd, const std::uint8_t (&start)[8], picture& pic,
                             std::string& reason) {
    std::vector<std::uint8_t> file(start, start + sizeof start);
    std::uint8_t chunk[65536];
    for (;;) {
        const long long got = read_fully(fd, chunk, sizeof chunk);
        if (got < 0) return bitmap_read::failed;
        file.insert(file.end(), chunk, chunk + got);
        if (file.size() > png_size_max) {
            reason = "It is a PNG of more than 16 MiB: make it 96 x 64.";
            return bitmap_read::refused;
        }
        if (got < static_cast<long long>(sizeof chunk)) break;
    }
    png_facts facts;
    mono_image image;
    std::string why;
    const png_read result = read_png(file, picture_row_bytes * 8, picture_rows, facts, image, why);
    if (result == png_read::refused) {
        reason =
            "It is a PNG that cannot be read (" + why + "): the file is damaged or incomplete.";
        return bitmap_read::refused;
    }
    if (result == png_read::other_size || image.width != picture_row_bytes * 8 ||
        image.height != picture_rows) {
        reason = "It is " + describe(facts) + ": make it 96 x 64.";
        return bitmap_read::refused;
    }
    for (std::size_t row = 0; row < picture_rows; ++row)
        std::copy_n(image.bits.begin() + static_cast<std::ptrdiff_t>(row * picture_row_bytes),
                    picture_row_bytes, pic[row].begin());
    return bitmap_read::ok;
}
#endif

int write_output(const char* path, const std::string& text) {
    int error = 0;
    switch (write_whole_file(path, text, ".pixdb-", error)) {
    case whole_write::done:
        return status_done;
    case whole_write::not_opened:
        return file_error("Error opening outputfile", path, error);
    case whole_write::not_written:
        break;
    }
    return file_error("Error writing outputfile", path, error);
}

} // namespace

int pixdb_main(int argc, char** argv) {
    open_standard_descriptors();
    const std::vector<char*> operands = read_command_line(argc, argv, PIXDB);
    if (operands.size() < 2) {
        print_usage();
        return status_usage;
    }
    if (operands.size() > 2) usage_error(PIXDB);
    const char* in_path = operands[0];
    const char* out_path = operands[1];
    messages = std::strcmp(out_path, "-") == 0 ? stderr : stdout;

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
    if (std::strcmp(out_path, "-") != 0 && ::stat(out_path, &out_st) == 0 &&
        out_st.st_dev == in_st.st_dev && out_st.st_ino == in_st.st_ino) {
        ::close(in);
        std::fprintf(messages, "The output file is the input file.\n");
        return status_file_error;
    }

    // The whole picture is read and checked before the output is touched.
    picture pic{};
    std::string reason;
    // The file's first bytes tell a PNG from a bitmap, whatever its name.
    std::uint8_t start[8];
    const long long got = read_fully(in, start, sizeof start);
    bitmap_read result = bitmap_read::failed;
#ifdef PIXDB_READS_PNG
    if (got == sizeof start && is_png(start)) {
        result = read_png_picture(in, start, pic, reason);
    } else
#endif
        if (got >= 0) {
        result = read_bitmap(in, pic, reason, {start, static_cast<std::size_t>(got)});
    }
    const int read_error = errno;
    ::close(in);
    if (result == bitmap_read::failed) {
        return file_error("Error reading inputfile", in_path, read_error);
    }
    if (result == bitmap_read::refused) {
        std::fprintf(messages,
                     "The input bitmap has an incorrect format.\n"
                     "The correct format = 96 x 64, monochrome BMP or PNG\n"
                     "%s\n",
                     reason.c_str());
        return status_bad_bitmap;
    }
    // No signal may leave the temporary file behind: the writer holds back every one that would
    // end the run. A write past the file size limit or into a closed pipe fails with its error
    // instead of ending the run half-way.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    return write_output(out_path, db_text(pic));
}
