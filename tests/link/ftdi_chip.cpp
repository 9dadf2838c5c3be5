#include "link/ftdi_chip.hpp"

#include "link/stop_plan.hpp"

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
int mode = mode_reset;
bool last_was_write = false;
bool empty_given = false; // the empty read before a latency tail, given
int writes = 0;
long delivered = 0;
// An asynchronous write: fed to the chip as it makes room.
bool taken = false;
const unsigned char *pending = nullptr;
int pending_size = 0, pending_fed = 0;

// The converter's timing, on the stand-in's clock.
double converting_until = 0;
long conversions = 0;
bool selected = false, spoiling = false;

// Each FIFO's size, the data bytes of a full packet, and a USB frame.
size_t fifo_of(chip_kind type) { return type == ft232r ? 128 : type == ft2232h ? 4096 : 1024; }
size_t packet_of(chip_kind type) { return type == ft232r ? 62 : 510; }
double frame_us(chip_kind type) { return type == ft232r ? 1000 : 125; }

// The pins as they are: driven outputs, and inputs pulled up unless the
// instrument drives them (AD6 its data out, AD7 its busy pin, low while busy).
uint8_t pins() {
    uint8_t status = instrument.read();
    bool busy = !chip.busy_open && ((status & 0x80) || done.virtual_us < converting_until);
    bool data = (status & 0x40) != 0;
    if (spoiling)
        data = !data; // clocked mid-conversion: no reply to trust
    uint8_t inputs = static_cast<uint8_t>((data ? 0x40 : 0) | (busy ? 0 : 0x80));
    uint8_t outputs =
        static_cast<uint8_t>(mode == mode_reset ? 0x3F : (latch & mask) | (~mask & 0x3F));
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
        taken = true;
    while (!to_chip.empty()) {
        if (mode == mode_syncbb) {
            if (from_chip.size() >= fifo)
                break; // stalled until the host takes a packet
            from_chip.push_back(pins());
            done.virtual_us += chip.us_per_byte;
            if (chip.signal_after_us >= 0 && done.virtual_us >= chip.signal_after_us) {
                chip.signal_after_us = -1;
                std::raise(SIGTERM);
            }
        }
        latch = to_chip.front();
        to_chip.pop_front();
        done.latch = latch;
        drive();
        if (mode == mode_syncbb)
            done.lines_clocked += static_cast<char>(instrument.lines());
        the_stop_plan.access(instrument.lines());
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
    empty_given = false;
    chip = s;
    done = record();
    to_chip.clear();
    from_chip.clear();
    at_host.clear();
    latch = 0;
    mask = 0;
    mode = mode_reset;
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

const char *error = "all fine";

int fail(int code, const char *why) {
    error = why;
    if (done.clocked_at_failure < 0)
        done.clocked_at_failure = static_cast<long>(done.lines_clocked.size());
    return code;
}

unsigned product_of(chip_kind type) {
    return type == ft232r ? 0x6001 : type == ft2232h ? 0x6010 : 0x6014; // an older chip: the H's ids
}

void opened() { done.open = true; }
void closed() { done.open = false; }

void purge() {
    to_chip.clear();
    from_chip.clear();
    at_host.clear();
}

// An adapter whose writes fail is gone: nothing it is asked does anything.
int purge_samples() {
    if (chip.fail_write_after >= 0 && writes >= chip.fail_write_after)
        return fail(-1, "USB device unavailable");
    from_chip.clear();
    at_host.clear();
    while (step(false)) {
    }
    return 0;
}

int set_mode(uint8_t bitmask, uint8_t bitmode) {
    if (bitmode == mode_reset && std::strcmp(chip.fail_call, "reset") == 0)
        return fail(-1, "USB device unavailable");
    if (bitmode == mode_reset)
        done.unread_at_reset = static_cast<long>(to_chip.size() + from_chip.size() + at_host.size());
    mask = bitmask & 0x3F; // AD6 and AD7 are wired to the instrument's outputs
    mode = bitmode;
    done.mode = bitmode;
    done.mask = bitmask;
    drive();
    return 0;
}

int set_rate(int rate) {
    if (std::strcmp(chip.fail_call, "baudrate") == 0)
        return fail(-2, "setting new baudrate failed");
    done.baud = rate;
    return 0;
}

int set_latency(int ms) {
    if (std::strcmp(chip.fail_call, "latency") == 0)
        return fail(-2, "unable to set latency timer");
    done.latency = ms;
    return 0;
}

int write_now(const uint8_t *buf, int size) {
    if (chip.fail_write_after >= 0 && writes++ >= chip.fail_write_after)
        return fail(-1, "usb bulk write failed");
    last_was_write = true;
    ++done.transfers;
    done.bytes += size;
    done.virtual_us += frame_us(chip.type);
    for (int i = 0; i < size; ++i) {
        step(false);
        if (to_chip.size() >= fifo_of(chip.type)) {
            done.overflowed = true;
            return fail(-1, "usb bulk write failed");
        }
        to_chip.push_back(buf[i]);
    }
    step(false);
    return size;
}

int write_read_behind(const uint8_t *buf, int size) {
    if (chip.fail_write_after >= 0 && writes++ >= chip.fail_write_after)
        return fail(-1, "usb bulk write failed");
    last_was_write = true;
    ++done.transfers;
    done.bytes += size;
    for (int i = 0; i < size; ++i) {
        while (to_chip.size() >= fifo_of(chip.type))
            step(true);
        to_chip.push_back(buf[i]);
    }
    step(true);
    return size;
}

bool submit(const uint8_t *buf, int size) {
    if (pending || (chip.fail_write_after >= 0 && writes++ >= chip.fail_write_after)) {
        fail(-1, "usb bulk write failed");
        return false;
    }
    last_was_write = true;
    ++done.transfers;
    done.bytes += size;
    taken = false;
    pending = buf;
    pending_size = size;
    pending_fed = 0;
    step(false);
    return true;
}

bool submit_taken() { return taken; }

void cancel() {
    pending = nullptr;
    taken = true;
}

int submit_done() {
    while (step(false)) {
    }
    int size = pending_size;
    bool whole = pending_fed == pending_size;
    pending = nullptr;
    taken = true;
    if (!whole)
        return fail(-1, "usb bulk write timed out");
    return size;
}

int read(uint8_t *buf, int size) {
    ++done.reads;
    if (last_was_write)
        ++done.round_trips;
    last_was_write = false;
    if (chip.fail_read_after >= 0 && delivered >= chip.fail_read_after)
        return fail(-1, "usb bulk read failed");
    while (step(true)) {
    }
    if (at_host.empty() && !from_chip.empty() && chip.empty_before_tail && !empty_given) {
        empty_given = true; // as a real read does while the timer runs
        return 0;
    }
    empty_given = false;
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
    done.samples_read = delivered;
    return n;
}

size_t at_host_count() {
    while (step(true)) {
    }
    return at_host.size();
}

} // namespace ftdi_standin
