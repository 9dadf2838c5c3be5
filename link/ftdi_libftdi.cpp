// The adapter's bytes through libftdi1 (Linux). A hand-over is an
// asynchronous write, which libusb completes inside the reads that follow.
#include "link/ftdi_transport.hpp"

#include <cstdio>
#include <cstring>
#include <sys/time.h>
#include <ftdi.h>

const char ftdi_device_forms[] = "DEVICE: d:BUS/DEV, i:VID:PID[:INDEX], s:VID:PID:SERIAL";

namespace {

ftdi_context *ftdi = nullptr;
ftdi_transfer_control *handed = nullptr;

// libftdi1 multiplies a bit-bang rate by 4 and the chip clocks bytes at 16
// times the baud rate it is given: 15625 is one byte a microsecond.
constexpr int bitbang_rate = 15625;
constexpr unsigned char latency_ms = 1;

const unsigned product_ids[] = {0x6014, 0x6010, 0x6001}; // FT232H, FT2232H, FT232R

const char udev_hint[] = "; permission denied? install the udev rule: sudo cp "
                         "udev/60-talvik-ftdi.rules /etc/udev/rules.d/ && sudo udevadm control "
                         "--reload-rules, then plug the adapter in again (your user must be in "
                         "the plugdev group)";

bool refuse(char *reason, size_t size, const char *format, const char *detail) {
    std::snprintf(reason, size, format, detail);
    transport_close();
    return false;
}

bool not_found() { return std::strcmp(ftdi_get_error_string(ftdi), "device not found") == 0; }

} // namespace

bool transport_open(const char *device, ftdi_chip *chip, char *reason, size_t size) {
    ftdi = ftdi_new();
    if (!ftdi)
        return refuse(reason, size, "%s", "libftdi1 could not start");
    ftdi_set_interface(ftdi, INTERFACE_A);
    // libftdi1 lets go of the kernel's serial driver and takes it back at close.
    ftdi->module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE;
    int result = -3;
    if (*device)
        result = ftdi_usb_open_string(ftdi, device);
    else
        for (unsigned id : product_ids)
            if ((result = ftdi_usb_open(ftdi, 0x0403, static_cast<int>(id))) != -3 || !not_found())
                break;
    // libftdi1 says -3 both for no device and for a device whose USB
    // configuration cannot be set: only its text tells them apart.
    if (result == -3 && !not_found())
        return refuse(reason, size,
                      "%s; another driver may hold the adapter (unplug it and plug it in again)",
                      ftdi_get_error_string(ftdi));
    if (result == -3)
        return refuse(reason, size,
                      *device ? "no FTDI device matches %s; is it plugged in? (lsusb)"
                              : "no FTDI device found%s; is an FT232R, FT232H or FT2232H plugged "
                                "in? (lsusb shows 0403:6001, 0403:6014 or 0403:6010)",
                      device);
    // -11 is also libusb failing to start, which has its own message.
    if (result == -11 &&
        std::strcmp(ftdi_get_error_string(ftdi), "illegal description format") == 0)
        return refuse(reason, size,
                      "not a device string: %s (use d:BUS/DEV, i:VID:PID, i:VID:PID:INDEX or "
                      "s:VID:PID:SERIAL)",
                      device);
    if (result < 0) {
        char why[400];
        std::snprintf(why, sizeof why, "%s%s", ftdi_get_error_string(ftdi),
                      result == -4 || result == -8 ? udev_hint
                      : result == -5               ? "; another program holds the adapter"
                                                   : "");
        return refuse(reason, size, "%s", why);
    }
    *chip = ftdi->type == TYPE_R       ? ftdi_chip::ft232r
            : ftdi->type == TYPE_232H  ? ftdi_chip::ft232h
            : ftdi->type == TYPE_2232H ? ftdi_chip::ft2232h
                                       : ftdi_chip::other;
    return true;
}

void transport_close() {
    if (ftdi && handed) {
        // A write still on its way: cancelled, not left to libusb's exit.
        struct timeval wait = {0, 100000};
        ftdi_transfer_data_cancel(handed, &wait);
    }
    if (ftdi) {
        ftdi_usb_close(ftdi);
        ftdi_free(ftdi);
    }
    ftdi = nullptr;
    handed = nullptr;
}

const char *transport_error() { return ftdi ? ftdi_get_error_string(ftdi) : "adapter closed"; }

bool transport_purge() { return ftdi_tcioflush(ftdi) == 0; }
bool transport_set_mode(uint8_t mask, uint8_t mode) { return ftdi_set_bitmode(ftdi, mask, mode) == 0; }
bool transport_set_byte_rate() { return ftdi_set_baudrate(ftdi, bitbang_rate) == 0; }
bool transport_set_latency() { return ftdi_set_latency_timer(ftdi, latency_ms) == 0; }

bool transport_write(const uint8_t *bytes, size_t count) {
    return ftdi_write_data(ftdi, bytes, static_cast<int>(count)) == static_cast<int>(count);
}

bool transport_hand_over(const uint8_t *bytes, size_t count) {
    handed = ftdi_write_data_submit(ftdi, const_cast<uint8_t *>(bytes), static_cast<int>(count));
    return handed != nullptr;
}

int transport_handed(bool wait) {
    if (!handed)
        return 1;
    if (!wait && !handed->completed)
        return 0;
    int n = ftdi_transfer_data_done(handed);
    handed = nullptr;
    return n < 0 ? -1 : 1;
}

int transport_read(uint8_t *into, size_t max) {
    return ftdi_read_data(ftdi, into, static_cast<int>(max));
}
