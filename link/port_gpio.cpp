// A board's GPIO lines as the port, through the kernel's GPIO character
// device (libgpiod 1.6): six outputs, D0-D2 and D4-D6, in one bulk request
// that sets them idle (high) as it takes them, and two inputs, the
// converter's data out and its busy pin, in another, pulled down where the
// kernel offers bias, so that a missing instrument reads busy. A write is one
// bulk set, a read one bulk get; lines never change faster than once a
// microsecond, a parallel port's pace.
#include "link/backends.hpp"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <gpiod.h>
#include <string>

namespace {

// D0, D1, D2, D4, D5, D6, then data out and busy: the header's BCM names on
// a Raspberry Pi (pins 11, 13, 15, 16, 18, 22, 29, 31).
const char *const default_lines[8] = {"GPIO17", "GPIO27", "GPIO22", "GPIO23",
                                      "GPIO24", "GPIO25", "GPIO5",  "GPIO6"};
const char *const roles[8] = {"D0 (synthesizer data)",  "D1 (synthesizer clock)",
                              "D2 (synthesizer update)", "D4 (converter data in)",
                              "D5 (converter clock)",    "D6 (converter select)",
                              "data out (input)",        "busy (input)"};
const uint8_t output_bits[6] = {0x01, 0x02, 0x04, 0x10, 0x20, 0x40};

struct gpio_lines {
    gpiod_chip *chip = nullptr;
    gpiod_line_bulk outputs, inputs;
    bool outputs_held = false, inputs_held = false;
    std::chrono::steady_clock::time_point last_change;
};

gpio_lines &lines_of(void *self) { return *static_cast<gpio_lines *>(self); }

const char permission_hint[] =
    "; on Raspberry Pi OS add your user to the gpio group; elsewhere install the udev rule: "
    "sudo cp udev/60-talvik-gpio.rules /etc/udev/rules.d/ && sudo udevadm trigger (your user "
    "must be in the plugdev group)";

const char *hint_for(int error) {
    return error == EACCES || error == EPERM ? permission_hint : "";
}

void release(gpio_lines &g) {
    if (g.outputs_held)
        gpiod_line_release_bulk(&g.outputs);
    if (g.inputs_held)
        gpiod_line_release_bulk(&g.inputs);
    g.outputs_held = g.inputs_held = false;
    if (g.chip)
        gpiod_chip_close(g.chip);
    g.chip = nullptr;
}

void *refuse(gpio_lines *g, char *reason, size_t size, const std::string &why) {
    std::snprintf(reason, size, "%s", why.c_str());
    release(*g);
    delete g;
    return nullptr;
}

// Where each of the eight lines is: a chip's name and an offset.
struct place {
    std::string chip;
    unsigned offset;
};

// A name found by libgpiod (which opens a chip of its own for it, closed
// here), or CHIP/OFFSET.
bool locate(const std::string &entry, place *at, std::string *why) {
    size_t slash = entry.find('/');
    if (slash != std::string::npos) {
        char *end = nullptr;
        unsigned long offset = std::strtoul(entry.c_str() + slash + 1, &end, 10);
        if (slash == 0 || end == entry.c_str() + slash + 1 || *end) {
            *why = "not a line: " + entry + " (a line name, or CHIP/OFFSET such as gpiochip0/17)";
            return false;
        }
        *at = {entry.substr(0, slash), static_cast<unsigned>(offset)};
        return true;
    }
    errno = 0;
    gpiod_line *line = gpiod_line_find(entry.c_str());
    if (!line) {
        int error = errno;
        if (error && error != ENOENT) {
            *why = "cannot look for line " + entry + ": " + std::strerror(error) + hint_for(error);
            return false;
        }
        gpiod_chip *any = gpiod_chip_open_by_name("gpiochip0");
        if (!any) {
            *why = "not a board with GPIO lines (no /dev/gpiochip0)";
            return false;
        }
        gpiod_chip_close(any);
        *why = "no line named " + entry + " (gpioinfo lists the lines; name them as CHIP/OFFSET "
               "where they have no names)";
        return false;
    }
    gpiod_chip *owner = gpiod_line_get_chip(line);
    *at = {gpiod_chip_name(owner), gpiod_line_offset(line)};
    gpiod_chip_close(owner);
    return true;
}

void *gpio_open(const char *arg, const port_notes &, char *reason, size_t size) {
    auto *g = new gpio_lines;
    std::string entries[8];
    if (!*arg) {
        for (int i = 0; i < 8; ++i)
            entries[i] = default_lines[i];
    } else {
        std::string text = arg;
        int n = 0;
        for (size_t start = 0; start <= text.size() && n <= 8;) {
            size_t comma = text.find(',', start);
            if (comma == std::string::npos)
                comma = text.size();
            if (n < 8)
                entries[n] = text.substr(start, comma - start);
            ++n;
            start = comma + 1;
        }
        if (n != 8)
            return refuse(g, reason, size,
                          "gpio:LINES names eight lines, comma-separated: D0, D1, D2, D4, D5, D6, "
                          "data out, busy");
    }
    place at[8];
    std::string why;
    for (int i = 0; i < 8; ++i) {
        if (!locate(entries[i], &at[i], &why))
            return refuse(g, reason, size, why);
        if (at[i].chip != at[0].chip)
            return refuse(g, reason, size,
                          "lines of two chips (" + entries[0] + " on " + at[0].chip + ", " +
                              entries[i] + " on " + at[i].chip +
                              "): all eight must be lines of one chip");
    }
    // One chip object for all eight: libgpiod requests lines of one object.
    g->chip = gpiod_chip_open_by_name(at[0].chip.c_str());
    if (!g->chip) {
        int error = errno;
        return refuse(g, reason, size,
                      at[0].chip + ": " + std::strerror(error) + hint_for(error));
    }
    gpiod_line_bulk_init(&g->outputs);
    gpiod_line_bulk_init(&g->inputs);
    for (int i = 0; i < 8; ++i) {
        gpiod_line *line = gpiod_chip_get_line(g->chip, at[i].offset);
        if (!line)
            return refuse(g, reason, size,
                          "no line " + entries[i] + " on " + at[0].chip + ": " +
                              std::strerror(errno));
        if (gpiod_line_is_used(line)) {
            const char *holder = gpiod_line_consumer(line);
            return refuse(g, reason, size,
                          "line " + entries[i] + " (" + roles[i] + ") is in use by " +
                              (holder && *holder ? holder : "another program") +
                              " (gpioinfo shows who holds it)");
        }
        gpiod_line_bulk_add(i < 6 ? &g->outputs : &g->inputs, line);
    }
    const int idle[6] = {1, 1, 1, 1, 1, 1};
    if (gpiod_line_request_bulk_output(&g->outputs, "talvik", idle) != 0) {
        int error = errno;
        return refuse(g, reason, size,
                      std::string("cannot take the output lines: ") + std::strerror(error) +
                          hint_for(error));
    }
    g->outputs_held = true;
    // Pulled down: an unpowered instrument reads busy, not ready.
    if (gpiod_line_request_bulk_input_flags(&g->inputs, "talvik",
                                            GPIOD_LINE_REQUEST_FLAG_BIAS_PULL_DOWN) != 0 &&
        gpiod_line_request_bulk_input_flags(&g->inputs, "talvik", 0) != 0) {
        int error = errno;
        return refuse(g, reason, size,
                      std::string("cannot take the input lines: ") + std::strerror(error) +
                          hint_for(error));
    }
    g->inputs_held = true;
    g->last_change = std::chrono::steady_clock::now();
    return g;
}

bool gpio_close(void *self, char *, size_t) {
    release(lines_of(self));
    delete &lines_of(self);
    return true;
}

bool lost(gpio_lines &g, int error, port_fault *fault) {
    release(g);
    std::snprintf(fault->port, sizeof fault->port, "gpio");
    std::snprintf(fault->why, sizeof fault->why, "%s", std::strerror(error));
    fault->reached = 0;
    return false;
}

bool gpio_set_data(void *self, uint8_t value, port_fault *fault) {
    gpio_lines &g = lines_of(self);
    if (!g.chip)
        return lost(g, EBADF, fault); // let go of: never a write that goes nowhere
    int values[6];
    for (int i = 0; i < 6; ++i)
        values[i] = (value & output_bits[i]) ? 1 : 0;
    // A microsecond since the last change returned, whatever the board's pace.
    auto due = g.last_change + std::chrono::microseconds(1);
    while (std::chrono::steady_clock::now() < due) {
    }
    if (gpiod_line_set_value_bulk(&g.outputs, values) != 0)
        return lost(g, errno, fault);
    g.last_change = std::chrono::steady_clock::now();
    return true;
}

bool gpio_get_status(void *self, uint8_t *value, port_fault *fault) {
    gpio_lines &g = lines_of(self);
    *value = 0;
    if (!g.chip)
        return lost(g, EBADF, fault); // let go of: never a made-up status
    int values[2] = {0, 0};
    if (gpiod_line_get_value_bulk(&g.inputs, values) != 0)
        return lost(g, errno, fault);
    // Bit 7 reads the inverse of the busy line, as a parallel port's pin 11.
    *value = static_cast<uint8_t>((values[0] ? status_data : 0) | (values[1] ? 0 : status_busy));
    return true;
}

} // namespace

extern const port_backend gpio_port = {
    .name = "gpio",
    .wiring = port_wiring::gpio_lines,
    .open = gpio_open,
    .close = gpio_close,
    .set_data = gpio_set_data,
    .get_status = gpio_get_status,
};
