// Direct port I/O on x86: the process is granted the data and status
// registers, then writes and reads them itself.
#include "link/backends.hpp"
#include "link/sys.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

uint16_t base = port_base;

bool io_open(const char *address, char *reason, size_t size) {
    if (!read_port_address(address, &base, reason, size))
        return false;
    if (sys::ioperm(base, 2, 1) != 0) {
        int error = errno;
        std::snprintf(reason, size,
                      "%s; needs root or CAP_SYS_RAWIO; kernel lockdown forbids it (use ppdev)",
                      std::strerror(error));
        return false;
    }
    return true;
}

void io_close() { sys::ioperm(base, 2, 0); }
void io_set_data(uint8_t value) { sys::outb(value, base); }
uint8_t io_get_status() { return sys::inb(static_cast<uint16_t>(base + 1)); }

} // namespace

extern const port_backend io_port = {"io", io_open, io_close, io_set_data, io_get_status, nullptr};
