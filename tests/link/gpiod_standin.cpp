#include "link/gpiod_standin.hpp"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <gpiod.h>
#include <string>

struct gpiod_chip {
    int index;
};
struct gpiod_line {
    int chip;
    unsigned offset;
    gpiod_chip *owner;
    bool output, input;
    int value;
};

namespace gpiod_standin {

settings board;
sim_instrument instrument;
record done;

namespace {

constexpr unsigned chip_lines[2] = {54, 16};
gpiod_line lines[2][54];
std::chrono::steady_clock::time_point last_set;
bool ever_set = false;

const char *name_of(int chip, unsigned offset) {
    static char text[16];
    if (chip == 0 && !board.named)
        return "";
    std::snprintf(text, sizeof text, chip == 0 ? "GPIO%u" : "EXT%u", offset);
    return text;
}

gpiod_chip *open_chip(int index) {
    ++done.chips_open;
    return new gpiod_chip{index};
}

int value_at(unsigned offset) { return lines[0][offset].value; }

// The instrument's data byte from the outputs; D3 follows the inverted
// select, D7 is high, as on the other adapters.
void drive() {
    uint8_t d = 0x80;
    const uint8_t bits[6] = {0x01, 0x02, 0x04, 0x10, 0x20, 0x40};
    for (int i = 0; i < 6; ++i)
        if (value_at(board.wiring[i]))
            d |= bits[i];
    if (!(d & 0x40))
        d |= 0x08;
    instrument.write(d);
}

} // namespace

void reset(const settings &s) {
    board = s;
    done = record();
    ever_set = false;
    for (int c = 0; c < 2; ++c)
        for (unsigned o = 0; o < chip_lines[c]; ++o)
            lines[c][o] = {c, o, nullptr, false, false, 0};
    instrument.reset();
    std::string options = s.options;
    if (options.find("busy=") == std::string::npos)
        options = "busy=0" + std::string(options.empty() ? "" : ",") + options;
    char reason[200];
    if (!instrument.configure(options.c_str(), reason, sizeof reason))
        std::abort();
}

} // namespace gpiod_standin

using namespace gpiod_standin;

extern "C" {

gpiod_chip *gpiod_chip_open_by_name(const char *name) {
    if (!board.board) {
        errno = ENOENT;
        return nullptr;
    }
    if (board.denied) {
        errno = EACCES;
        return nullptr;
    }
    if (std::strcmp(name, "gpiochip0") == 0)
        return open_chip(0);
    if (std::strcmp(name, "gpiochip1") == 0 && board.second_chip)
        return open_chip(1);
    errno = ENOENT;
    return nullptr;
}

void gpiod_chip_close(gpiod_chip *chip) {
    --done.chips_open;
    delete chip;
}

const char *gpiod_chip_name(gpiod_chip *chip) { return chip->index ? "gpiochip1" : "gpiochip0"; }

gpiod_line *gpiod_chip_get_line(gpiod_chip *chip, unsigned int offset) {
    if (offset >= chip_lines[chip->index]) {
        errno = EINVAL;
        return nullptr;
    }
    gpiod_line *line = &lines[chip->index][offset];
    line->owner = chip;
    return line;
}

// Each find opens a chip object of its own, as libgpiod's does.
gpiod_line *gpiod_line_find(const char *name) {
    if (!board.board) {
        errno = ENOENT;
        return nullptr;
    }
    if (board.denied) {
        errno = EACCES;
        return nullptr;
    }
    for (int c = 0; c < (board.second_chip ? 2 : 1); ++c)
        for (unsigned o = 0; o < chip_lines[c]; ++o)
            if (*name && std::strcmp(name_of(c, o), name) == 0)
                return gpiod_chip_get_line(open_chip(c), o);
    errno = ENOENT;
    return nullptr;
}

gpiod_chip *gpiod_line_get_chip(gpiod_line *line) { return line->owner; }
unsigned int gpiod_line_offset(gpiod_line *line) { return line->offset; }

bool gpiod_line_is_used(gpiod_line *line) {
    return line->chip == 0 && static_cast<int>(line->offset) == board.held_elsewhere;
}
const char *gpiod_line_consumer(gpiod_line *line) {
    return gpiod_line_is_used(line) ? "pigpio" : nullptr;
}

int gpiod_line_request_bulk_output(gpiod_line_bulk *bulk, const char *, const int *values) {
    for (unsigned i = 0; i < bulk->num_lines; ++i) {
        bulk->lines[i]->output = true;
        bulk->lines[i]->value = values[i];
        if (i < 6)
            done.initial[i] = values[i];
    }
    done.outputs_held = true;
    drive();
    return 0;
}

int gpiod_line_request_bulk_input_flags(gpiod_line_bulk *bulk, const char *, int flags) {
    if ((flags & GPIOD_LINE_REQUEST_FLAG_BIAS_PULL_DOWN) && !board.bias) {
        errno = EOPNOTSUPP;
        return -1;
    }
    for (unsigned i = 0; i < bulk->num_lines; ++i)
        bulk->lines[i]->input = true;
    done.inputs_held = true;
    done.input_flags = flags;
    return 0;
}

void gpiod_line_release_bulk(gpiod_line_bulk *bulk) {
    for (unsigned i = 0; i < bulk->num_lines; ++i) {
        if (bulk->lines[i]->output)
            done.outputs_held = false;
        if (bulk->lines[i]->input)
            done.inputs_held = false;
        bulk->lines[i]->output = bulk->lines[i]->input = false;
    }
}

int gpiod_line_set_value_bulk(gpiod_line_bulk *bulk, const int *values) {
    if (board.fail_set_after >= 0 && done.sets >= board.fail_set_after) {
        errno = ENODEV;
        return -1;
    }
    auto now = std::chrono::steady_clock::now();
    if (ever_set && now - last_set < std::chrono::microseconds(1))
        ++done.too_fast;
    ++done.sets;
    for (unsigned i = 0; i < bulk->num_lines; ++i)
        bulk->lines[i]->value = values[i];
    drive();
    last_set = std::chrono::steady_clock::now();
    ever_set = true;
    return 0;
}

// Data out and busy as the instrument drives them; unpowered, the
// pull-downs (or, without bias, floating lines reading high).
int gpiod_line_get_value_bulk(gpiod_line_bulk *bulk, int *values) {
    ++done.gets;
    uint8_t status = instrument.read();
    for (unsigned i = 0; i < bulk->num_lines; ++i) {
        unsigned offset = bulk->lines[i]->offset;
        bool pulled = done.input_flags & GPIOD_LINE_REQUEST_FLAG_BIAS_PULL_DOWN;
        if (!board.powered)
            values[i] = pulled ? 0 : 1;
        else if (offset == board.wiring[6])
            values[i] = (status & 0x40) ? 1 : 0;
        else
            values[i] = (status & 0x80) ? 0 : 1; // the busy pin is low while busy
    }
    return 0;
}

} // extern "C"
