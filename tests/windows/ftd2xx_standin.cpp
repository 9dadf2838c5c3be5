// A stand-in for ftd2xx.dll: the chip of tests/link/ftdi_chip.hpp, wired to
// the simulated instrument, behind FTDI's D2XX functions. FTD2XX_STANDIN
// chooses the chip and its faults, comma-separated: type=R|H|2232H, absent,
// in_use, fail_read_after=N, slow_every=N. FTD2XX_LOG names a file that gets
// the USB traffic at close: writes, bytes written, reads.
#include "link/ftdi_chip.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <windows.h>

using namespace ftdi_standin;

namespace {

using FT_STATUS = ULONG;
using FT_HANDLE = PVOID;
constexpr FT_STATUS FT_OK = 0, FT_DEVICE_NOT_FOUND = 2, FT_DEVICE_NOT_OPENED = 3,
                    FT_IO_ERROR = 4, FT_INVALID_PARAMETER = 6;

struct FT_DEVICE_LIST_INFO_NODE {
    ULONG Flags;
    ULONG Type;
    ULONG ID;
    DWORD LocId;
    char SerialNumber[16];
    char Description[64];
    FT_HANDLE ftHandle;
};

bool started = false;

void start() {
    if (started)
        return;
    started = true;
    settings s;
    const char *text = std::getenv("FTD2XX_STANDIN");
    char options[256] = "";
    std::strncpy(options, text ? text : "", sizeof options - 1);
    for (char *option = std::strtok(options, ","); option; option = std::strtok(nullptr, ",")) {
        if (std::strcmp(option, "type=R") == 0)
            s.type = ft232r;
        else if (std::strcmp(option, "type=2232H") == 0)
            s.type = ft2232h;
        else if (std::strcmp(option, "absent") == 0)
            s.present = false;
        else if (std::strcmp(option, "in_use") == 0)
            s.in_use = true;
        else if (std::strncmp(option, "fail_read_after=", 16) == 0)
            s.fail_read_after = std::atoi(option + 16);
        else if (std::strncmp(option, "slow_every=", 11) == 0)
            s.slow_every = std::atoi(option + 11);
    }
    reset(s);
}

ULONG type_of(chip_kind kind) { return kind == ft232r ? 5 : kind == ft2232h ? 6 : 8; }

} // namespace

extern "C" {

__declspec(dllexport) FT_STATUS WINAPI FT_CreateDeviceInfoList(LPDWORD count) {
    start();
    *count = !chip.present ? 0 : chip.type == ft2232h ? 2 : 1;
    return FT_OK;
}

__declspec(dllexport) FT_STATUS WINAPI FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE *nodes,
                                                            LPDWORD count) {
    start();
    DWORD n = 0;
    FT_CreateDeviceInfoList(&n);
    for (DWORD i = 0; i < n && i < *count; ++i) {
        FT_DEVICE_LIST_INFO_NODE &node = nodes[i];
        std::memset(&node, 0, sizeof node);
        node.Flags = chip.in_use ? 1 : 0;
        node.Type = type_of(chip.type);
        node.ID = 0x0403u << 16 | product_of(chip.type);
        node.LocId = 0x11 + i;
        std::strcpy(node.SerialNumber, chip.type == ft2232h ? (i ? "TV0001B" : "TV0001A") : "TV0001");
        std::strcpy(node.Description, chip.type == ft2232h ? (i ? "Dual RS232-HS B" : "Dual RS232-HS A")
                                                           : "USB Serial Converter");
    }
    *count = n;
    return FT_OK;
}

__declspec(dllexport) FT_STATUS WINAPI FT_Open(int index, FT_HANDLE *handle) {
    start();
    if (!chip.present || index < 0)
        return FT_DEVICE_NOT_FOUND;
    if (chip.in_use)
        return FT_DEVICE_NOT_OPENED;
    opened();
    *handle = reinterpret_cast<FT_HANDLE>(1);
    return FT_OK;
}

__declspec(dllexport) FT_STATUS WINAPI FT_Close(FT_HANDLE) {
    closed();
    if (const char *path = std::getenv("FTD2XX_LOG"))
        if (std::FILE *log = std::fopen(path, "w")) {
            std::fprintf(log, "%ld %ld %ld\n", done.transfers, done.bytes, done.reads);
            std::fclose(log);
        }
    return FT_OK;
}

__declspec(dllexport) FT_STATUS WINAPI FT_SetBitMode(FT_HANDLE, UCHAR mask, UCHAR mode) {
    return set_mode(mask, mode) == 0 ? FT_OK : FT_IO_ERROR;
}

__declspec(dllexport) FT_STATUS WINAPI FT_SetBaudRate(FT_HANDLE, ULONG rate) {
    return set_rate(static_cast<int>(rate)) == 0 ? FT_OK : FT_IO_ERROR;
}

// The D2XX guide's range: 2 to 255 ms.
__declspec(dllexport) FT_STATUS WINAPI FT_SetLatencyTimer(FT_HANDLE, UCHAR ms) {
    if (ms < 2)
        return FT_INVALID_PARAMETER;
    return set_latency(ms) == 0 ? FT_OK : FT_IO_ERROR;
}

__declspec(dllexport) FT_STATUS WINAPI FT_Purge(FT_HANDLE, ULONG mask) {
    if (mask == 1)
        return purge_samples() == 0 ? FT_OK : FT_IO_ERROR;
    purge();
    return FT_OK;
}

__declspec(dllexport) FT_STATUS WINAPI FT_SetTimeouts(FT_HANDLE, ULONG, ULONG) { return FT_OK; }

// The driver reads the chip in the background: a write never stalls.
__declspec(dllexport) FT_STATUS WINAPI FT_Write(FT_HANDLE, LPVOID buffer, DWORD size,
                                                LPDWORD written) {
    int n = write_read_behind(static_cast<const uint8_t *>(buffer), static_cast<int>(size));
    *written = n < 0 ? 0 : static_cast<DWORD>(n);
    return n < 0 ? FT_IO_ERROR : FT_OK;
}

// Waits for the count or the timeout: what is there, the latency timer's
// packet included, and no more.
__declspec(dllexport) FT_STATUS WINAPI FT_Read(FT_HANDLE, LPVOID buffer, DWORD size,
                                               LPDWORD returned) {
    DWORD got = 0;
    while (got < size) {
        int n = read(static_cast<uint8_t *>(buffer) + got, static_cast<int>(size - got));
        if (n < 0)
            return FT_IO_ERROR;
        if (n == 0)
            break;
        got += static_cast<DWORD>(n);
    }
    *returned = got;
    return FT_OK;
}

__declspec(dllexport) FT_STATUS WINAPI FT_GetQueueStatus(FT_HANDLE, LPDWORD queued) {
    if (chip.fail_read_after >= 0 && at_host_count() == 0) {
        uint8_t probe;
        if (read(&probe, 0) < 0)
            return FT_IO_ERROR;
    }
    *queued = static_cast<DWORD>(at_host_count());
    return FT_OK;
}

} // extern "C"
