// A board's GPIO lines as the port, through the kernel's GPIO character
// device itself (its second version, linux/gpio.h, in every kernel since
// 5.10): six outputs, D0-D2 and D4-D6, in one line request that sets them
// idle (high) as it takes them, and two inputs, the converter's data out and
// its busy pin, in another, pulled down where the chip can, so that a missing
// instrument reads busy. A write is one set ioctl, a read one get ioctl;
// lines never change faster than once a microsecond, a parallel port's pace.
#include "link/backends.hpp"
#include "common/text.hpp"
#include "link/sys.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/gpio.h>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <vector>

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

// Bounds on what a board may report, so that nothing it says runs away.
constexpr size_t most_entries = 4096; // of /dev looked at
constexpr size_t most_chips = 64;     // the lowest-numbered kept
constexpr unsigned most_names = 4096; // of a chip's lines searched by name

struct gpio_lines {
    int outputs = -1, inputs = -1; // the two line requests
    std::chrono::steady_clock::time_point last_change;
    char busy_name[80] = ""; // the busy line as the map names it
};

gpio_lines &lines_of(void *self) { return *static_cast<gpio_lines *>(self); }

const char permission_hint[] =
    "; on Raspberry Pi OS add your user to the gpio group; elsewhere install the example udev "
    "rule: sudo cp /usr/share/doc/talvik/examples/60-talvik-gpio.rules /etc/udev/rules.d/ && "
    "sudo udevadm control --reload-rules && sudo udevadm trigger --subsystem-match=gpio (your "
    "user must be in the plugdev group)";

const char *hint_for(int error) {
    return error == EACCES || error == EPERM ? permission_hint : "";
}

std::string error_text(int error) { return std::string(std::strerror(error)) + hint_for(error); }

// A map's entry in a message: short enough to leave room for the remedy.
std::string show(const std::string &entry) { return shortened(entry, 64); }

// One of /dev's GPIO chips, opened only once it has shown itself to be one.
struct chip {
    std::string dev;          // gpiochipN
    unsigned number = 0;      // N, for the order
    std::string label;        // as the chip info gives it
    unsigned lines = 0;       // as the chip info says
    int fd = -1;
    std::string refused;      // why it was not opened, where it was not
    int refused_errno = 0;    // the error behind that, for its hint
    std::vector<std::string> names; // its lines' names, read where one is looked for
};

// A line of the map as given: by name, or by chip (its kernel name or its
// label) and offset.
struct entry {
    std::string text, name, chip;
    unsigned long offset = 0;
};

// gpiochipN exactly, as the kernel names its chips: no sign, no leading zero.
bool chip_number(const char *name, unsigned *number) {
    if (std::strncmp(name, "gpiochip", 8) != 0)
        return false;
    const char *digits = name + 8;
    size_t n = std::strlen(digits);
    if (n == 0 || n > 4 || (n > 1 && digits[0] == '0') ||
        !std::all_of(digits, digits + n, [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    *number = static_cast<unsigned>(std::strtoul(digits, nullptr, 10));
    return true;
}

// Only a GPIO character device is opened: the entry must be a character
// device itself (not a link to another), sysfs must place that device in the
// gpio subsystem, and once open it must be the same device and answer the
// chip info ioctl under its own name. Anything else is never opened, or
// closed at once untouched.
void open_chip(chip &c) {
    std::string path = "/dev/" + c.dev;
    struct stat before;
    if (sys::lstat(path.c_str(), &before) != 0) {
        c.refused_errno = errno;
        c.refused = std::strerror(errno);
        return;
    }
    if (!S_ISCHR(before.st_mode)) {
        c.refused = "not a GPIO chip (a link, or not a character device: name the chip itself, "
                    "as gpiodetect lists it)";
        return;
    }
    char where[64], subsystem[256];
    std::snprintf(where, sizeof where, "/sys/dev/char/%u:%u/subsystem", major(before.st_rdev),
                  minor(before.st_rdev));
    ssize_t n = sys::readlink(where, subsystem, sizeof subsystem - 1);
    if (n < 0) {
        c.refused = std::string("cannot tell it is a GPIO chip: ") + where + ": " +
                    std::strerror(errno);
        return;
    }
    subsystem[n] = '\0';
    const char *last = std::strrchr(subsystem, '/');
    if (std::strcmp(last ? last + 1 : subsystem, "gpio") != 0) {
        c.refused = "not a GPIO chip";
        return;
    }
    c.fd = sys::open(path.c_str(), O_RDWR | O_NOFOLLOW);
    if (c.fd < 0) {
        c.refused_errno = errno;
        c.refused = error_text(errno);
        return;
    }
    struct stat after;
    gpiochip_info info;
    std::memset(&info, 0, sizeof info);
    if (sys::fstat(c.fd, &after) != 0 || !S_ISCHR(after.st_mode) ||
        after.st_rdev != before.st_rdev || sys::ioctl(c.fd, GPIO_GET_CHIPINFO_IOCTL, &info) != 0 ||
        std::strncmp(info.name, c.dev.c_str(), sizeof info.name) != 0) {
        sys::close(c.fd);
        c.fd = -1;
        c.refused = "not a GPIO chip";
        return;
    }
    info.label[sizeof info.label - 1] = '\0';
    c.label = info.label;
    c.lines = info.lines;
}

void close_chips(std::vector<chip> &chips) {
    for (chip &c : chips)
        if (c.fd >= 0)
            sys::close(c.fd);
    chips.clear();
}

// /dev's GPIO chips in number order, each opened where it is one.
bool find_chips(std::vector<chip> &chips, std::string *why) {
    void *dev = sys::open_dir("/dev");
    if (!dev) {
        *why = std::string("cannot list /dev: ") + std::strerror(errno);
        return false;
    }
    size_t seen = 0;
    const char *name;
    while ((name = sys::read_dir(dev)) && ++seen <= most_entries) {
        unsigned number;
        if (chip_number(name, &number)) {
            chips.emplace_back();
            chips.back().dev = name;
            chips.back().number = number;
        }
    }
    int error = name ? 0 : errno;
    sys::close_dir(dev);
    if (error) {
        *why = std::string("cannot list /dev: ") + std::strerror(error);
        return false;
    }
    if (chips.empty()) {
        *why = "not a board with GPIO lines (no /dev/gpiochip0)";
        return false;
    }
    std::sort(chips.begin(), chips.end(),
              [](const chip &a, const chip &b) { return a.number < b.number; });
    if (chips.size() > most_chips)
        chips.resize(most_chips);
    for (chip &c : chips)
        open_chip(c);
    return true;
}

bool line_info(const chip &c, unsigned offset, gpio_v2_line_info *info) {
    std::memset(info, 0, sizeof *info);
    info->offset = offset;
    if (sys::ioctl(c.fd, GPIO_V2_GET_LINEINFO_IOCTL, info) != 0)
        return false;
    info->name[sizeof info->name - 1] = info->consumer[sizeof info->consumer - 1] = '\0';
    return true;
}

bool read_names(chip &c, std::string *why) {
    if (c.fd < 0 || !c.names.empty())
        return true;
    for (unsigned offset = 0; offset < std::min(c.lines, most_names); ++offset) {
        gpio_v2_line_info info;
        if (!line_info(c, offset, &info)) {
            *why = "cannot read the lines of " + c.dev + ": " + std::strerror(errno);
            return false;
        }
        c.names.push_back(info.name);
    }
    return true;
}

bool parse(const std::string &text, entry *e, std::string *why) {
    e->text = text;
    // At the last slash: a chip's label may hold one.
    size_t slash = text.rfind('/');
    if (slash == std::string::npos && !text.empty()) {
        e->name = text;
        return true;
    }
    // A plain decimal offset, short enough that it cannot wrap.
    const char *digits = text.c_str() + (slash == std::string::npos ? 0 : slash + 1);
    size_t n = std::strlen(digits);
    if (slash == std::string::npos || slash == 0 || n == 0 || n > 9 ||
        (n > 1 && digits[0] == '0') ||
        !std::all_of(digits, digits + n, [](char c) { return c >= '0' && c <= '9'; })) {
        *why = "not a line: " + (text.empty() ? std::string("an empty entry") : show(text)) +
               " (a line name, or CHIP/OFFSET such as gpiochip0/17, the offset a plain decimal "
               "number)";
        return false;
    }
    e->chip = text.substr(0, slash);
    e->offset = std::strtoul(digits, nullptr, 10);
    return true;
}

// Which chip and offset an entry names.
bool locate(const entry &e, std::vector<chip> &chips, size_t *at, unsigned *offset,
            std::string *why) {
    if (e.name.empty()) {
        auto found = std::find_if(chips.begin(), chips.end(),
                                  [&](const chip &c) { return c.dev == e.chip; });
        auto labelled = [&](const chip &c) {
            return c.fd >= 0 && !c.label.empty() && c.label == e.chip;
        };
        if (found == chips.end()) {
            found = std::find_if(chips.begin(), chips.end(), labelled);
            // Two chips of one driver share its label: which one is never guessed.
            auto other = found == chips.end() ? found : std::find_if(found + 1, chips.end(), labelled);
            if (other != chips.end()) {
                *why = "two chips are labelled " + show(e.chip) + " (" + found->dev + " and " +
                       other->dev + "): name the chip as gpiochipN";
                return false;
            }
        }
        if (found == chips.end()) {
            *why = "no GPIO chip named " + show(e.chip) +
                   " (gpiodetect lists each chip's name and label)";
            return false;
        }
        if (found->fd < 0) {
            *why = found->dev + ": " + found->refused;
            return false;
        }
        if (e.offset >= found->lines) {
            *why = "no line " + std::to_string(e.offset) + " on " + found->dev +
                   (found->lines ? ": it has " + std::to_string(found->lines) + " lines, 0 to " +
                                       std::to_string(found->lines - 1)
                                 : ": it has no lines");
            return false;
        }
        *at = static_cast<size_t>(found - chips.begin());
        *offset = static_cast<unsigned>(e.offset);
        return true;
    }
    const chip *unopened = nullptr;
    bool found_one = false;
    for (size_t i = 0; i < chips.size(); ++i) {
        chip &c = chips[i];
        if (c.fd < 0 && c.refused_errno && !unopened)
            unopened = &c;
        if (!read_names(c, why))
            return false;
        for (size_t k = 0; k < c.names.size(); ++k) {
            if (c.names[k] != e.name)
                continue;
            // A name on two lines (the kernel allows it) is never guessed at.
            if (found_one) {
                *why = "two lines are named " + show(e.name) + " (" + chips[*at].dev + "/" +
                       std::to_string(*offset) + " and " + c.dev + "/" + std::to_string(k) +
                       "): name it as CHIP/OFFSET";
                return false;
            }
            found_one = true;
            *at = i;
            *offset = static_cast<unsigned>(k);
        }
    }
    if (found_one)
        return true;
    if (unopened)
        *why = "cannot look for line " + show(e.name) + ": " + unopened->dev + ": " + unopened->refused;
    else
        *why = "no line named " + show(e.name) +
               " (gpioinfo lists the lines; name them as CHIP/OFFSET where they have no names)";
    return false;
}

// The map, checked whole before a line is taken: eight entries, each a line
// of one and the same chip, no line twice.
bool find_lines(const char *arg, std::vector<chip> &chips, size_t *at, unsigned offsets[8],
                std::string shown[8], std::string *why) {
    entry entries[8];
    if (!*arg) {
        for (int i = 0; i < 8; ++i)
            parse(default_lines[i], &entries[i], why);
    } else {
        std::string text = arg;
        int n = 0;
        for (size_t start = 0; start <= text.size() && n <= 8; ++n) {
            size_t comma = std::min(text.find(',', start), text.size());
            if (n < 8 && !parse(text.substr(start, comma - start), &entries[n], why))
                return false;
            start = comma + 1;
        }
        if (n != 8) {
            *why = "gpio:LINES names eight lines, comma-separated: D0, D1, D2, D4, D5, D6, data "
                   "out, busy";
            return false;
        }
    }
    // Named twice in so many words: refused before a chip is looked at.
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < i; ++j)
            if (entries[j].text == entries[i].text) {
                *why = "one line named twice: " + show(entries[j].text) + " as " + roles[j] + " and " +
                       show(entries[i].text) + " as " + roles[i] + " (each needs a line of its own)";
                return false;
            }
    if (!find_chips(chips, why))
        return false;
    size_t chip_of[8];
    for (int i = 0; i < 8; ++i) {
        if (!locate(entries[i], chips, &chip_of[i], &offsets[i], why))
            return false;
        if (chip_of[i] != chip_of[0]) {
            *why = "lines of two chips (" + show(entries[0].text) + " on " + chips[chip_of[0]].dev +
                   ", " + show(entries[i].text) + " on " + chips[chip_of[i]].dev +
                   "): all eight must be lines of one chip";
            return false;
        }
        for (int j = 0; j < i; ++j)
            if (offsets[j] == offsets[i]) {
                *why = "one line named twice: " + show(entries[j].text) + " as " + roles[j] +
                       " and " + show(entries[i].text) + " as " + roles[i] +
                       " (each needs a line of its own)";
                return false;
            }
    }
    *at = chip_of[0];
    for (int i = 0; i < 8; ++i)
        shown[i] = show(entries[i].text);
    return true;
}

void release(gpio_lines &g) {
    if (g.outputs >= 0)
        sys::close(g.outputs);
    if (g.inputs >= 0)
        sys::close(g.inputs);
    g.outputs = g.inputs = -1;
}

int request(const chip &c, const unsigned *offsets, unsigned count, uint64_t flags,
            bool high) {
    gpio_v2_line_request r;
    std::memset(&r, 0, sizeof r);
    std::copy(offsets, offsets + count, r.offsets);
    std::snprintf(r.consumer, sizeof r.consumer, "talvik");
    r.num_lines = count;
    r.config.flags = flags;
    if (high) {
        // Taken at their idle level: never a glitch low as they become outputs.
        r.config.num_attrs = 1;
        r.config.attrs[0].attr.id = GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES;
        r.config.attrs[0].attr.values = (uint64_t{1} << count) - 1;
        r.config.attrs[0].mask = (uint64_t{1} << count) - 1;
    }
    if (sys::ioctl(c.fd, GPIO_V2_GET_LINE_IOCTL, &r) != 0)
        return -1;
    return r.fd;
}

bool take_lines(gpio_lines &g, const chip &c, const unsigned offsets[8],
                const std::string shown[8], std::string *why) {
    for (int i = 0; i < 8; ++i) {
        gpio_v2_line_info info;
        if (!line_info(c, offsets[i], &info)) {
            *why = "cannot read line " + std::to_string(offsets[i]) + " of " + c.dev + ": " +
                   std::strerror(errno);
            return false;
        }
        if (info.flags & GPIO_V2_LINE_FLAG_USED) {
            *why = "line " + shown[i] + " (" + roles[i] + ") is in use by " +
                   (*info.consumer ? info.consumer : "another program") +
                   " (gpioinfo shows who holds it)";
            return false;
        }
    }
    // The inputs first, so that a refusal leaves nothing driven. Pulled
    // down: an unpowered instrument reads busy, not ready. A chip that
    // refuses the bias (most ignore it) is asked again without.
    g.inputs = request(c, offsets + 6, 2, GPIO_V2_LINE_FLAG_INPUT | GPIO_V2_LINE_FLAG_BIAS_PULL_DOWN,
                       false);
    if (g.inputs < 0)
        g.inputs = request(c, offsets + 6, 2, GPIO_V2_LINE_FLAG_INPUT, false);
    if (g.inputs < 0) {
        *why = "cannot take the input lines (" + shown[6] + ", " + shown[7] +
               "): " + error_text(errno);
        return false;
    }
    g.outputs = request(c, offsets, 6, GPIO_V2_LINE_FLAG_OUTPUT, true);
    if (g.outputs < 0) {
        *why = "cannot take the output lines (" + shown[0] + " to " + shown[5] +
               "): " + error_text(errno);
        return false;
    }
    return true;
}

void *gpio_open(const char *arg, const port_notes &, char *reason, size_t size) {
    auto *g = new gpio_lines;
    std::vector<chip> chips;
    std::string why;
    size_t at = 0;
    unsigned offsets[8];
    std::string shown[8];
    bool taken = find_lines(arg, chips, &at, offsets, shown, &why) &&
                 take_lines(*g, chips[at], offsets, shown, &why);
    // The requests hold the lines on their own: no chip stays open.
    close_chips(chips);
    if (!taken) {
        std::snprintf(reason, size, "%s", why.c_str());
        release(*g);
        delete g;
        return nullptr;
    }
    g->last_change = std::chrono::steady_clock::now();
    std::snprintf(g->busy_name, sizeof g->busy_name, "%s", printable(shown[7]).c_str());
    return g;
}

const char *gpio_busy_line(void *self) { return lines_of(self).busy_name; }

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
    if (g.outputs < 0)
        return lost(g, EBADF, fault); // let go of: never a write that goes nowhere
    gpio_v2_line_values values;
    values.bits = 0;
    values.mask = 0x3F;
    for (int i = 0; i < 6; ++i)
        if (value & output_bits[i])
            values.bits |= uint64_t{1} << i;
    // A microsecond since the last change returned, whatever the board's pace.
    auto due = g.last_change + std::chrono::microseconds(1);
    while (std::chrono::steady_clock::now() < due) {
    }
    if (sys::ioctl(g.outputs, GPIO_V2_LINE_SET_VALUES_IOCTL, &values) != 0)
        return lost(g, errno, fault);
    g.last_change = std::chrono::steady_clock::now();
    return true;
}

bool gpio_get_status(void *self, uint8_t *value, port_fault *fault) {
    gpio_lines &g = lines_of(self);
    *value = 0;
    if (g.inputs < 0)
        return lost(g, EBADF, fault); // let go of: never a made-up status
    gpio_v2_line_values values;
    values.bits = 0;
    values.mask = 0x3;
    if (sys::ioctl(g.inputs, GPIO_V2_LINE_GET_VALUES_IOCTL, &values) != 0)
        return lost(g, errno, fault);
    // Bit 7 reads the inverse of the busy line, as a parallel port's pin 11.
    *value = static_cast<uint8_t>(((values.bits & 1) ? status_data : 0) |
                                  ((values.bits & 2) ? 0 : status_busy));
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
    .busy_line = gpio_busy_line,
};
