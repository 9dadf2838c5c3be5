// Direct port I/O on NT-family Windows, where a user program cannot issue the
// port instructions itself: through inpout32.dll and its kernel driver,
// loaded at run time so that the program runs without it on the simulator.
#include "link/backends.hpp"

#include <cstdio>
#include <windows.h>

namespace {

using out32_fn = void(__stdcall *)(short port, short data);
using inp32_fn = short(__stdcall *)(short port);

const char driver_hint[] = "install InpOut32 and put inpout32.dll beside talvik.exe";

struct inpout {
    HMODULE library = nullptr;
    out32_fn out32 = nullptr;
    inp32_fn inp32 = nullptr;
    short base = static_cast<short>(port_base);
};

inpout &io(void *self) { return *static_cast<inpout *>(self); }

void *io_open(const char *address, const port_notes &, char *reason, size_t size) {
    uint16_t address_value = 0;
    if (!read_port_address(address, &address_value, reason, size))
        return nullptr;
    HMODULE library = LoadLibraryA("inpout32.dll");
    if (!library) {
        std::snprintf(reason, size, "inpout32.dll not found (error %lu); %s",
                      static_cast<unsigned long>(GetLastError()), driver_hint);
        return nullptr;
    }
    auto *p = new inpout;
    p->library = library;
    p->base = static_cast<short>(address_value);
    p->out32 = reinterpret_cast<out32_fn>(reinterpret_cast<void *>(GetProcAddress(library, "Out32")));
    p->inp32 = reinterpret_cast<inp32_fn>(reinterpret_cast<void *>(GetProcAddress(library, "Inp32")));
    if (!p->out32 || !p->inp32) {
        std::snprintf(reason, size, "inpout32.dll lacks Out32 or Inp32; %s", driver_hint);
        FreeLibrary(library);
        delete p;
        return nullptr;
    }
    return p;
}

bool io_close(void *self, char *, size_t) {
    inpout &p = io(self);
    if (p.library)
        FreeLibrary(p.library);
    delete &p;
    return true;
}

bool io_set_data(void *self, uint8_t value, port_fault *) {
    io(self).out32(io(self).base, value);
    return true;
}

bool io_get_status(void *self, uint8_t *value, port_fault *) {
    *value = static_cast<uint8_t>(io(self).inp32(static_cast<short>(io(self).base + 1)));
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
