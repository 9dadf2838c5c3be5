#include "link/ftdi_standin.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace ftdi_standin;

namespace {

ftdi_transfer_control transfer;

ftdi_chip_type type_of(chip_kind kind) {
    return kind == ft232r ? TYPE_R : kind == ft2232h ? TYPE_2232H : kind == ft232h ? TYPE_232H : TYPE_BM;
}

} // namespace

extern "C" {

ftdi_context *ftdi_new(void) {
    ++ftdi_standin::done.contexts;
    return static_cast<ftdi_context *>(std::calloc(1, sizeof(ftdi_context)));
}
void ftdi_free(ftdi_context *ftdi) {
    --ftdi_standin::done.contexts;
    std::free(ftdi);
}
int ftdi_set_interface(ftdi_context *, enum ftdi_interface) { return 0; }
const char *ftdi_get_error_string(ftdi_context *) { return error; }

int ftdi_usb_open(ftdi_context *ftdi, int vendor, int product) {
    if (!chip.present || vendor != 0x0403 || static_cast<unsigned>(product) != product_of(chip.type))
        return fail(-3, "device not found");
    if (chip.open_error || chip.in_use)
        return fail(chip.in_use ? -5 : chip.open_error,
                    chip.in_use || chip.open_error == -5 ? "unable to claim usb device"
                    : chip.open_error == -3 ? "unable to set usb configuration. Make sure the "
                                              "default FTDI driver is not in use"
                                            : "usb_open() failed");
    ftdi->type = type_of(chip.type);
    opened();
    return 0;
}

int ftdi_usb_open_string(ftdi_context *ftdi, const char *description) {
    int vendor = 0, product = 0;
    if (std::strncmp(description, "d:", 2) == 0)
        return chip.present ? ftdi_usb_open(ftdi, 0x0403, static_cast<int>(product_of(chip.type)))
                            : fail(-3, "device not found");
    if ((description[0] == 'i' || description[0] == 's') && description[1] == ':' &&
        std::sscanf(description + 2, "%i:%i", &vendor, &product) == 2)
        return ftdi_usb_open(ftdi, vendor, product);
    return fail(-11, "illegal description format");
}

int ftdi_usb_close(ftdi_context *) {
    closed();
    return 0;
}

int ftdi_tcioflush(ftdi_context *) {
    purge();
    return 0;
}

// A control transfer: libusb handles the bulk write's completion meanwhile.
int ftdi_tciflush(ftdi_context *) {
    int r = purge_samples();
    transfer.completed = transfer.completed || submit_taken();
    return r;
}

int ftdi_set_bitmode(ftdi_context *, unsigned char bitmask, unsigned char bitmode) {
    return set_mode(bitmask, bitmode);
}
int ftdi_set_baudrate(ftdi_context *, int baudrate) { return set_rate(baudrate); }
int ftdi_set_latency_timer(ftdi_context *, unsigned char latency) { return set_latency(latency); }

int ftdi_write_data(ftdi_context *, const unsigned char *buf, int size) {
    return write_now(buf, size);
}

ftdi_transfer_control *ftdi_write_data_submit(ftdi_context *ftdi, unsigned char *buf, int size) {
    if (!submit(buf, size))
        return nullptr;
    transfer = ftdi_transfer_control();
    transfer.ftdi = ftdi;
    transfer.buf = buf;
    transfer.size = size;
    transfer.completed = submit_taken();
    return &transfer;
}

// Waits for the write to be taken in whole: with nobody reading, a write
// the chip has no room for times out.
int ftdi_transfer_data_done(ftdi_transfer_control *tc) {
    tc->completed = 1;
    return submit_done();
}

void ftdi_transfer_data_cancel(ftdi_transfer_control *tc, struct timeval *) {
    cancel();
    tc->completed = 1;
}

int ftdi_read_data(ftdi_context *, unsigned char *buf, int size) {
    int n = read(buf, size);
    transfer.completed = transfer.completed || submit_taken();
    return n;
}

} // extern "C"
