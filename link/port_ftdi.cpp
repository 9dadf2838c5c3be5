// An FTDI FT232R, FT232H or FT2232H (interface A) in synchronous bit-bang
// mode, through libftdi1. A batch goes out in one USB write. The chip samples
// its pins just before it drives each byte, so the state after byte k comes
// back with byte k+1: a read is answered by the sample of the byte after it,
// and where no byte follows, a repeat of the last one (which changes no line)
// is sent for it.
#include "link/backends.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ftdi.h>

namespace {

// Pin map: D0-D2 on AD0-AD2, D4-D6 on AD3-AD5 (D3 and D7 are not wired);
// AD6 and AD7 are inputs.
constexpr uint8_t output_pins = 0x3F;
constexpr uint8_t data_out_pin = 0x40; // AD6: converter serial data out
constexpr uint8_t busy_pin = 0x80;     // AD7: the converter's busy pin, low while busy

uint8_t pins_of(uint8_t data) { return static_cast<uint8_t>((data & 0x07) | ((data >> 1) & 0x38)); }

// What a parallel port's status register would read: bit 7 inverts the pin.
uint8_t status_of(uint8_t pins) {
    return static_cast<uint8_t>(((pins & data_out_pin) ? status_data : 0) |
                                ((pins & busy_pin) ? 0 : status_busy));
}

// libftdi multiplies a bit-bang rate by 4 and the chip clocks bytes at 16
// times the baud rate it is given: 15625 is one byte, so at most one line
// change, per microsecond, the pace of a parallel port access.
constexpr int bitbang_rate = 15625;
constexpr unsigned char latency_ms = 1;
// Busy samples read after each exchange: a converter ready within 32 us
// costs no round trip of its own.
constexpr size_t read_ahead = 32;
constexpr int answer_ms = 1000; // a chip that has not answered by then is lost

const unsigned product_ids[] = {0x6014, 0x6010, 0x6001}; // FT232H, FT2232H, FT232R

ftdi_context *ftdi = nullptr;
char shown[160];    // the port as the user named it
size_t chip_buffer; // samples the chip holds for the host
size_t unread;      // samples of bytes sent and not yet read
size_t read_back;   // of those, read by the last collect, even one that failed
bool bitbang;       // the chip is in a bit-bang mode: reset it before closing
uint8_t last_pins = output_pins;
uint8_t ahead[read_ahead];
size_t ahead_count, ahead_next;
uint8_t tx[2 * port_batch::capacity + read_ahead];
uint8_t rx[4096];

const char udev_hint[] = "; permission denied? install the udev rule: sudo cp "
                         "udev/60-talvik-ftdi.rules /etc/udev/rules.d/ && sudo udevadm control "
                         "--reload-rules, then plug the adapter in again (your user must be in "
                         "the plugdev group)";

// Takes the chip out of bit-bang mode and lets go of it: the kernel's serial
// driver comes back. The reason when the reset failed, else null.
const char *release() {
    static char why[200];
    const char *failed = nullptr;
    if (ftdi) {
        if (bitbang && ftdi_set_bitmode(ftdi, 0x00, BITMODE_RESET) < 0) {
            std::snprintf(why, sizeof why, "cannot leave bit-bang mode: %s",
                          ftdi_get_error_string(ftdi));
            failed = why;
        }
        ftdi_usb_close(ftdi);
        ftdi_free(ftdi);
    }
    ftdi = nullptr;
    bitbang = false;
    return failed;
}

// The adapter failed mid-sweep: where it is still there, its lines go idle
// and it leaves bit-bang mode. reached: the accesses of this call whose
// bytes were driven.
[[noreturn]] void lost(const char *why, size_t reached) {
    char reason[200];
    std::snprintf(reason, sizeof reason, "%s", why); // the context's text goes with it
    uint8_t idle = output_pins;
    (void)ftdi_write_data(ftdi, &idle, 1);
    release();
    port_lost(shown, reason, reached);
}

// Reads the samples of every byte sent so far into rx; the reason on failure.
const char *read_samples() {
    read_back = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(answer_ms);
    while (read_back < unread) {
        int n = ftdi_read_data(ftdi, rx + read_back, static_cast<int>(unread - read_back));
        if (n < 0)
            return ftdi_get_error_string(ftdi);
        read_back += static_cast<size_t>(n);
        if (n == 0 && std::chrono::steady_clock::now() > deadline)
            return "the adapter stopped answering";
    }
    unread = 0;
    return nullptr;
}

void collect() {
    if (const char *why = read_samples())
        lost(why, 0);
}

// Sends bytes; never lets the chip hold more samples than its buffer, where
// it would stall its clock.
void send(const uint8_t *bytes, size_t count) {
    if (unread + count > chip_buffer)
        collect();
    int n = ftdi_write_data(ftdi, bytes, static_cast<int>(count));
    if (n < 0 || static_cast<size_t>(n) != count)
        lost(n < 0 ? ftdi_get_error_string(ftdi) : "short write", 0);
    unread += count;
}

// Repeats of the last byte, whose samples answer the reads to come.
void refill() {
    std::memset(tx, last_pins, read_ahead);
    send(tx, read_ahead);
    size_t before = unread - read_ahead;
    collect();
    std::memcpy(ahead, rx + before, read_ahead);
    ahead_count = read_ahead;
    ahead_next = 0;
}

void ftdi_set_data(uint8_t value) {
    if (!ftdi)
        return;
    ahead_count = 0; // older samples say nothing of the lines from now on
    last_pins = pins_of(value);
    send(&last_pins, 1);
}

uint8_t ftdi_get_status() {
    if (!ftdi)
        return 0;
    if (ahead_next >= ahead_count)
        refill();
    return status_of(ahead[ahead_next++]);
}

void run_chunk(port_access *accesses, size_t count) {
    size_t n = 0;
    size_t at[port_batch::capacity]; // the byte whose sample answers each read
    bool reads = false;
    for (size_t i = 0; i < count; ++i) {
        if (accesses[i].kind == 'W') {
            last_pins = pins_of(accesses[i].value);
            tx[n++] = last_pins;
        } else {
            reads = true;
            at[i] = n;
            if (i + 1 == count || accesses[i + 1].kind != 'W')
                tx[n++] = last_pins;
        }
    }
    ahead_count = 0;
    if (!reads) {
        // Its samples wait in the chip: the next batch's read takes them.
        send(tx, n);
        return;
    }
    std::memset(tx + n, last_pins, read_ahead);
    send(tx, n + read_ahead);
    size_t before = unread - (n + read_ahead);
    const uint8_t *mine = rx + before;
    if (const char *why = read_samples()) {
        // What reached the lines: the accesses whose bytes were driven, as
        // the samples read back show.
        size_t driven = read_back > before ? read_back - before : 0, reached = 0, byte = 0;
        for (; reached < count; ++reached) {
            if (accesses[reached].kind == 'W') {
                if (byte >= driven)
                    break;
                ++byte;
            } else {
                if (at[reached] >= driven)
                    break;
                accesses[reached].value = status_of(mine[at[reached]]);
                if (reached + 1 == count || accesses[reached + 1].kind != 'W')
                    ++byte;
            }
        }
        lost(why, reached);
    }
    for (size_t i = 0; i < count; ++i)
        if (accesses[i].kind == 'R')
            accesses[i].value = status_of(mine[at[i]]);
    std::memcpy(ahead, mine + n, read_ahead);
    ahead_count = read_ahead;
    ahead_next = 0;
}

// A run longer than the chip holds samples for goes in pieces, each with its
// bytes (a write's, a last read's repeat) and the read-ahead within it.
void ftdi_run_batch(port_access *accesses, size_t count) {
    size_t room = chip_buffer - read_ahead - 1;
    for (size_t first = 0; first < count;) {
        size_t end = first, bytes = 0;
        while (end < count && bytes < room) {
            bytes += accesses[end].kind == 'W' ? 1 : 0;
            ++end;
        }
        run_chunk(accesses + first, end - first);
        first = end;
    }
}

bool refuse(char *reason, size_t size, const char *format, const char *detail) {
    std::snprintf(reason, size, format, detail);
    release();
    return false;
}

// A step of the open that failed once bit-bang mode may be set: the reason,
// then the chip leaves the mode and is closed.
bool refuse_open_step(char *reason, size_t size) {
    return refuse(reason, size, "%s", ftdi_get_error_string(ftdi));
}

bool ftdi_open(const char *device, char *reason, size_t size) {
    std::snprintf(shown, sizeof shown, "%s%s", *device ? "ftdi:" : "ftdi", device);
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
            if ((result = ftdi_usb_open(ftdi, 0x0403, static_cast<int>(id))) != -3 ||
                std::strcmp(ftdi_get_error_string(ftdi), "device not found") != 0)
                break;
    // libftdi1 says -3 both for no device and for a device whose USB
    // configuration cannot be set: only its text tells them apart.
    if (result == -3 && std::strcmp(ftdi_get_error_string(ftdi), "device not found") != 0)
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
    switch (ftdi->type) {
    case TYPE_R:
        chip_buffer = 128;
        break;
    case TYPE_232H:
        chip_buffer = 1024;
        break;
    case TYPE_2232H:
        chip_buffer = 4096;
        break;
    default:
        return refuse(reason, size, "%s",
                      "not an FT232R, FT232H or FT2232H; other FTDI chips are not supported");
    }
    unread = ahead_count = ahead_next = 0;
    last_pins = output_pins;
    // The outputs come up idle: the level is set while every pin is still an
    // input, then the six outputs are turned on.
    if (ftdi_tcioflush(ftdi) < 0)
        return refuse_open_step(reason, size);
    bitbang = true; // from the first try on: a half-done set leaves the mode on
    if (ftdi_set_bitmode(ftdi, 0x00, BITMODE_BITBANG) < 0 ||
        ftdi_write_data(ftdi, &last_pins, 1) != 1 ||
        ftdi_set_bitmode(ftdi, output_pins, BITMODE_SYNCBB) < 0 || ftdi_tcioflush(ftdi) < 0 ||
        ftdi_set_baudrate(ftdi, bitbang_rate) < 0 || ftdi_set_latency_timer(ftdi, latency_ms) < 0)
        return refuse_open_step(reason, size);
    return true;
}

const char *ftdi_close() {
    static char why[200];
    if (!ftdi)
        return nullptr;
    // Every byte, the idle one last, has been driven before the mode goes.
    const char *failed = read_samples();
    if (failed)
        std::snprintf(why, sizeof why, "%s", failed);
    const char *reset = release();
    return failed ? why : reset;
}

} // namespace

extern const port_backend ftdi_port = {"ftdi",        ftdi_open,       ftdi_close,
                                       ftdi_set_data, ftdi_get_status, ftdi_run_batch};
