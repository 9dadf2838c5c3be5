// The adapter's bytes through FTDI's own driver (Windows): ftd2xx.dll, which
// Windows installs with the driver, loaded from the system folder only, so
// that no DLL beside the program is ever taken. Its functions are declared
// here, by hand, with their documented signatures: no file of the vendor's is
// needed. A write returns once the driver has taken the bytes; the driver
// reads the chip in the background into a buffer of its own, so a long write
// completes without a read of ours.
#include "link/ftdi_transport.hpp"

#include "common/text.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <vector>
#include <windows.h>

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

const char ftdi_device_forms[] =
    "DEVICE: i:VID:PID[:INDEX], s:VID:PID:SERIAL (ftd2xx.dll, FTDI's driver)";

namespace {

using FT_STATUS = ULONG;
using FT_HANDLE = PVOID;
constexpr FT_STATUS FT_OK = 0;
constexpr ULONG FT_FLAGS_OPENED = 1;
constexpr ULONG FT_PURGE_RX = 1, FT_PURGE_TX = 2;
constexpr ULONG FT_DEVICE_232R = 5, FT_DEVICE_2232H = 6, FT_DEVICE_232H = 8;

struct FT_DEVICE_LIST_INFO_NODE {
    ULONG Flags;
    ULONG Type;
    ULONG ID;
    DWORD LocId;
    char SerialNumber[16];
    char Description[64];
    FT_HANDLE ftHandle;
};

FT_STATUS(WINAPI *FT_CreateDeviceInfoList)(LPDWORD);
FT_STATUS(WINAPI *FT_GetDeviceInfoList)(FT_DEVICE_LIST_INFO_NODE *, LPDWORD);
FT_STATUS(WINAPI *FT_Open)(int, FT_HANDLE *);
FT_STATUS(WINAPI *FT_Close)(FT_HANDLE);
FT_STATUS(WINAPI *FT_SetBitMode)(FT_HANDLE, UCHAR, UCHAR);
FT_STATUS(WINAPI *FT_SetBaudRate)(FT_HANDLE, ULONG);
FT_STATUS(WINAPI *FT_SetLatencyTimer)(FT_HANDLE, UCHAR);
FT_STATUS(WINAPI *FT_Purge)(FT_HANDLE, ULONG);
FT_STATUS(WINAPI *FT_SetTimeouts)(FT_HANDLE, ULONG, ULONG);
FT_STATUS(WINAPI *FT_Write)(FT_HANDLE, LPVOID, DWORD, LPDWORD);
FT_STATUS(WINAPI *FT_Read)(FT_HANDLE, LPVOID, DWORD, LPDWORD);
FT_STATUS(WINAPI *FT_GetQueueStatus)(FT_HANDLE, LPDWORD);

// The driver's entry points, loaded once for the process.
HMODULE library = nullptr;

// FTDI documents that an FT232R in bit-bang mode clocks bytes at 16 times the
// rate it is given: 62500 is one byte a microsecond. For the H chips this is
// not documented; talvik-probe measures it.
constexpr ULONG bitbang_rate = 62500;
constexpr ULONG read_wait_ms = 20; // the longest a read waits for samples

const char *status_name(FT_STATUS status) {
    static const char *const names[] = {"FT_OK",
                                        "FT_INVALID_HANDLE",
                                        "FT_DEVICE_NOT_FOUND",
                                        "FT_DEVICE_NOT_OPENED",
                                        "FT_IO_ERROR",
                                        "FT_INSUFFICIENT_RESOURCES",
                                        "FT_INVALID_PARAMETER",
                                        "FT_INVALID_BAUD_RATE"};
    return status < sizeof names / sizeof names[0] ? names[status] : "FT_OTHER_ERROR";
}

} // namespace

struct ftdi_transport {
    FT_HANDLE handle = nullptr;
    char error_text[200] = "";
};

namespace {

bool check(ftdi_transport *usb, FT_STATUS status, const char *what) {
    if (status == FT_OK)
        return true;
    std::snprintf(usb->error_text, sizeof usb->error_text, "%s failed (%s)", what,
                  status_name(status));
    return false;
}

template <typename F> bool take(F &function, const char *name) {
    function = reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(library, name)));
    return function != nullptr;
}

bool load(char *reason, size_t size) {
    if (library)
        return true;
    library = LoadLibraryExW(L"ftd2xx.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!library && GetLastError() == ERROR_INVALID_PARAMETER) {
        // An older Windows without the flag: the system folder's file by name.
        wchar_t path[MAX_PATH];
        UINT n = GetSystemDirectoryW(path, MAX_PATH);
        if (n > 0 && n + 12 < MAX_PATH) {
            wcscat(path, L"\\ftd2xx.dll");
            library = LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        }
    }
    if (!library) {
        std::snprintf(reason, size,
                      "ftd2xx.dll is not in the system folder: FTDI's driver is missing; "
                      "plug the adapter in and let Windows install it, or install FTDI's "
                      "CDM driver (D2XX)");
        return false;
    }
    if (take(FT_CreateDeviceInfoList, "FT_CreateDeviceInfoList") &&
        take(FT_GetDeviceInfoList, "FT_GetDeviceInfoList") && take(FT_Open, "FT_Open") &&
        take(FT_Close, "FT_Close") && take(FT_SetBitMode, "FT_SetBitMode") &&
        take(FT_SetBaudRate, "FT_SetBaudRate") && take(FT_SetLatencyTimer, "FT_SetLatencyTimer") &&
        take(FT_Purge, "FT_Purge") && take(FT_SetTimeouts, "FT_SetTimeouts") &&
        take(FT_Write, "FT_Write") && take(FT_Read, "FT_Read") &&
        take(FT_GetQueueStatus, "FT_GetQueueStatus"))
        return true;
    std::snprintf(reason, size, "ftd2xx.dll lacks the functions of FTDI's driver; reinstall it");
    FreeLibrary(library);
    library = nullptr;
    return false;
}

ftdi_chip chip_of(ULONG type) {
    return type == FT_DEVICE_232R    ? ftdi_chip::ft232r
           : type == FT_DEVICE_232H  ? ftdi_chip::ft232h
           : type == FT_DEVICE_2232H ? ftdi_chip::ft2232h
                                     : ftdi_chip::other;
}

// A dual chip lists each channel: only channel A takes the instrument.
bool channel_a(const FT_DEVICE_LIST_INFO_NODE &node) {
    if (node.Type != FT_DEVICE_2232H)
        return true;
    size_t d = std::strlen(node.Description), s = std::strlen(node.SerialNumber);
    return (d >= 2 && std::strcmp(node.Description + d - 2, " A") == 0) ||
           (s >= 1 && node.SerialNumber[s - 1] == 'A');
}

bool ours(ULONG id) {
    return id == 0x04036001 || id == 0x04036014 || id == 0x04036010;
}

} // namespace

ftdi_transport *transport_open(const char *device, ftdi_chip *chip, char *reason, size_t size) {
    if (!load(reason, size))
        return nullptr;
    ftdi_transport scratch;
    ftdi_transport *usb = &scratch;
    // The device string's forms, as on Linux; libusb's d:BUS/DEV has no meaning here.
    int vendor = 0, product = 0;
    unsigned index = 0;
    char serial[64] = "";
    bool by_serial = false, by_id = false;
    if (*device) {
        int used = 0;
        if (std::strncmp(device, "d:", 2) == 0) {
            std::snprintf(reason, size,
                          "d:BUS/DEV names a USB device on Linux; on Windows use i:VID:PID, "
                          "i:VID:PID:INDEX or s:VID:PID:SERIAL");
            return nullptr;
        }
        if (std::sscanf(device, "s:%i:%i:%63s%n", &vendor, &product, serial, &used) == 3 &&
            !device[used])
            by_serial = true;
        else if ((std::sscanf(device, "i:%i:%i:%u%n", &vendor, &product, &index, &used) == 3 ||
                  std::sscanf(device, "i:%i:%i%n", &vendor, &product, &used) == 2) &&
                 !device[used])
            by_id = true;
        else {
            std::snprintf(reason, size,
                          "not a device string: %s (use i:VID:PID, i:VID:PID:INDEX or "
                          "s:VID:PID:SERIAL)",
                          device);
            return nullptr;
        }
    }
    DWORD count = 0;
    if (!check(usb, FT_CreateDeviceInfoList(&count), "FT_CreateDeviceInfoList")) {
        std::snprintf(reason, size, "%s", usb->error_text);
        return nullptr;
    }
    // The driver fills in as many as it listed.
    std::vector<FT_DEVICE_LIST_INFO_NODE> nodes(count ? count : 1);
    if (count && !check(usb, FT_GetDeviceInfoList(nodes.data(), &count), "FT_GetDeviceInfoList")) {
        std::snprintf(reason, size, "%s", usb->error_text);
        return nullptr;
    }
    ULONG wanted = static_cast<ULONG>(vendor) << 16 | static_cast<ULONG>(product);
    int chosen = -1;
    unsigned seen = 0;
    for (DWORD i = 0; i < count && chosen < 0; ++i) {
        const FT_DEVICE_LIST_INFO_NODE &node = nodes[i];
        if (!channel_a(node) || !(*device ? node.ID == wanted : ours(node.ID)))
            continue;
        if (by_serial) {
            size_t n = std::strlen(serial);
            if (std::strncmp(node.SerialNumber, serial, n) != 0 ||
                (node.SerialNumber[n] && std::strcmp(node.SerialNumber + n, "A") != 0))
                continue;
        } else if (by_id && seen++ != index) {
            continue;
        }
        chosen = static_cast<int>(i);
    }
    if (chosen < 0) {
        if (*device)
            std::snprintf(reason, size, "no FTDI device matches %s; is it plugged in?",
                          shortened(device, 100).c_str());
        else
            std::snprintf(reason, size,
                          "no FTDI device found; is an FT232R, FT232H or FT2232H plugged in? "
                          "(Device Manager lists it under USB Serial Converter)");
        return nullptr;
    }
    const char *in_use = "; another program holds the adapter (a terminal on its COM port?): "
                         "close it";
    if (nodes[chosen].Flags & FT_FLAGS_OPENED) {
        std::snprintf(reason, size, "the FTDI device is in use%s", in_use);
        return nullptr;
    }
    if (!check(usb, FT_Open(chosen, &usb->handle), "FT_Open")) {
        std::snprintf(reason, size, "%s%s", usb->error_text, in_use);
        return nullptr;
    }
    *chip = chip_of(nodes[chosen].Type);
    usb = new ftdi_transport(scratch);
    if (!check(usb, FT_SetTimeouts(usb->handle, read_wait_ms, 1000), "FT_SetTimeouts")) {
        std::snprintf(reason, size, "%s", usb->error_text);
        transport_close(usb);
        return nullptr;
    }
    return usb;
}

void transport_close(ftdi_transport *usb) {
    if (!usb)
        return;
    if (usb->handle)
        FT_Close(usb->handle);
    delete usb;
}

const char *transport_error(ftdi_transport *usb) { return usb->error_text; }

bool transport_purge(ftdi_transport *usb) {
    return check(usb, FT_Purge(usb->handle, FT_PURGE_RX | FT_PURGE_TX), "FT_Purge");
}
bool transport_purge_samples(ftdi_transport *usb) {
    return check(usb, FT_Purge(usb->handle, FT_PURGE_RX), "FT_Purge");
}

bool transport_set_mode(ftdi_transport *usb, uint8_t mask, uint8_t mode) {
    return check(usb, FT_SetBitMode(usb->handle, mask, mode), "FT_SetBitMode");
}

bool transport_set_byte_rate(ftdi_transport *usb) {
    return check(usb, FT_SetBaudRate(usb->handle, bitbang_rate), "FT_SetBaudRate");
}

// The D2XX guide gives 2 to 255 ms; some drivers take 1.
bool transport_set_latency(ftdi_transport *usb) {
    return FT_SetLatencyTimer(usb->handle, 1) == FT_OK ||
           check(usb, FT_SetLatencyTimer(usb->handle, 2), "FT_SetLatencyTimer");
}

bool transport_write(ftdi_transport *usb, const uint8_t *bytes, size_t count) {
    DWORD written = 0;
    if (!check(usb,
               FT_Write(usb->handle, const_cast<uint8_t *>(bytes), static_cast<DWORD>(count),
                        &written),
               "FT_Write"))
        return false;
    if (written != count) {
        std::snprintf(usb->error_text, sizeof usb->error_text, "FT_Write timed out");
        return false;
    }
    return true;
}

bool transport_hand_over(ftdi_transport *usb, const uint8_t *bytes, size_t count) {
    return transport_write(usb, bytes, count);
}

int transport_handed(ftdi_transport *, bool) { return 1; }

// What the driver holds; where it holds nothing, one sample waited for,
// which FT_Read gives up on after its timeout (a short read is that timeout).
int transport_read(ftdi_transport *usb, uint8_t *into, size_t max) {
    DWORD queued = 0, got = 0;
    if (!check(usb, FT_GetQueueStatus(usb->handle, &queued), "FT_GetQueueStatus"))
        return -1;
    DWORD want = queued ? (queued < max ? queued : static_cast<DWORD>(max)) : 1;
    if (max == 0)
        return 0;
    if (!check(usb, FT_Read(usb->handle, into, want, &got), "FT_Read"))
        return -1;
    return static_cast<int>(got);
}
