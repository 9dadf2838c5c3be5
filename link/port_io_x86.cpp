// Direct port I/O on x86: the process is granted the data and status
// registers, then writes and reads them itself.
#include "link/backends.hpp"
#include "link/sys.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

uint16_t base = port_base;

// ioperm reaches only the first 0x400 addresses; a card above them (PCIe
// ports sit at e.g. 0x3010) needs the I/O privilege level instead.
bool above_ioperm() { return base + 1 > 0x3FF; }

bool io_open(const char *address, char *reason, size_t size) {
    if (!read_port_address(address, &base, reason, size))
        return false;
    if ((above_ioperm() ? sys::iopl(3) : sys::ioperm(base, 2, 1)) != 0) {
        int error = errno;
        std::snprintf(reason, size, "%s; %s", std::strerror(error),
                      error == ENOSYS
                          ? "this kernel has no port I/O (use ppdev)"
                          : "needs root or CAP_SYS_RAWIO; kernel lockdown forbids it (use ppdev)");
        return false;
    }
    return true;
}

const char *io_close() {
    if (above_ioperm())
        sys::iopl(0);
    else
        sys::ioperm(base, 2, 0);
    return nullptr;
}
void io_set_data(uint8_t value) { sys::outb(value, base); }
uint8_t io_get_status() { return sys::inb(static_cast<uint16_t>(base + 1)); }

} // namespace

extern const port_backend io_port = {"io", io_open, io_close, io_set_data, io_get_status, nullptr};
