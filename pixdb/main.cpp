#include "cli/cli.h"
#include "pixdb/pixdb.h"

#include <vector>

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

} // namespace

// The options are taken here; the conversion sees the program name and the operands only.
int main(int argc, char** argv) {
    std::vector<char*> words = read_command_line(argc, argv, PIXDB);
    static char name[] = "pixdb";
    words.insert(words.begin(), argc > 0 ? argv[0] : name);
    const int count = static_cast<int>(words.size());
    words.push_back(nullptr);
    return pixdb_main(count, words.data());
}
