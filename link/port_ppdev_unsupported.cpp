// The parallel-port device files exist only on Linux.
#include "link/backends.hpp"

#include <cstdio>

namespace {

bool ppdev_open(const char *, char *reason, size_t size) {
    std::snprintf(reason, size, "ppdev is a Linux device; on Windows use io:0x378 (inpout32.dll)");
    return false;
}
void ppdev_close() {}
void ppdev_set_data(uint8_t) {}
uint8_t ppdev_get_status() { return 0; }

} // namespace

extern const port_backend ppdev_port = {"ppdev", ppdev_open, ppdev_close, ppdev_set_data,
                                        ppdev_get_status};
