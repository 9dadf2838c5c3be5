// A stand-in for the libgpiod 1.6 functions the GPIO backend calls, compiled
// against Debian's gpiod.h and linked in place of the library. It models a
// board: chips with named lines and offsets, lines held by other programs,
// requests, bulk set and get, pull-downs, and the time between changes; the
// lines of gpiochip0 are wired to the simulated instrument.
#pragma once
#include "instrument/sim.hpp"

namespace gpiod_standin {

struct settings {
    bool board = true;       // there is a GPIO chip at all
    bool named = true;       // gpiochip0's lines are named GPIO0 to GPIO53
    bool second_chip = true; // gpiochip1, lines EXT0 to EXT15
    // gpiochip0's offsets of D0, D1, D2, D4, D5, D6, data out and busy.
    unsigned wiring[8] = {17, 27, 22, 23, 24, 25, 5, 6};
    int held_elsewhere = -1;  // an offset that another program holds
    bool denied = false;      // opening a chip: permission denied
    int fail_set_after = -1;  // bulk sets before the board goes away
    bool powered = true;      // the instrument drives its two outputs
    bool bias = true;         // the kernel offers pull-downs
    const char *options = ""; // the simulated instrument's
};
extern settings board;
extern sim_instrument instrument;

struct record {
    int chips_open = 0;
    bool outputs_held = false, inputs_held = false;
    int initial[6] = {-1, -1, -1, -1, -1, -1}; // the outputs' values as requested
    int input_flags = -1;
    long sets = 0, gets = 0;
    long too_fast = 0; // changes less than a microsecond after the one before
};
extern record done;

void reset(const settings &s);

} // namespace gpiod_standin
