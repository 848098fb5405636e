// The calculator model as a port layer: the computer's port accesses drive the modelled wire.
//
// Linking the model puts this layer in place of the real ones, so that no test, benchmark or
// fuzz target that runs the calculator in-process can ever reach a real port.
#include "calc/state.h"

#include "link/ports/ports.h"

#include <algorithm>

namespace peer {
namespace {

bool grant(std::uint16_t port) {
    if (record == nullptr) reset();
    if (record->grant_count < MAX_GRANTS) record->grants[record->grant_count] = port;
    ++record->grant_count;
    return std::find(options.refuse.begin(), options.refuse.end(), port) == options.refuse.end();
}

void write(std::uint16_t port, std::uint8_t value) {
    if (record == nullptr) reset();
    ++record->accesses;
    if (record->write_count < MAX_WRITES) record->writes[record->write_count] = {port, value};
    ++record->write_count;
    if (output_port(port)) {
        wire_write(value);
    } else {
        violation("write to a port other than the output register");
    }
    if (options.after_write != nullptr) options.after_write(port, value);
}

std::uint8_t read(std::uint16_t port) {
    if (record == nullptr) reset();
    ++record->accesses;
    if (!input_port(port)) violation("read from a port other than the input register");
    const auto value = static_cast<std::uint8_t>(noise() | wire_read());
    if (options.after_read != nullptr) options.after_read(port, value);
    return value;
}

constexpr PortLayer modelled_ports{"modelled", grant, write, read};

[[maybe_unused]] const bool in_place = (ports = &modelled_ports, true);

} // namespace
} // namespace peer
