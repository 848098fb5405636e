// Fuzz target: catvar's listing, any bytes as a variable file.
//
// show_file must never read past the bytes it is given, whatever the file says, and its text
// must keep its promises: no control byte but the line feed (names and strings escaped), pure
// ASCII in the ASCII style, a fault line exactly when it reports a fault, and, with names only,
// nothing but heading and fault lines.
#include "catvar/catvar.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

namespace {

[[noreturn]] void finding(const char* what) {
    std::fprintf(stderr, "fuzz_catvar: %s\n", what);
    std::abort();
}

// Checks one text; returns whether it holds a fault line.
bool check_text(const std::string& text, const Style& style) {
    bool fault = false;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos) finding("text does not end with a line feed");
        const std::string_view line(text.data() + start, end - start);
        const bool fault_line = line.starts_with("catvar: F: ");
        fault = fault || fault_line;
        // A heading: "NAME (TYPE, N bytes)", perhaps with marks such as ", locked".
        const bool heading = line.ends_with(")") && line.find(" bytes") != std::string_view::npos;
        if (style.names_only && !fault_line && !heading) {
            finding("a line that is no heading with names only");
        }
        for (const char c : line) {
            const auto byte = static_cast<unsigned char>(c);
            if (byte < 0x20 || byte == 0x7F) finding("control byte in the text");
            if (style.ascii && byte >= 0x80) finding("non-ASCII byte in the ASCII style");
        }
        start = end + 1;
    }
    return fault;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A copy of exactly the input's size on the heap, so that a step past it is caught.
    auto* const copy = new std::uint8_t[size == 0 ? 1 : size];
    std::copy(data, data + size, copy);
    const std::span<const std::uint8_t> file{copy, size};
    for (const Style style : {Style{}, Style{.ascii = true}, Style{.names_only = true}}) {
        std::string text;
        const bool ok = show_file(file, "F", style, text);
        if (check_text(text, style) == ok) finding("fault lines and the result disagree");
    }
    delete[] copy;
    return 0;
}
