#include "tests/support/varfiles.h"

namespace testing_support {

std::string text(const Bytes& bytes) {
    return {bytes.begin(), bytes.end()};
}

Bytes bytes_of(const std::string& text) {
    return {text.begin(), text.end()};
}

Bytes counting(std::size_t size, std::uint8_t first) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(first + i);
    return bytes;
}

std::string u16(std::size_t value) {
    return {static_cast<char>(value & 0xFF), static_cast<char>(value >> 8 & 0xFF)};
}

const std::string FILE_HEADER = std::string("**TI85**\x1A\x0C\x00", 11) +
                                "File received by Talvaro" + std::string(17, ' ') +
                                std::string(1, '\0');

std::string file_around(const std::string& section, int checksum_error,
                        const std::string& signature) {
    unsigned sum = 0;
    for (const char c : section)
        sum += static_cast<unsigned char>(c);
    std::string header = FILE_HEADER;
    header.replace(0, signature.size(), signature);
    return header + u16(section.size()) + section +
           u16((sum + static_cast<unsigned>(checksum_error)) & 0xFFFF);
}

std::string entry(std::uint8_t type, const std::string& name, const std::string& data) {
    return u16(name.size() + 4) + u16(data.size()) + static_cast<char>(type) +
           static_cast<char>(name.size()) + name + u16(data.size()) + data;
}

std::string backup_section(const std::string& header, const std::vector<std::string>& blocks) {
    std::string section = u16(header.size()) + header;
    for (const std::string& block : blocks)
        section += u16(block.size()) + block;
    return section;
}

std::string backup_section(const Bytes& header, const std::vector<Bytes>& blocks) {
    std::vector<std::string> texts;
    texts.reserve(blocks.size());
    for (const Bytes& block : blocks)
        texts.push_back(text(block));
    return backup_section(text(header), texts);
}

std::string var_header_data(std::size_t data_length, std::uint8_t type, const std::string& name) {
    return u16(data_length) + static_cast<char>(type) + static_cast<char>(name.size()) + name;
}

} // namespace testing_support
