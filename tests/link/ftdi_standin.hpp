// A stand-in for the libftdi1 functions the FTDI backend calls, linked in
// place of the library. It behaves as the chip does in synchronous bit-bang
// mode, on a clock of its own (virtual microseconds): a byte is clocked each
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

#include <ftdi.h>
#include <string>

namespace ftdi_standin {

struct settings {
    bool present = true;
    ftdi_chip_type type = TYPE_232H;
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
};
extern settings chip;
extern sim_instrument instrument;

// What the backend did, and the state it left the chip in.
struct record {
    long round_trips = 0; // a read after a write
    long transfers = 0;   // USB writes, synchronous or not
    long bytes = 0;
    long latency_tails = 0; // short packets sent by the latency timer
    double virtual_us = 0;  // modelled time
    int mode = -1;          // last bit mode set
    int mask = -1;
    int latency = -1;
    int baud = -1;
    bool open = false;
    bool overflowed = false;   // a synchronous write that could not fit
    int latch = -1;            // the last byte clocked
    long unread_at_reset = -1; // samples not yet read when bit-bang mode was reset
    long spoiled = 0;          // exchanges started mid-conversion
};
extern record done;

void reset(const settings &s);

} // namespace ftdi_standin
