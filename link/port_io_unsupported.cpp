// Direct port I/O exists only on x86 processors.
#include "link/backends.hpp"

#include <cstdio>

namespace {

bool io_open(const char *, char *reason, size_t size) {
    std::snprintf(reason, size, "direct port I/O needs an x86 processor; use ppdev:/dev/parport0");
    return false;
}
void io_close() {}
void io_set_data(uint8_t) {}
uint8_t io_get_status() { return 0; }

} // namespace

extern const port_backend io_port = {"io", io_open, io_close, io_set_data, io_get_status};
