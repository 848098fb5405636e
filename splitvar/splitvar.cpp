// splitvar: every variable of a backup or group file as a variable file of its own.
#include "splitvar/splitvar.h"

#include "atomicfile/atomicfile.h"
#include "cli/cli.h"
#include "varfile/varfile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <vector>

namespace {

constexpr ProgramInfo SPLITVAR{
    .name = "splitvar",
    .usage = "splitvar [OPTION]... FILE...\n",
    .about = "Writes every user variable of each memory backup or group file FILE as a\n"
             "variable file of its own, named as pullvar names received variables (NAME and\n"
             "the type's extension), ready for pushvar and catvar. A damaged entry of a\n"
             "backup's variable table is named and skipped; the others are still written.\n",
    .options = "  -C, --directory=DIR  write the files in DIR (default: the current folder)\n"
               "  --all                also the calculator's own entries (#, !, Ans, ...)\n"
               "  -f, --force          replace existing files\n",
    .statuses = "  0    every variable asked for was written\n"
                "  1    a FILE is no backup or group file or is damaged, an entry was\n"
                "       skipped, a file exists or could not be written, or a wrong\n"
                "       command line\n",
    .more = "the manual page: man splitvar",
};

struct Settings {
    std::string directory;
    bool all = false;
    bool force = false;
};
Settings settings;

bool own_option(const char* argument) {
    const std::string_view option = argument;
    if (option == "--all") {
        settings.all = true;
    } else if (option == "-f" || option == "--force") {
        settings.force = true;
    } else if (option.starts_with("--directory=")) {
        settings.directory = option.substr(12);
    } else if (option.starts_with("-C") && option.size() > 2) {
        settings.directory = option.substr(2);
    } else {
        return false;
    }
    return true;
}

// Writes one variable; false when it was not written (and says why).
bool write_variable_file(std::uint8_t type, std::span<const std::uint8_t> name,
                         std::span<const std::uint8_t> data) {
    PathBuffer file{};
    const HeaderFault fault = variable_file_name(type, name, data.size(), file);
    const std::string shown = printable(std::string(name.begin(), name.end()));
    if (fault != HeaderFault::none) {
        say("splitvar: Variable %s not written (%s)\n", shown.c_str(), describe(fault));
        return false;
    }
    const std::string path =
        settings.directory.empty() ? file.data() : settings.directory + "/" + file.data();
    struct stat existing {};
    if (!settings.force && lstat(path.c_str(), &existing) == 0) {
        say("splitvar: %s exists, not replaced (-f replaces it)\n", printable(path).c_str());
        return false;
    }
    const FileEntry entry{0, type, name, static_cast<std::uint16_t>(data.size()), 0, data};
    if (!write_file(path.c_str(), encode_file({&entry, 1}))) {
        const char* why = std::strerror(errno);
        say("splitvar: Cannot write %s (%s)\n", printable(path).c_str(), why);
        return false;
    }
    say("splitvar: %s\n", printable(path).c_str());
    return true;
}

// Splits one file; false when anything asked for was not written.
bool split(const char* path) {
    const std::string shown = printable(path);
    std::vector<std::uint8_t> bytes;
    if (read_whole_file(path, FILE_SIZE_MAX + 1, bytes) != whole_read::done) {
        const char* why = std::strerror(errno);
        say("splitvar: %s: cannot read (%s)\n", shown.c_str(), why);
        return false;
    }
    const FileContents contents = read_file(bytes);
    const char* problem = nullptr;
    switch (verdict(contents, problem)) {
    case FileCheck::ok:
        break;
    case FileCheck::no_signature:
        say("splitvar: %s: not a backup or group file\n", shown.c_str());
        return false;
    case FileCheck::bad_checksum:
        say("splitvar: %s: damaged (its checksum does not match)\n", shown.c_str());
        return false;
    case FileCheck::damaged:
    case FileCheck::unreadable:
        say("splitvar: %s: damaged (%s)\n", shown.c_str(), problem != nullptr ? problem : "?");
        return false;
    }
    bool all_written = true;
    if (!contents.backup) {
        for (const FileEntry& entry : contents.entries)
            all_written = write_variable_file(entry.type, entry.name, entry.data) && all_written;
        return all_written;
    }
    for (const BackupVariable& variable : backup_variables(contents, bytes)) {
        const std::string name = printable(std::string(variable.name.begin(), variable.name.end()));
        if (variable.fault != nullptr) {
            say("splitvar: %s: variable table entry %zu (%s): %s, skipped\n", shown.c_str(),
                variable.number, name.c_str(), variable.fault);
            all_written = false;
        } else if (!variable.system || settings.all) {
            all_written =
                write_variable_file(variable.type, variable.name, variable.data) && all_written;
        }
    }
    return all_written;
}

} // namespace

int splitvar_main(int argc, char** argv) {
    open_standard_descriptors();
    settings = {};
    constexpr OptionNames DIRECTORY[] = {{"-C", "--directory"}};
    std::vector<std::string> args;
    std::vector<char*> pointers;
    join_option_values(argc, argv, DIRECTORY, args, pointers);
    const std::vector<char*> files =
        read_command_line(static_cast<int>(args.size()), pointers.data(), SPLITVAR, own_option);
    if (files.empty()) {
        say("splitvar: No files specified!\n");
        usage_error(SPLITVAR);
    }
    int status = 0;
    for (const char* path : files) {
        if (!split(path)) status = 1;
    }
    return status;
}
