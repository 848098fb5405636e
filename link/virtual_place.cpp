// Where vti85 lays its wire and links its pseudo-terminal: a folder of the user's own.
//
// A fixed place under /tmp would let another user plant a link there, and a calculator run by
// one user would answer another's programs. The user's runtime folder is the user's alone; the
// temporary folder is shared, so vti85 makes a folder there that only its user may write, and
// nobody uses one that another user made.
#include "link/link.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0' ? value : nullptr;
}

} // namespace

std::string virtual_folder() {
    if (const char* runtime = environment("XDG_RUNTIME_DIR")) return runtime;
    const char* temporary = environment("TMPDIR");
    return std::string(temporary != nullptr ? temporary : "/tmp") + "/vti85-" +
           std::to_string(getuid());
}

std::string virtual_place(const char* name) {
    return virtual_folder() + "/" + name;
}

std::string claim_virtual_folder(bool create) {
    const std::string folder = virtual_folder();
    if (create && mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        return "cannot create " + folder + ": " + std::strerror(errno);
    }
    struct stat status {};
    // No folder yet: no calculator either, which the open of the wire then says.
    if (lstat(folder.c_str(), &status) != 0) {
        return errno == ENOENT && !create ? "" : folder + ": " + std::strerror(errno);
    }
    if (!S_ISDIR(status.st_mode)) return folder + " is not a folder: remove it";
    if (status.st_uid != getuid()) return folder + " is in use by another user";
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return folder + " may be written by other users: chmod 700 " + folder;
    }
    return "";
}
