// Direct port I/O on NT-family Windows, where a user program cannot issue the
// port instructions itself: through inpout32.dll and its kernel driver,
// loaded at run time so that the program runs without it on the simulator.
#include "link/backends.hpp"

#include <cstdio>
#include <windows.h>

namespace {

using out32_fn = void(__stdcall *)(short port, short data);
using inp32_fn = short(__stdcall *)(short port);

HMODULE library = nullptr;
out32_fn out32 = nullptr;
inp32_fn inp32 = nullptr;
short base = static_cast<short>(port_base);

const char driver_hint[] = "install InpOut32 and put inpout32.dll beside talvik.exe";

bool io_open(const char *address, char *reason, size_t size) {
    uint16_t address_value = 0;
    if (!read_port_address(address, &address_value, reason, size))
        return false;
    base = static_cast<short>(address_value);
    library = LoadLibraryA("inpout32.dll");
    if (!library) {
        std::snprintf(reason, size, "inpout32.dll not found (error %lu); %s",
                      static_cast<unsigned long>(GetLastError()), driver_hint);
        return false;
    }
    out32 = reinterpret_cast<out32_fn>(reinterpret_cast<void *>(GetProcAddress(library, "Out32")));
    inp32 = reinterpret_cast<inp32_fn>(reinterpret_cast<void *>(GetProcAddress(library, "Inp32")));
    if (!out32 || !inp32) {
        std::snprintf(reason, size, "inpout32.dll lacks Out32 or Inp32; %s", driver_hint);
        FreeLibrary(library);
        library = nullptr;
        return false;
    }
    return true;
}

const char *io_close() {
    if (library)
        FreeLibrary(library);
    library = nullptr;
    return nullptr;
}

void io_set_data(uint8_t value) { out32(base, value); }
uint8_t io_get_status() { return static_cast<uint8_t>(inp32(static_cast<short>(base + 1))); }

} // namespace

extern const port_backend io_port = {"io", io_open, io_close, io_set_data, io_get_status, nullptr};
