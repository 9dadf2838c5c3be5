// A port backend for tests: records every access and answers reads from a
// status function the test sets.
#pragma once
#include "link/port.hpp"

#include <cstdint>
#include <memory>
#include <vector>

namespace recording_port {

extern std::vector<port_access> accesses;
extern uint8_t (*status)(); // what the next read returns

// Opens a link on the recorder and makes it the_link, the record cleared,
// status reads 0; uninstall closes it and puts the link before it back.
void install();
void uninstall();
const port_backend *backend();

std::vector<uint8_t> writes();
int reads();

} // namespace recording_port
