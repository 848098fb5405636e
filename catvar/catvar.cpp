// catvar: the files of the command line, each read whole and shown as text.
#include "catvar/catvar.h"

#include "atomicfile/atomicfile.h"
#include "catvar/show.h"
#include "cli/cli.h"
#include "varfile/varfile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr ProgramInfo CATVAR{
    .name = "catvar",
    .usage = "catvar [OPTION]... FILE...\n",
    .about = "Shows what the variable files FILE hold: for every variable a heading line\n"
             "(name, type, size), then its value as text: numbers, lists, vectors and\n"
             "matrices, strings, equations and programs in the calculator's words, window\n"
             "settings, pictures drawn in the terminal, and bytes of unknown layout in\n"
             "hexadecimal. A damaged file is shown as far as it can be read, with a line that\n"
             "says what is wrong and where. FILE - is standard input.\n",
    .options = "  --ascii        ASCII words (->, !=, pi, theta, ...) instead of Unicode ones\n"
               "  -n, --names    only the heading lines\n",
    .statuses = "  0    every file shown, none damaged\n"
                "  1    a file could not be read or is damaged, or a wrong command line\n",
    .more = "the manual page: man catvar",
};

Style style;

bool own_option(const char* argument) {
    const std::string_view option = argument;
    if (option == "--ascii") {
        style.ascii = true;
    } else if (option == "-n" || option == "--names") {
        style.names_only = true;
    } else {
        return false;
    }
    return true;
}

// The name's bytes as show_chars writes them; "(no name)" for none (types 0x14-0x1B).
std::string name_text(std::span<const std::uint8_t> name) {
    std::string text;
    show_chars(name, text);
    return name.empty() ? "(no name)" : text;
}

// The line for a fault: the file, where, and what.
void fault_line(std::string_view path, const FileEntry* entry, std::size_t number,
                std::size_t offset, const std::string& what, std::string& out) {
    out += "catvar: " + printable(path) + ": ";
    if (entry != nullptr) {
        out += "entry " + std::to_string(number) + " (" + name_text(entry->name) + "), ";
    }
    out += "offset " + std::to_string(offset) + ": " + what + "\n";
}

// "NAME (TYPE, N bytes)".
std::string heading(const std::string& name, std::uint8_t type, std::size_t size, bool locked,
                    const std::string& marks = "") {
    char type_name[16];
    if (type <= TYPE_LAST && var_types[type].name[0] != '\0') {
        std::snprintf(type_name, sizeof type_name, "%s", var_types[type].name.data());
    } else {
        std::snprintf(type_name, sizeof type_name, "type 0x%02X", unsigned{type});
    }
    return name + " (" + type_name + ", " + std::to_string(size) + " bytes" +
           (locked ? ", locked" : "") + marks + ")\n";
}

// The backup's three parts, then every variable of its table with its value.
void show_backup(const FileContents& contents, std::span<const std::uint8_t> file,
                 std::string_view path, const Style& style, std::string& out, bool& ok) {
    constexpr const char* PARTS[] = {"system", "user data", "variable table"};
    std::size_t total = 0;
    for (std::size_t part = 1; part < 4; ++part)
        total += contents.backup_parts[part].size();
    out += heading("backup", TYPE_BACKUP, total, false);
    if (!style.names_only) {
        for (std::size_t part = 1; part < 4; ++part) {
            out += std::string(PARTS[part - 1]) + ": " +
                   std::to_string(contents.backup_parts[part].size()) + " bytes\n";
        }
    }
    for (const BackupVariable& variable : backup_variables(contents, file)) {
        const std::string name = name_text(variable.name);
        Shown shown;
        if (variable.fault == nullptr) show_value(variable.type, variable.data, shown);
        std::string marks = shown.open_end ? ", no final line end" : "";
        if (variable.system) marks += ", system";
        if ((variable.flags & FLAG_SELECTED) != 0) marks += ", selected";
        if (const unsigned others = variable.flags & ~FLAG_SELECTED & 0xFFu; others != 0) {
            char flags[24];
            std::snprintf(flags, sizeof flags, ", flags 0x%02X", others);
            marks += flags;
        }
        out += heading(name, variable.type, variable.data.size(), shown.locked, marks);
        if (variable.fault != nullptr) {
            fault_line(path, nullptr, 0, variable.offset,
                       "variable table entry " + std::to_string(variable.number) + " (" + name +
                           "): " + variable.fault,
                       out);
            ok = false;
            continue;
        }
        if (!style.names_only) out += shown.text;
        const std::size_t data_offset =
            static_cast<std::size_t>(variable.data.data() - file.data());
        for (const ValueFault& fault : shown.faults) {
            fault_line(path, nullptr, 0, data_offset + fault.at,
                       "variable " + name + ": " + fault.what, out);
            ok = false;
        }
    }
}

std::string text_of(std::span<const std::uint8_t> file, std::string_view path, const Style& style,
                    bool& ok) {
    FileContents contents = read_file(file);
    // The sender's own limits are no faults of what the file holds.
    std::erase_if(contents.faults, [](const FileFault& fault) { return fault.sender_only; });
    ok = contents.faults.empty();
    std::string out;
    // Faults of the file as a whole first; those of an entry after what it shows.
    for (const FileFault& fault : contents.faults) {
        if (fault.entry == 0) fault_line(path, nullptr, 0, fault.offset, fault.what, out);
    }
    if (contents.backup) show_backup(contents, file, path, style, out, ok);
    for (std::size_t i = 0; i < contents.entries.size(); ++i) {
        const FileEntry& entry = contents.entries[i];
        Shown shown;
        show_value(entry.type, entry.data, shown);
        out += heading(name_text(entry.name), entry.type, entry.data_length, shown.locked,
                       shown.open_end ? ", no final line end" : "");
        if (!style.names_only) out += shown.text;
        // A value cut off by the end of its file or section is named as such, once, below.
        const bool cut = entry.data.size() < entry.data_length;
        for (const ValueFault& fault : shown.faults) {
            if (!cut)
                fault_line(path, &entry, i + 1, entry.data_offset + fault.at, fault.what, out);
        }
        for (const FileFault& fault : contents.faults) {
            if (fault.entry == i + 1)
                fault_line(path, &entry, i + 1, fault.offset, fault.what, out);
        }
        ok = ok && shown.faults.empty();
    }
    // Faults of an entry whose header could not be read whole.
    for (const FileFault& fault : contents.faults) {
        if (fault.entry > contents.entries.size()) {
            fault_line(path, nullptr, 0, fault.offset,
                       "entry " + std::to_string(fault.entry) + ": " + fault.what, out);
        }
    }
    return style.ascii ? to_ascii(out) : out;
}

} // namespace

bool show_file(std::span<const std::uint8_t> file, std::string_view path, const Style& style,
               std::string& out) {
    bool ok = true;
    out += text_of(file, path, style, ok);
    return ok;
}

int catvar_main(int argc, char** argv) {
    open_standard_descriptors();
    style = {};
    const std::vector<char*> files = read_command_line(argc, argv, CATVAR, own_option);
    if (files.empty()) {
        say("catvar: No files specified!\n");
        usage_error(CATVAR);
    }
    int status = 0;
    int write_error = 0;
    std::vector<std::uint8_t> bytes;
    for (const char* path : files) {
        errno = 0;
        // Up to one byte more than any variable file holds.
        if (read_whole_file(path, FILE_SIZE_MAX + 1, bytes) != whole_read::done) {
            say("catvar: %s: cannot read (%s)\n", printable(path).c_str(),
                std::strerror(errno != 0 ? errno : EIO));
            status = 1;
            continue;
        }
        std::string text;
        if (!show_file(bytes, path, style, text)) status = 1;
        errno = 0;
        say("%s", text.c_str());
        if (std::ferror(stdout) != 0 && write_error == 0) write_error = errno != 0 ? errno : EIO;
    }
    // A listing that never reached its reader is no success.
    if (std::fflush(stdout) != 0 && write_error == 0) write_error = errno != 0 ? errno : EIO;
    if (write_error != 0 || std::ferror(stdout) != 0) {
        std::fprintf(stderr, "catvar: Cannot write standard output (%s).\n",
                     std::strerror(write_error != 0 ? write_error : EIO));
        return 1;
    }
    return status;
}
