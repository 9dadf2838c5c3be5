#include "link/ftdi_standin.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>

namespace ftdi_standin {

settings chip;
sim_instrument instrument;
record done;

namespace {

using steady = std::chrono::steady_clock;

std::deque<uint8_t> samples; // taken, not yet read by the host
uint8_t latch = 0;           // the output register
int mask = 0;
int mode = BITMODE_RESET;
bool last_was_write = false;
int writes = 0;
long delivered = 0;
steady::time_point next_byte;
const char *error = "all fine";

unsigned product_of(ftdi_chip_type type) {
    return type == TYPE_R ? 0x6001 : type == TYPE_2232H ? 0x6010 : 0x6014;
}

size_t buffer_of(ftdi_chip_type type) {
    return type == TYPE_R ? 128 : type == TYPE_2232H ? 4096 : 1024;
}

// The pins as they are: driven outputs, and inputs pulled up unless the
// instrument drives them (AD6 its data out, AD7 its busy pin, low while busy).
uint8_t pins() {
    uint8_t status = instrument.read();
    uint8_t inputs =
        static_cast<uint8_t>(((status & 0x40) ? 0x40 : 0) | ((status & 0x80) ? 0 : 0x80));
    uint8_t outputs =
        static_cast<uint8_t>(mode == BITMODE_RESET ? 0x3F : (latch & mask) | (~mask & 0x3F));
    return static_cast<uint8_t>(outputs | inputs);
}

// The instrument's data lines from the pins. D3 and D7 are not wired: D7
// reads high, and the simulated synthesizer's D3 gate follows the inverted
// select, so that it is closed exactly while the converter is selected.
void drive() {
    uint8_t p = pins();
    uint8_t d = static_cast<uint8_t>((p & 0x07) | ((p & 0x38) << 1) | 0x80);
    if (!(d & 0x40))
        d |= 0x08;
    instrument.write(d);
}

int fail(ftdi_context *, int code, const char *why) {
    error = why;
    return code;
}

} // namespace

void reset(const settings &s) {
    chip = s;
    done = record();
    samples.clear();
    latch = 0;
    mask = 0;
    mode = BITMODE_RESET;
    last_was_write = false;
    writes = 0;
    delivered = 0;
    error = "all fine";
    instrument.reset();
    char reason[200];
    if (!instrument.configure(s.options, reason, sizeof reason))
        std::abort();
}

} // namespace ftdi_standin

using namespace ftdi_standin;

extern "C" {

ftdi_context *ftdi_new(void) {
    return static_cast<ftdi_context *>(std::calloc(1, sizeof(ftdi_context)));
}
void ftdi_free(ftdi_context *ftdi) { std::free(ftdi); }
int ftdi_set_interface(ftdi_context *, enum ftdi_interface) { return 0; }
const char *ftdi_get_error_string(ftdi_context *) { return error; }

int ftdi_usb_open(ftdi_context *ftdi, int vendor, int product) {
    if (!chip.present || vendor != 0x0403 ||
        static_cast<unsigned>(product) != product_of(chip.type))
        return fail(ftdi, -3, "device not found");
    if (chip.open_error)
        return fail(ftdi, chip.open_error,
                    chip.open_error == -5   ? "unable to claim usb device"
                    : chip.open_error == -3 ? "unable to set usb configuration. Make sure the "
                                              "default FTDI driver is not in use"
                                            : "usb_open() failed");
    ftdi->type = chip.type;
    done.open = true;
    return 0;
}

int ftdi_usb_open_string(ftdi_context *ftdi, const char *description) {
    int vendor = 0, product = 0;
    if (std::strncmp(description, "d:", 2) == 0)
        return chip.present ? ftdi_usb_open(ftdi, 0x0403, static_cast<int>(product_of(chip.type)))
                            : fail(ftdi, -3, "device not found");
    if ((description[0] == 'i' || description[0] == 's') && description[1] == ':' &&
        std::sscanf(description + 2, "%i:%i", &vendor, &product) == 2)
        return ftdi_usb_open(ftdi, vendor, product);
    return fail(ftdi, -11, "illegal description format");
}

int ftdi_usb_close(ftdi_context *) {
    done.open = false;
    return 0;
}

int ftdi_tcioflush(ftdi_context *) {
    samples.clear();
    return 0;
}

int ftdi_set_bitmode(ftdi_context *ftdi, unsigned char bitmask, unsigned char bitmode) {
    if (bitmode == BITMODE_RESET && std::strcmp(chip.fail_call, "reset") == 0)
        return fail(ftdi, -1, "USB device unavailable");
    if (bitmode == BITMODE_RESET)
        done.unread_at_reset = static_cast<long>(samples.size());
    mask = bitmask & 0x3F; // AD6 and AD7 are wired to the instrument's outputs
    mode = bitmode;
    done.mode = bitmode;
    done.mask = bitmask;
    drive();
    return 0;
}

int ftdi_set_baudrate(ftdi_context *ftdi, int baudrate) {
    if (std::strcmp(chip.fail_call, "baudrate") == 0)
        return fail(ftdi, -2, "setting new baudrate failed");
    done.baud = baudrate;
    return 0;
}

int ftdi_set_latency_timer(ftdi_context *ftdi, unsigned char latency) {
    if (std::strcmp(chip.fail_call, "latency") == 0)
        return fail(ftdi, -2, "unable to set latency timer");
    done.latency = latency;
    return 0;
}

int ftdi_write_data(ftdi_context *ftdi, const unsigned char *buf, int size) {
    if (chip.fail_write_after >= 0 && writes++ >= chip.fail_write_after)
        return fail(ftdi, -1, "usb bulk write failed");
    last_was_write = true;
    ++done.transfers;
    done.bytes += size;
    for (int i = 0; i < size; ++i) {
        if (mode == BITMODE_SYNCBB) {
            // A full buffer stalls the chip: the write times out.
            if (samples.size() >= buffer_of(chip.type)) {
                done.overflowed = true;
                return fail(ftdi, -1, "usb bulk write failed");
            }
            while (steady::now() < next_byte) {
            }
            next_byte = steady::now() + std::chrono::microseconds(1);
            samples.push_back(pins());
        }
        latch = buf[i];
        done.latch = latch;
        drive();
    }
    return size;
}

int ftdi_read_data(ftdi_context *ftdi, unsigned char *buf, int size) {
    if (last_was_write)
        ++done.round_trips;
    last_was_write = false;
    if (chip.fail_read_after >= 0 && delivered >= chip.fail_read_after)
        return fail(ftdi, -1, "usb bulk read failed");
    int n = 0;
    while (n < size && n < chip.max_read && !samples.empty() &&
           (chip.fail_read_after < 0 || delivered + n < chip.fail_read_after)) {
        buf[n++] = samples.front();
        samples.pop_front();
    }
    delivered += n;
    return n;
}

} // extern "C"
