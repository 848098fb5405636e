// Test support: variable files built from their layout, for comparing byte for byte. An oracle
// of its own: it shares no code with the variable-file library or the programs it checks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

using Bytes = std::vector<std::uint8_t>;

std::string text(const Bytes& bytes);
Bytes bytes_of(const std::string& text);
// `size` bytes counting up from `first`, wrapping after 0xFF.
Bytes counting(std::size_t size, std::uint8_t first = 1);

// A 16-bit number as it stands in a file, low byte first.
std::string u16(std::size_t value);

// The 53 bytes the receiver writes in front of every file.
extern const std::string FILE_HEADER;

// A whole file around a data section: header (with `signature` over its first bytes), N, the
// section and its 16-bit sum, plus `checksum_error`.
std::string file_around(const std::string& section, int checksum_error = 0,
                        const std::string& signature = "**TI85**");

// One entry: K + 4, D, T, K, the name, D again, the data.
std::string entry(std::uint8_t type, const std::string& name, const std::string& data);

// A backup's data section: the header's length and bytes, then each block's length and bytes.
std::string backup_section(const std::string& header, const std::vector<std::string>& blocks);
std::string backup_section(const Bytes& header, const std::vector<Bytes>& blocks);

// The data of a variable header packet: D, T, K, the name.
std::string var_header_data(std::size_t data_length, std::uint8_t type, const std::string& name);

} // namespace testing_support
