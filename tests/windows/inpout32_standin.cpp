// A stand-in for inpout32.dll: the simulated instrument (busyreads=2) behind
// Out32 and Inp32, recording every access, one line each ("W AF", "R 40"),
// to the file named by INPOUT32_LOG.
#include "instrument/sim.hpp"

#include <cstdio>
#include <cstdlib>

namespace {

sim_instrument instrument;
std::FILE *log_file = nullptr;
bool started = false;

void start() {
    if (started)
        return;
    started = true;
    char reason[200];
    instrument.configure("busyreads=2", reason, sizeof reason);
    if (const char *path = std::getenv("INPOUT32_LOG"))
        log_file = std::fopen(path, "wb");
    if (log_file) // unbuffered: complete however the process ends
        std::setvbuf(log_file, nullptr, _IONBF, 0);
}

void record(char kind, unsigned value) {
    if (log_file)
        std::fprintf(log_file, "%c %02X\n", kind, value & 0xFF);
}

} // namespace

extern "C" __declspec(dllexport) void __stdcall Out32(short port, short data) {
    start();
    if (port == 0x378)
        instrument.write(static_cast<uint8_t>(data));
    record('W', static_cast<unsigned>(data));
}

extern "C" __declspec(dllexport) short __stdcall Inp32(short port) {
    start();
    unsigned value = port == 0x379 ? instrument.read() : 0xFF;
    record('R', value);
    return static_cast<short>(value);
}
