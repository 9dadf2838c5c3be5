// A port backend for tests: records every access and answers reads from a
// status function the test sets.
#pragma once
#include "link/port.hpp"

#include <cstdint>
#include <vector>

namespace recording_port {

extern std::vector<port_access> accesses;
extern uint8_t (*status)(); // what the next read returns

// Installs the recorder as the port, clears the record, status reads 0.
void install();
const port_backend *backend();

std::vector<uint8_t> writes();
int reads();

} // namespace recording_port
