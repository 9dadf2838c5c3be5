// The FTDI chip that the stand-ins for libftdi1 (Linux) and ftd2xx.dll
// (Windows) put behind their functions. It behaves as the chip does in
// synchronous bit-bang mode, on a clock of its own (virtual microseconds): a byte is clocked each
// microsecond while the chip-to-host FIFO has room, its sample taken before it
// is driven; outputs follow the direction mask, inputs float high; a
// synchronous write must fit the host-to-chip FIFO; an asynchronous write is
// fed to the chip while the host reads; samples reach the host in packets,
// at once when full, else when the latency timer expires; errors can be
// injected. Its pins are wired to a simulated instrument through the
// adapter's pin map, with the converter's timing modelled here on the same
// clock: conversions that are sometimes slow, and a reply spoiled when an
// exchange starts before the conversion has ended.
#pragma once
#include "instrument/sim.hpp"

#include <cstddef>
#include <cstdint>
#include <string>

namespace ftdi_standin {

enum chip_kind { ft232r, ft232h, ft2232h, ft232bm };
// Bit modes, as both APIs number them.
inline constexpr uint8_t mode_reset = 0, mode_bitbang = 1, mode_syncbb = 4;

struct settings {
    bool present = true;
    chip_kind type = ft232h;
    bool in_use = false;        // another program holds it
    int open_error = 0;         // ftdi_usb_open fails with this (-4: no permission)
    int fail_write_after = -1;  // writes that succeed before one fails
    int max_read = 1 << 30;     // bytes one read returns at most
    int fail_read_after = -1;   // samples delivered before reads fail
    const char *fail_call = ""; // "baudrate", "latency" or "reset" fails
    const char *options = "";   // the simulated instrument's
    int conversion_us = 5;      // a conversion's time
    int slow_every = 0;         // every Nth conversion takes slow_us (0: none)
    int slow_us = 400;
    double signal_after_us = -1; // SIGTERM comes once the modelled time passes this
    bool empty_before_tail = false; // a read that would wait for the latency timer comes back empty first
    double us_per_byte = 1;  // the bit-bang clock: a byte a microsecond, as asked
    bool busy_open = false;  // the busy pin not connected: it floats high, ready
};
extern settings chip;
extern sim_instrument instrument;

// What the backend did, and the state it left the chip in.
struct record {
    long round_trips = 0; // a read after a write
    long reads = 0;       // USB reads
    long transfers = 0;   // USB writes, synchronous or not
    long bytes = 0;
    long latency_tails = 0; // short packets sent by the latency timer
    double virtual_us = 0;  // modelled time
    int mode = -1;          // last bit mode set
    int mask = -1;
    int latency = -1;
    int baud = -1;
    bool open = false;
    int contexts = 0;          // libftdi1 contexts made and not yet freed
    bool overflowed = false;   // a synchronous write that could not fit
    int latch = -1;            // the last byte clocked
    long unread_at_reset = -1; // samples not yet read when bit-bang mode was reset
    long spoiled = 0;          // exchanges started mid-conversion
    // The instrument's lines after each byte clocked in synchronous mode,
    // how many of those bytes' samples the host has read, and how many had
    // been clocked when a call first failed (-1: none did).
    std::string lines_clocked;
    long samples_read = 0;
    long clocked_at_failure = -1;
};
extern record done;

void reset(const settings &s);

// The chip as the USB functions reach it. The last error's text, and a
// failure that sets it.
extern const char *error;
int fail(int code, const char *why);
unsigned product_of(chip_kind type);
void opened();
void closed();
void purge();
int purge_samples(); // the samples only: the chip clocks on what it holds; -1 once gone
int set_mode(uint8_t mask, uint8_t mode); // 0, or -1 where "reset" fails
int set_rate(int rate);
int set_latency(int ms);
// A synchronous write with nobody reading: it costs a frame and must fit
// the chip's FIFOs. Its size, or -1.
int write_now(const uint8_t *buf, int size);
// The same while a driver reads in the background (D2XX): never stalls.
int write_read_behind(const uint8_t *buf, int size);
// An asynchronous write: fed to the chip while the host reads.
bool submit(const uint8_t *buf, int size);
bool submit_taken();
void cancel(); // the asynchronous write: what was not yet taken is not sent
int submit_done(); // its size once taken whole, or -1: nobody read, it timed out
// One read: what has reached the host, the latency timer's packet where the
// chip has nothing more to clock. Its size, or -1.
int read(uint8_t *buf, int size);
// Samples waiting at the host.
size_t at_host_count();

} // namespace ftdi_standin
