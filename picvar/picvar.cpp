// picvar: the command line, the two directions, and the checks of what is read.
#include "picvar/picvar.h"

#include "atomicfile/atomicfile.h"
#include "cli/cli.h"
#include "link/bytes.h"
#include "link/ti85.h"
#include "png/mono_png.h"
#include "varfile/varfile.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace {

constexpr ProgramInfo PICVAR{
    .name = "picvar",
    .usage = "picvar [OPTION]... INPUT OUTPUT\n",
    .about = "Converts a picture variable (.85i, 128 x 63) or a screen sent with PrtScrn\n"
             "(128 x 64) into a PNG, or a 128 x 63 PNG into a picture variable NAME.85i,\n"
             "named NAME (1 to 8 letters and digits, a letter first). The input's contents\n"
             "choose the direction. A dark pixel is one whose luminance is below half. '-'\n"
             "reads standard input, or writes the PNG to standard output.\n",
    .options = "  -s, --scale=N  draw each pixel of a PNG written as N x N (1 to 8, default 2)\n"
               "      --lcd      a PNG written in the calculator's grey-green colours\n",
    .statuses = "  0    done\n"
                "  1    a wrong command line or picture name\n"
                "  2    a file could not be read or written, or OUTPUT is INPUT\n"
                "  3    the input is refused (a line says why)\n",
    .more = "the manual page: man picvar",
};

constexpr int status_done = 0;
constexpr int status_usage = 1;
constexpr int status_file_error = 2;
constexpr int status_refused = 3;

constexpr std::uint32_t WIDTH = SCREEN_WIDTH;
constexpr std::uint32_t SCREEN_ROWS = SCREEN_HEIGHT;
constexpr std::size_t PICTURE_NAME_MAX = 8;
// Far above any picture: a file larger than this is no input of ours.
constexpr std::size_t INPUT_MAX = 16 << 20;

png_look look;

bool own_option(const char* argument) {
    const char* bad = nullptr;
    if (!png_look_option(argument, look, bad)) return false;
    if (bad != nullptr) {
        say("picvar: The scale is 1 to 8, not '%s'!\n", printable(bad).c_str());
        usage_error(PICVAR);
    }
    return true;
}

int cannot_write(const char* path, int error) {
    say("picvar: Cannot write %s (%s).\n", printable(path).c_str(), std::strerror(error));
    return status_file_error;
}

// ---- A variable file to PNG ----

int refuse_file(const char* path, const std::string& why) {
    say("picvar: %s %s.\n", printable(path).c_str(), why.c_str());
    return status_refused;
}

// The picture or screen of the variable file in `bytes` into `image`; 0 or a refusal's status.
int picture_of(const char* path, std::vector<std::uint8_t>& bytes, mono_image& image) {
    const FileContents contents = read_file(bytes);
    const char* problem = nullptr;
    const FileCheck check = verdict(contents, problem);
    std::string why;
    if (check == FileCheck::bad_checksum) {
        why = "is a damaged variable file (its checksum is wrong)";
    } else if (check != FileCheck::ok) {
        why = std::string("is a damaged variable file (") +
              (problem != nullptr ? problem : "unreadable") + ")";
    } else if (contents.backup) {
        why = "is a memory backup, not a picture";
    }
    if (!why.empty()) return refuse_file(path, why);

    char detail[96];
    const FileEntry& entry = contents.entries.front();
    const std::span<const std::uint8_t> data = entry.data;
    if (entry.type == TYPE_PICTURE) {
        if (data.size() != PICTURE_BYTES + 2u) {
            std::snprintf(detail, sizeof detail, "is a damaged picture (%zu bytes of data, not %u)",
                          data.size(), PICTURE_BYTES + 2u);
            return refuse_file(path, detail);
        }
        if (read_le16(data) != PICTURE_BYTES) {
            std::snprintf(detail, sizeof detail,
                          "is a damaged picture (its size field says %u bytes, not %u)",
                          unsigned{read_le16(data)}, unsigned{PICTURE_BYTES});
            return refuse_file(path, detail);
        }
        image = {WIDTH, PICTURE_ROWS, {data.begin() + 2, data.end()}};
        return status_done;
    }
    if (entry.type == TYPE_SCREEN) {
        if (data.size() != SCREEN_BYTES) {
            std::snprintf(detail, sizeof detail, "is a damaged screen (%zu bytes of data, not %u)",
                          data.size(), unsigned{SCREEN_BYTES});
            return refuse_file(path, detail);
        }
        image = {WIDTH, SCREEN_ROWS, {data.begin(), data.end()}};
        return status_done;
    }
    std::snprintf(detail, sizeof detail, "holds a variable of type %s (0x%02X), not a picture",
                  var_types[entry.type].name.data(), unsigned{entry.type});
    return refuse_file(path, detail);
}

int variable_to_png(const char* in_path, std::vector<std::uint8_t>& bytes, const char* out_path) {
    mono_image image;
    if (const int status = picture_of(in_path, bytes, image); status != status_done) return status;
    std::string png;
    std::string reason;
    if (!write_png(image, look.scale, look.lcd, png, reason)) {
        say("picvar: Cannot write %s (%s).\n", printable(out_path).c_str(), reason.c_str());
        return status_file_error;
    }
    int error = 0;
    if (write_whole_file(out_path, png, ".picvar-", error) != whole_write::done) {
        return cannot_write(out_path, error);
    }
    return status_done;
}

// ---- PNG to a variable file ----

// The variable's name from OUTPUT, NAME.85i: 1 to 8 letters and digits, a letter first.
bool picture_name(const char* path, std::string& name) {
    const char* slash = std::strrchr(path, '/');
    const std::string base = slash != nullptr ? slash + 1 : path;
    const std::string extension = var_types[TYPE_PICTURE].extension.data();
    if (base.size() <= extension.size() ||
        base.compare(base.size() - extension.size(), extension.size(), extension) != 0) {
        return false;
    }
    name = base.substr(0, base.size() - extension.size());
    if (name.size() > PICTURE_NAME_MAX) return false;
    const auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        if (!letter(c) && (i == 0 || c < '0' || c > '9')) return false;
    }
    return true;
}

int png_to_variable(const char* in_path, const std::vector<std::uint8_t>& bytes,
                    const char* out_path, const std::string& name) {
    png_facts facts;
    mono_image image;
    std::string reason;
    const png_read result = read_png(bytes, WIDTH, SCREEN_ROWS, facts, image, reason);
    const std::string in_name = printable(in_path);
    if (result == png_read::refused) {
        say("picvar: %s is a damaged or incomplete PNG (%s).\n", in_name.c_str(), reason.c_str());
        return status_refused;
    }
    if (result == png_read::other_size || facts.width != WIDTH ||
        (facts.height != PICTURE_ROWS && facts.height != SCREEN_ROWS)) {
        // Picture files this program writes at a scale above 1 say how to get the size.
        const bool scaled = facts.width % WIDTH == 0 && facts.height % PICTURE_ROWS == 0 &&
                            facts.width / WIDTH == facts.height / PICTURE_ROWS;
        say("picvar: %s is %s: a picture must be 128 x 63%s.\n", in_name.c_str(),
            describe(facts).c_str(), scaled ? " (picvar --scale=1 writes that size)" : "");
        return status_refused;
    }
    if (facts.height == SCREEN_ROWS) {
        say("picvar: %s is 128 x 64: its bottom row is dropped (a picture is 128 x 63).\n",
            in_name.c_str());
    }

    std::array<std::uint8_t, PICTURE_BYTES + 2> data{};
    write_le16(data, PICTURE_BYTES);
    std::copy_n(image.bits.begin(), PICTURE_BYTES, data.begin() + 2);
    VarHeader header{};
    header.data_length = data.size();
    header.type = TYPE_PICTURE;
    header.name_length = static_cast<std::uint8_t>(name.size());
    std::copy(name.begin(), name.end(), header.name.begin());

    // Every signal that would end the run waits while the temporary file exists, so that none
    // outlives the run.
    static std::array<std::uint8_t, DATA_SECTION_MAX> scratch;
    const sigset_t terminating = terminating_signals();
    sigset_t before;
    ::sigprocmask(SIG_BLOCK, &terminating, &before);
    const bool written = write_variable(out_path, header, data.data(), scratch);
    const int error = errno;
    ::sigprocmask(SIG_SETMASK, &before, nullptr);
    return written ? status_done : cannot_write(out_path, error);
}

} // namespace

int picvar_main(int argc, char** argv) {
    open_standard_descriptors();
    look = {};
    std::vector<std::string> args;
    std::vector<char*> arg_pointers;
    join_scale_arguments(argc, argv, args, arg_pointers);
    const std::vector<char*> operands = read_command_line(static_cast<int>(arg_pointers.size()),
                                                          arg_pointers.data(), PICVAR, own_option);
    if (operands.size() != 2) usage_error(PICVAR);
    const char* in_path = operands[0];
    const char* out_path = operands[1];

    std::vector<std::uint8_t> bytes;
    const bool read = read_whole_file(in_path, INPUT_MAX + 1, bytes) == whole_read::done;
    if (!read || bytes.size() > INPUT_MAX) {
        const char* why = std::strerror(read ? EFBIG : errno);
        say("picvar: Cannot read %s (%s).\n", printable(in_path).c_str(), why);
        return status_file_error;
    }
    // Checked before anything is written, so that `picvar a.85i a.85i` keeps the picture.
    struct stat in_st {};
    struct stat out_st {};
    if (std::strcmp(in_path, "-") != 0 && std::strcmp(out_path, "-") != 0 &&
        ::stat(in_path, &in_st) == 0 && ::stat(out_path, &out_st) == 0 &&
        in_st.st_dev == out_st.st_dev && in_st.st_ino == out_st.st_ino) {
        say("picvar: The output file is the input file.\n");
        return status_file_error;
    }

    if (is_png(bytes)) {
        std::string name;
        if (!picture_name(out_path, name)) {
            say("picvar: %s names no picture: write NAME.85i, NAME 1 to 8 letters and digits, "
                "a letter first.\n",
                printable(out_path).c_str());
            return status_usage;
        }
        return png_to_variable(in_path, bytes, out_path, name);
    }
    if (bytes.size() >= SIGNATURE_COMPARED &&
        std::equal(identifier.begin(), identifier.begin() + SIGNATURE_COMPARED, bytes.begin())) {
        return variable_to_png(in_path, bytes, out_path);
    }
    say("picvar: %s is neither a PNG nor a TI-85 variable file.\n", printable(in_path).c_str());
    return status_refused;
}
