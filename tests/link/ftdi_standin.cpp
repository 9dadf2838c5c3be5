#include "link/ftdi_standin.hpp"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>

namespace ftdi_standin {

settings chip;
sim_instrument instrument;
record done;

namespace {

std::deque<uint8_t> to_chip;   // written, not yet clocked
std::deque<uint8_t> from_chip; // samples in the chip, not yet sent to the host
std::deque<uint8_t> at_host;   // samples that reached the host, not yet read
uint8_t latch = 0;             // the output register
int mask = 0;
int mode = BITMODE_RESET;
bool last_was_write = false;
int writes = 0;
long delivered = 0;
const char *error = "all fine";

// An asynchronous write: fed to the chip as it makes room.
ftdi_transfer_control transfer;
const unsigned char *pending = nullptr;
int pending_size = 0, pending_fed = 0;

// The converter's timing, on the stand-in's clock.
double converting_until = 0;
long conversions = 0;
bool selected = false, spoiling = false;

unsigned product_of(ftdi_chip_type type) {
    return type == TYPE_R ? 0x6001 : type == TYPE_2232H ? 0x6010 : 0x6014;
}

// Each FIFO's size, the data bytes of a full packet, and a USB frame.
size_t fifo_of(ftdi_chip_type type) {
    return type == TYPE_R ? 128 : type == TYPE_2232H ? 4096 : 1024;
}
size_t packet_of(ftdi_chip_type type) { return type == TYPE_R ? 62 : 510; }
double frame_us(ftdi_chip_type type) { return type == TYPE_R ? 1000 : 125; }

// The pins as they are: driven outputs, and inputs pulled up unless the
// instrument drives them (AD6 its data out, AD7 its busy pin, low while busy).
uint8_t pins() {
    uint8_t status = instrument.read();
    bool busy = (status & 0x80) || done.virtual_us < converting_until;
    bool data = (status & 0x40) != 0;
    if (spoiling)
        data = !data; // clocked mid-conversion: no reply to trust
    uint8_t inputs = static_cast<uint8_t>((data ? 0x40 : 0) | (busy ? 0 : 0x80));
    uint8_t outputs =
        static_cast<uint8_t>(mode == BITMODE_RESET ? 0x3F : (latch & mask) | (~mask & 0x3F));
    return static_cast<uint8_t>(outputs | inputs);
}

// The instrument's data lines from the pins. D3 and D7 are not wired: D7
// reads high, and the simulated synthesizer's D3 gate follows the inverted
// select, so that it is closed exactly while the converter is selected. The
// select's edges start an exchange and, once released, a conversion.
void drive() {
    uint8_t p = pins();
    uint8_t d = static_cast<uint8_t>((p & 0x07) | ((p & 0x38) << 1) | 0x80);
    bool select = !(d & 0x40);
    if (select)
        d |= 0x08;
    if (select && !selected) {
        spoiling = done.virtual_us < converting_until;
        done.spoiled += spoiling;
    } else if (!select && selected) {
        ++conversions;
        bool slow = chip.slow_every > 0 && conversions % chip.slow_every == 0;
        converting_until = done.virtual_us + (slow ? chip.slow_us : chip.conversion_us);
        spoiling = false;
    }
    selected = select;
    instrument.write(d);
}

int fail(ftdi_context *, int code, const char *why) {
    error = why;
    return code;
}

// Runs the chip as far as it can: an asynchronous write fed in, bytes
// clocked while the samples have room, and (while the host reads) full
// packets sent. False when nothing moved.
bool step(bool reading) {
    bool moved = false;
    size_t fifo = fifo_of(chip.type);
    while (pending && pending_fed < pending_size && to_chip.size() < fifo) {
        to_chip.push_back(pending[pending_fed++]);
        moved = true;
    }
    if (pending && pending_fed == pending_size)
        transfer.completed = 1;
    while (!to_chip.empty()) {
        if (mode == BITMODE_SYNCBB) {
            if (from_chip.size() >= fifo)
                break; // stalled until the host takes a packet
            from_chip.push_back(pins());
            done.virtual_us += 1;
            if (chip.signal_after_us >= 0 && done.virtual_us >= chip.signal_after_us) {
                chip.signal_after_us = -1;
                std::raise(SIGTERM);
            }
        }
        latch = to_chip.front();
        to_chip.pop_front();
        done.latch = latch;
        drive();
        moved = true;
    }
    size_t packet = packet_of(chip.type);
    while (reading && from_chip.size() >= packet) {
        at_host.insert(at_host.end(), from_chip.begin(), from_chip.begin() + packet);
        from_chip.erase(from_chip.begin(), from_chip.begin() + packet);
        moved = true;
    }
    return moved;
}

} // namespace

void reset(const settings &s) {
    chip = s;
    done = record();
    to_chip.clear();
    from_chip.clear();
    at_host.clear();
    latch = 0;
    mask = 0;
    mode = BITMODE_RESET;
    last_was_write = false;
    writes = 0;
    delivered = 0;
    error = "all fine";
    pending = nullptr;
    converting_until = 0;
    conversions = 0;
    selected = spoiling = false;
    instrument.reset();
    // The converter's timing is this model's: the instrument itself answers
    // at once unless told otherwise.
    std::string options = s.options;
    if (options.find("busy=") == std::string::npos)
        options = "busy=0" + std::string(options.empty() ? "" : ",") + options;
    char reason[200];
    if (!instrument.configure(options.c_str(), reason, sizeof reason))
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
    to_chip.clear();
    from_chip.clear();
    at_host.clear();
    return 0;
}

int ftdi_set_bitmode(ftdi_context *ftdi, unsigned char bitmask, unsigned char bitmode) {
    if (bitmode == BITMODE_RESET && std::strcmp(chip.fail_call, "reset") == 0)
        return fail(ftdi, -1, "USB device unavailable");
    if (bitmode == BITMODE_RESET)
        done.unread_at_reset = static_cast<long>(to_chip.size() + from_chip.size() + at_host.size());
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

// A synchronous write: one frame, and its bytes must fit the chip's FIFOs
// with nothing reading, or it times out.
int ftdi_write_data(ftdi_context *ftdi, const unsigned char *buf, int size) {
    if (chip.fail_write_after >= 0 && writes++ >= chip.fail_write_after)
        return fail(ftdi, -1, "usb bulk write failed");
    last_was_write = true;
    ++done.transfers;
    done.bytes += size;
    done.virtual_us += frame_us(chip.type);
    for (int i = 0; i < size; ++i) {
        step(false);
        if (to_chip.size() >= fifo_of(chip.type)) {
            done.overflowed = true;
            return fail(ftdi, -1, "usb bulk write failed");
        }
        to_chip.push_back(buf[i]);
    }
    step(false);
    return size;
}

ftdi_transfer_control *ftdi_write_data_submit(ftdi_context *ftdi, unsigned char *buf, int size) {
    if (pending || (chip.fail_write_after >= 0 && writes++ >= chip.fail_write_after)) {
        fail(ftdi, -1, "usb bulk write failed");
        return nullptr;
    }
    last_was_write = true;
    ++done.transfers;
    done.bytes += size;
    transfer = ftdi_transfer_control();
    transfer.ftdi = ftdi;
    transfer.buf = buf;
    transfer.size = size;
    pending = buf;
    pending_size = size;
    pending_fed = 0;
    step(false);
    return &transfer;
}

// Waits for the write to be taken in whole: with nobody reading, a write
// the chip has no room for times out.
int ftdi_transfer_data_done(ftdi_transfer_control *tc) {
    while (step(false)) {
    }
    int size = pending_size;
    bool whole = pending_fed == pending_size;
    pending = nullptr;
    tc->completed = 1;
    if (!whole)
        return fail(tc->ftdi, -1, "usb bulk write timed out");
    return size;
}

int ftdi_read_data(ftdi_context *ftdi, unsigned char *buf, int size) {
    if (last_was_write)
        ++done.round_trips;
    last_was_write = false;
    if (chip.fail_read_after >= 0 && delivered >= chip.fail_read_after)
        return fail(ftdi, -1, "usb bulk read failed");
    while (step(true)) {
    }
    if (at_host.empty() && !from_chip.empty()) {
        // Nothing more to clock: the short packet waits for the latency timer.
        done.virtual_us += done.latency > 0 ? done.latency * 1000.0 : 16000.0;
        ++done.latency_tails;
        at_host.insert(at_host.end(), from_chip.begin(), from_chip.end());
        from_chip.clear();
        while (step(true)) {
        }
    }
    int n = 0;
    while (n < size && n < chip.max_read && !at_host.empty() &&
           (chip.fail_read_after < 0 || delivered + n < chip.fail_read_after)) {
        buf[n++] = at_host.front();
        at_host.pop_front();
    }
    delivered += n;
    return n;
}

} // extern "C"
