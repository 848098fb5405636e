// Fuzz target: the PNG reader and picvar's reading of picture variable files, any bytes as input.
//
// The bytes are decoded by the PNG reader directly, which must either refuse them or give a
// picture of the size its header says; then picvar converts them as a file both ways (to a PNG
// and to a picture variable). Whatever the input, a run ends with 0 and its output file, or with
// a refusal and nothing but the input in the scratch folder: never a crash or a partial file.
#include "picvar/picvar.h"
#include "png/mono_png.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string dir;

[[noreturn]] void finding(const char* what) {
    std::fprintf(stderr, "fuzz_picture: %s\n", what);
    std::abort();
}

// Entries of the scratch folder other than . and ..
int scratch_entries() {
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) finding("cannot list the scratch folder");
    int count = 0;
    while (const dirent* e = readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) ++count;
    closedir(d);
    return count;
}

void remove_scratch() {
    for (const char* name : {"/in", "/out.png", "/PIC.85i"})
        unlink((dir + name).c_str());
    rmdir(dir.c_str());
}

void convert(const char* output) {
    const std::string in = dir + "/in";
    const std::string out = dir + "/" + output;
    std::array<char, 7> name{"picvar"};
    std::array<char*, 4> argv{name.data(), const_cast<char*>(in.c_str()),
                              const_cast<char*>(out.c_str()), nullptr};
    const int status = picvar_main(3, argv.data());
    struct stat st {};
    const bool written = stat(out.c_str(), &st) == 0;
    if (status == 0 && !written) finding("success without an output file");
    if (status != 0 && scratch_entries() != 1) finding("a refused input left a file behind");
    unlink(out.c_str());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    dir = std::string(base) + "/fuzz-picture-XXXXXX";
    if (mkdtemp(dir.data()) == nullptr) finding("cannot create the scratch folder");
    std::atexit(remove_scratch);
    // picvar prints its messages on standard output; the fuzzer reports on stderr.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) finding("cannot silence stdout");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    png_facts facts;
    mono_image image;
    std::string reason;
    if (read_png({data, size}, 256, 256, facts, image, reason) == png_read::ok &&
        (image.width != facts.width || image.height != facts.height ||
         image.bits.size() != mono_row_bytes(image.width) * image.height)) {
        finding("a decoded picture does not have the size its header says");
    }

    std::FILE* in = std::fopen((dir + "/in").c_str(), "wb");
    if (in == nullptr || std::fwrite(data, 1, size, in) != size || std::fclose(in) != 0) {
        finding("cannot write the input file");
    }
    convert("out.png");
    convert("PIC.85i");
    return 0;
}
