// A stand-in for the libftdi1 functions the FTDI backend calls, linked in
// place of the library. It behaves as the chip does in synchronous bit-bang
// mode, one byte per microsecond: each byte's sample is taken before the byte
// is driven, outputs follow the direction mask, inputs float high, the chip
// holds only so many unread samples, reads may come back short, and errors
// can be injected. Its pins are wired to a simulated instrument through the
// adapter's pin map.
#pragma once
#include "instrument/sim.hpp"

#include <ftdi.h>
#include <string>

namespace ftdi_standin {

struct settings {
    bool present = true;
    ftdi_chip_type type = TYPE_232H;
    int open_error = 0;        // ftdi_usb_open fails with this (-4: no permission)
    int fail_write_after = -1; // writes that succeed before one fails
    int max_read = 1 << 30;    // bytes one read returns at most
    int fail_read_after = -1;  // samples delivered before reads fail
    const char *fail_call = ""; // "baudrate", "latency" or "reset" fails
    const char *options = "";  // the simulated instrument's
};
extern settings chip;
extern sim_instrument instrument;

// What the backend did: USB round trips (a read after a write), bytes
// written, and the state it left the chip in.
struct record {
    long round_trips = 0;
    long transfers = 0; // USB writes
    long bytes = 0;
    int mode = -1; // last bit mode set
    int mask = -1;
    int latency = -1;
    int baud = -1;
    bool open = false;
    bool overflowed = false; // more unread samples than the chip holds
    int latch = -1;              // the last byte written
    long unread_at_reset = -1; // samples not yet read when bit-bang mode was reset
};
extern record done;

void reset(const settings &s);

} // namespace ftdi_standin
