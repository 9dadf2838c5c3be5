// A board's GPIO chips as the system-call stand-in shows them, compiled
// against the real linux/gpio.h: /dev's entries (two chips, and devices that
// only look like one), what sysfs says of each, and the chips' answers to the
// character device's ioctls, checked as the kernel checks them. gpiochip0's
// lines are wired to the simulated instrument.
#pragma once
#include "instrument/sim.hpp"

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

struct stat;

namespace gpio_standin {

struct settings {
    bool board = true;       // there are GPIO chips at all
    bool named = true;       // gpiochip0's lines are named GPIO0 to GPIO53
    bool second_chip = true; // gpiochip1, "ext-expander", lines EXT0 to EXT15
    // gpiochip0's offsets of D0, D1, D2, D4, D5, D6, data out and busy.
    unsigned wiring[8] = {17, 27, 22, 23, 24, 25, 5, 6};
    int held_elsewhere = -1;  // an offset of gpiochip0 that pigpio holds
    bool denied = false;      // opening a chip: permission denied
    int fail_set_after = -1;  // sets before the board goes away
    bool powered = true;      // the instrument drives its two outputs
    enum { pulls, ignores, refuses } bias = pulls; // what the chip does with a pull-down
    int input_request_errno = 0;  // the inputs' request fails with this
    int output_request_errno = 0; // the outputs' likewise
    bool moved = false;          // gpiochip1 is another device by the time it is open
    bool same_labels = false;    // gpiochip1 has gpiochip0's label
    bool name_twice = false;     // gpiochip1's line 3 is named GPIO17 too
    const char *options = ""; // the simulated instrument's
};
extern settings board;
extern sim_instrument instrument;

struct record {
    bool outputs_held = false, inputs_held = false;
    int initial[6] = {-1, -1, -1, -1, -1, -1}; // the outputs' values as requested
    uint64_t input_flags = 0, output_flags = 0; // as requested (a pull the chip ignores left out)
    long sets = 0, gets = 0;
    long sets_after_sets = 0;         // sets with no get since the set before
    long too_fast = 0;                // changes less than a microsecond after the one before
    std::vector<std::string> opened;  // every path of the board opened
};
extern record done;

void reset(const settings &s);

// For the system-call stand-in. Each answers -1 where the path is not the
// board's; otherwise 0 or an errno.
int stat(const std::string &path, struct stat *info, bool opened); // opened: fstat's
int readlink(const std::string &path, std::string *target);
std::vector<std::string> dev_entries();
int open(const std::string &path, int *chip); // *chip: -1 for a device that is not one
int chip_ioctl(int chip, unsigned long request, void *arg, int *line_request);
int request_ioctl(int line_request, unsigned long request, void *arg);
void release(int line_request);

} // namespace gpio_standin
