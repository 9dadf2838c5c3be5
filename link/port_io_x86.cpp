// Direct port I/O on x86: the process is granted the data and status
// registers, then writes and reads them itself.
#include "link/backends.hpp"
#include "link/sys.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

struct io_port_state {
    uint16_t base = port_base;
    // ioperm reaches only the first 0x400 addresses; a card above them (PCIe
    // ports sit at e.g. 0x3010) needs the I/O privilege level instead.
    bool above_ioperm() const { return base + 1 > 0x3FF; }
};

io_port_state &io(void *self) { return *static_cast<io_port_state *>(self); }

void *io_open(const char *address, const port_notes &, char *reason, size_t size) {
    uint16_t base = 0;
    if (!read_port_address(address, &base, reason, size))
        return nullptr;
    auto *p = new io_port_state{base};
    if ((p->above_ioperm() ? sys::iopl(3) : sys::ioperm(base, 2, 1)) != 0) {
        int error = errno;
        std::snprintf(reason, size, "%s; %s", std::strerror(error),
                      error == ENOSYS
                          ? "this kernel has no port I/O (use ppdev)"
                          : "needs root or CAP_SYS_RAWIO; kernel lockdown forbids it (use ppdev)");
        delete p;
        return nullptr;
    }
    return p;
}

bool io_close(void *self, char *, size_t) {
    io_port_state &p = io(self);
    if (p.above_ioperm())
        sys::iopl(0);
    else
        sys::ioperm(p.base, 2, 0);
    delete &p;
    return true;
}

bool io_set_data(void *self, uint8_t value, port_fault *) {
    sys::outb(value, io(self).base);
    return true;
}

bool io_get_status(void *self, uint8_t *value, port_fault *) {
    *value = sys::inb(static_cast<uint16_t>(io(self).base + 1));
    return true;
}

} // namespace

extern const port_backend io_port = {
    .name = "io",
    .open = io_open,
    .close = io_close,
    .set_data = io_set_data,
    .get_status = io_get_status,
};
