// The adapter's bytes through libftdi1 (Linux). A hand-over is an
// asynchronous write, which libusb completes inside the reads that follow.
#include "link/ftdi_transport.hpp"

#include "common/text.hpp"

#include <cstdio>
#include <cstring>
#include <sys/time.h>
#include <ftdi.h>

const char ftdi_device_forms[] = "DEVICE: d:BUS/DEV, i:VID:PID[:INDEX], s:VID:PID:SERIAL";

struct ftdi_transport {
    ftdi_context *ftdi = nullptr;
    ftdi_transfer_control *handed = nullptr;
};

namespace {

// libftdi1 multiplies a bit-bang rate by 4 and the chip clocks bytes at 16
// times the baud rate it is given: 15625 is one byte a microsecond.
constexpr int bitbang_rate = 15625;
constexpr unsigned char latency_ms = 1;

const unsigned product_ids[] = {0x6014, 0x6010, 0x6001}; // FT232H, FT2232H, FT232R

const char udev_hint[] = "; permission denied? install the udev rule: sudo cp "
                         "udev/60-talvik-ftdi.rules /etc/udev/rules.d/ && sudo udevadm control "
                         "--reload-rules, then plug the adapter in again (your user must be in "
                         "the plugdev group)";

ftdi_transport *refuse(ftdi_transport *usb, char *reason, size_t size, const char *format,
                       const char *detail) {
    std::snprintf(reason, size, format, detail);
    transport_close(usb);
    return nullptr;
}

bool not_found(ftdi_context *ftdi) {
    return std::strcmp(ftdi_get_error_string(ftdi), "device not found") == 0;
}

} // namespace

ftdi_transport *transport_open(const char *device, ftdi_chip *chip, char *reason, size_t size) {
    auto *usb = new ftdi_transport;
    ftdi_context *ftdi = usb->ftdi = ftdi_new();
    if (!ftdi)
        return refuse(usb, reason, size, "%s", "libftdi1 could not start");
    ftdi_set_interface(ftdi, INTERFACE_A);
    // libftdi1 lets go of the kernel's serial driver and takes it back at close.
    ftdi->module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE;
    int result = -3;
    if (*device)
        result = ftdi_usb_open_string(ftdi, device);
    else
        for (unsigned id : product_ids)
            if ((result = ftdi_usb_open(ftdi, 0x0403, static_cast<int>(id))) != -3 || !not_found(ftdi))
                break;
    // libftdi1 says -3 both for no device and for a device whose USB
    // configuration cannot be set: only its text tells them apart.
    if (result == -3 && !not_found(ftdi))
        return refuse(usb, reason, size,
                      "%s; another driver may hold the adapter (unplug it and plug it in again)",
                      ftdi_get_error_string(ftdi));
    if (result == -3)
        return refuse(usb, reason, size,
                      *device ? "no FTDI device matches %s; is it plugged in? (lsusb)"
                              : "no FTDI device found%s; is an FT232R, FT232H or FT2232H plugged "
                                "in? (lsusb shows 0403:6001, 0403:6014 or 0403:6010)",
                      shortened(device, 100).c_str());
    // -11 is also libusb failing to start, which has its own message.
    if (result == -11 &&
        std::strcmp(ftdi_get_error_string(ftdi), "illegal description format") == 0)
        return refuse(usb, reason, size,
                      "not a device string: %s (use d:BUS/DEV, i:VID:PID, i:VID:PID:INDEX or "
                      "s:VID:PID:SERIAL)",
                      shortened(device, 100).c_str());
    if (result < 0) {
        char why[400];
        std::snprintf(why, sizeof why, "%s%s", ftdi_get_error_string(ftdi),
                      result == -4 || result == -8 ? udev_hint
                      : result == -5               ? "; another program holds the adapter"
                                                   : "");
        return refuse(usb, reason, size, "%s", why);
    }
    *chip = ftdi->type == TYPE_R       ? ftdi_chip::ft232r
            : ftdi->type == TYPE_232H  ? ftdi_chip::ft232h
            : ftdi->type == TYPE_2232H ? ftdi_chip::ft2232h
                                       : ftdi_chip::other;
    return usb;
}

void transport_close(ftdi_transport *usb) {
    if (!usb)
        return;
    if (usb->ftdi && usb->handed) {
        // A write still on its way: cancelled, not left to libusb's exit.
        struct timeval wait = {0, 100000};
        ftdi_transfer_data_cancel(usb->handed, &wait);
    }
    if (usb->ftdi) {
        ftdi_usb_close(usb->ftdi);
        ftdi_free(usb->ftdi);
    }
    delete usb;
}

const char *transport_error(ftdi_transport *usb) {
    return usb && usb->ftdi ? ftdi_get_error_string(usb->ftdi) : "adapter closed";
}

bool transport_purge(ftdi_transport *usb) { return ftdi_tcioflush(usb->ftdi) == 0; }
bool transport_purge_samples(ftdi_transport *usb) { return ftdi_tciflush(usb->ftdi) == 0; }
bool transport_set_mode(ftdi_transport *usb, uint8_t mask, uint8_t mode) {
    return ftdi_set_bitmode(usb->ftdi, mask, mode) == 0;
}
bool transport_set_byte_rate(ftdi_transport *usb) {
    return ftdi_set_baudrate(usb->ftdi, bitbang_rate) == 0;
}
bool transport_set_latency(ftdi_transport *usb) {
    return ftdi_set_latency_timer(usb->ftdi, latency_ms) == 0;
}

bool transport_write(ftdi_transport *usb, const uint8_t *bytes, size_t count) {
    return ftdi_write_data(usb->ftdi, bytes, static_cast<int>(count)) == static_cast<int>(count);
}

bool transport_hand_over(ftdi_transport *usb, const uint8_t *bytes, size_t count) {
    usb->handed = ftdi_write_data_submit(usb->ftdi, const_cast<uint8_t *>(bytes),
                                         static_cast<int>(count));
    return usb->handed != nullptr;
}

int transport_handed(ftdi_transport *usb, bool wait) {
    if (!usb->handed)
        return 1;
    if (!wait && !usb->handed->completed)
        return 0;
    int n = ftdi_transfer_data_done(usb->handed);
    usb->handed = nullptr;
    return n < 0 ? -1 : 1;
}

int transport_read(ftdi_transport *usb, uint8_t *into, size_t max) {
    return ftdi_read_data(usb->ftdi, into, static_cast<int>(max));
}
