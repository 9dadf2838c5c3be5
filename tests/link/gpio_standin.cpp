#include "link/gpio_standin.hpp"

#include "link/stop_plan.hpp"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/gpio.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace gpio_standin {

settings board;
sim_instrument instrument;
record done;

namespace {

constexpr unsigned gpio_major = 254;
constexpr unsigned chip_lines[2] = {54, 16};
const char *const labels[2] = {"pinctrl-bcm2711", "ext-expander"};
constexpr int impostor = 5; // passes every check before it is opened, answers as gpiochip0

struct line {
    int held_by = -1; // a request of ours
    bool output = false;
    int value = 0;
};
line lines[2][54];

struct line_request {
    int chip;
    unsigned count;
    unsigned offsets[GPIO_V2_LINES_MAX];
    uint64_t flags;
    bool live;
};
std::vector<line_request> requests;

std::chrono::steady_clock::time_point last_set;
bool ever_set = false;
bool gone = false; // the board went away, at a set
bool set_last = false; // the last access was a set

bool has_chip(int chip) { return board.board && (chip == 0 || (chip == 1 && board.second_chip)); }

std::string name_of(int chip, unsigned offset) {
    if (chip == 0 && !board.named)
        return "";
    if (chip == 1 && offset == 3 && board.name_twice)
        return "GPIO17";
    return (chip == 0 ? "GPIO" : "EXT") + std::to_string(offset);
}

// gpiochipN where the board has chip N (or the impostor), else -1.
int chip_at(const std::string &path) {
    for (int c = 0; c < 2; ++c)
        if (has_chip(c) && path == "/dev/gpiochip" + std::to_string(c))
            return c;
    return board.board && path == "/dev/gpiochip5" ? impostor : -1;
}

// Active-low lines read and are set inverted.
int physical(const line_request &r, int value) {
    return (r.flags & GPIO_V2_LINE_FLAG_ACTIVE_LOW) ? !value : value;
}

// The instrument's data byte from the outputs; D3 follows the inverted
// select, D7 is high, as on the other adapters.
void drive() {
    uint8_t d = 0x80;
    const uint8_t bits[6] = {0x01, 0x02, 0x04, 0x10, 0x20, 0x40};
    for (int i = 0; i < 6; ++i)
        if (lines[0][board.wiring[i]].value)
            d |= bits[i];
    if (!(d & 0x40))
        d |= 0x08;
    instrument.write(d);
}

void note_held() {
    done.outputs_held = done.inputs_held = false;
    for (const line_request &r : requests)
        if (r.live) {
            if (r.flags & GPIO_V2_LINE_FLAG_OUTPUT)
                done.outputs_held = true;
            else
                done.inputs_held = true;
        }
}

bool zero(const void *padding, size_t size) {
    const auto *bytes = static_cast<const unsigned char *>(padding);
    for (size_t i = 0; i < size; ++i)
        if (bytes[i])
            return false;
    return true;
}

// The flags the kernel takes in a request, as its uAPI documents them.
bool valid_flags(uint64_t flags) {
    const uint64_t bias = GPIO_V2_LINE_FLAG_BIAS_PULL_UP | GPIO_V2_LINE_FLAG_BIAS_PULL_DOWN |
                          GPIO_V2_LINE_FLAG_BIAS_DISABLED;
    const uint64_t drive = GPIO_V2_LINE_FLAG_OPEN_DRAIN | GPIO_V2_LINE_FLAG_OPEN_SOURCE;
    const uint64_t edges = GPIO_V2_LINE_FLAG_EDGE_RISING | GPIO_V2_LINE_FLAG_EDGE_FALLING;
    uint64_t direction = flags & (GPIO_V2_LINE_FLAG_INPUT | GPIO_V2_LINE_FLAG_OUTPUT);
    auto one_at_most = [](uint64_t bits) { return (bits & (bits - 1)) == 0; };
    return !(flags & GPIO_V2_LINE_FLAG_USED) && one_at_most(direction) &&
           one_at_most(flags & bias) && one_at_most(flags & drive) &&
           !((flags & bias) && !direction) && !((flags & drive) && !(flags & GPIO_V2_LINE_FLAG_OUTPUT)) &&
           !((flags & edges) && !(flags & GPIO_V2_LINE_FLAG_INPUT));
}

int get_line(int chip, gpio_v2_line_request *r, int *made) {
    const gpio_v2_line_config &c = r->config;
    uint64_t direction = c.flags & (GPIO_V2_LINE_FLAG_INPUT | GPIO_V2_LINE_FLAG_OUTPUT);
    if (r->num_lines == 0 || r->num_lines > GPIO_V2_LINES_MAX ||
        c.num_attrs > GPIO_V2_LINE_NUM_ATTRS_MAX || !zero(r->padding, sizeof r->padding) ||
        !zero(c.padding, sizeof c.padding) || !valid_flags(c.flags))
        return EINVAL;
    for (unsigned a = 0; a < c.num_attrs; ++a)
        if (c.attrs[a].attr.id == GPIO_V2_LINE_ATTR_ID_FLAGS && !valid_flags(c.attrs[a].attr.flags))
            return EINVAL;
    for (unsigned i = 0; i < r->num_lines; ++i) {
        unsigned offset = r->offsets[i];
        if (offset >= chip_lines[chip])
            return EINVAL;
        if ((chip == 0 && static_cast<int>(offset) == board.held_elsewhere) ||
            lines[chip][offset].held_by >= 0)
            return EBUSY;
        for (unsigned j = 0; j < i; ++j)
            if (r->offsets[j] == offset)
                return EBUSY; // the second is already taken, by the first
    }
    if ((c.flags & GPIO_V2_LINE_FLAG_BIAS_PULL_DOWN) && board.bias == settings::refuses)
        return EINVAL;
    if (direction == GPIO_V2_LINE_FLAG_INPUT && board.input_request_errno)
        return board.input_request_errno;
    if (direction == GPIO_V2_LINE_FLAG_OUTPUT && board.output_request_errno)
        return board.output_request_errno;
    uint64_t high = 0;
    for (unsigned a = 0; a < c.num_attrs; ++a)
        if (c.attrs[a].attr.id == GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES)
            high |= c.attrs[a].attr.values & c.attrs[a].mask;
    line_request made_request = {chip, r->num_lines, {}, c.flags, true};
    for (unsigned i = 0; i < r->num_lines; ++i) {
        made_request.offsets[i] = r->offsets[i];
        line &l = lines[chip][r->offsets[i]];
        l.held_by = static_cast<int>(requests.size());
        l.output = direction == GPIO_V2_LINE_FLAG_OUTPUT;
        if (l.output) {
            l.value = physical(made_request, (high >> i) & 1);
            if (chip == 0 && i < 6)
                done.initial[i] = l.value;
        }
    }
    if (direction == GPIO_V2_LINE_FLAG_INPUT)
        done.input_flags = board.bias == settings::pulls
                               ? c.flags
                               : c.flags & ~uint64_t{GPIO_V2_LINE_FLAG_BIAS_PULL_DOWN};
    else
        done.output_flags = c.flags;
    *made = static_cast<int>(requests.size());
    requests.push_back(made_request);
    note_held();
    if (chip == 0 && direction == GPIO_V2_LINE_FLAG_OUTPUT)
        drive();
    return 0;
}

// What a line reads: the instrument's data out and busy as it drives them;
// unpowered, the pull-down, or without one a floating line that reads high.
int level_of(const line_request &r, unsigned offset) {
    if (r.chip != 0)
        return lines[r.chip][offset].value;
    if (!board.powered && (offset == board.wiring[6] || offset == board.wiring[7]))
        return done.input_flags & GPIO_V2_LINE_FLAG_BIAS_PULL_DOWN ? 0 : 1;
    uint8_t status = instrument.read();
    if (offset == board.wiring[6])
        return (status & 0x40) ? 1 : 0;
    if (offset == board.wiring[7])
        return (status & 0x80) ? 0 : 1; // the busy pin is low while busy
    return lines[0][offset].value;
}

} // namespace

void reset(const settings &s) {
    board = s;
    done = record();
    ever_set = false;
    gone = false;
    set_last = false;
    requests.clear();
    for (auto &chip : lines)
        for (line &l : chip)
            l = line();
    instrument.reset();
    std::string options = s.options;
    if (options.find("busy=") == std::string::npos)
        options = "busyreads=2" + std::string(options.empty() ? "" : ",") + options;
    char reason[200];
    if (!instrument.configure(options.c_str(), reason, sizeof reason))
        std::abort();
}

// /dev holds, besides the board's chips, devices that must never be opened
// for lines: one that arms on open, and two entries named like chips that
// are not (a link to the watchdog, and a watchdog's node under a chip's name).
int stat(const std::string &path, struct stat *info, bool opened) {
    std::memset(info, 0, sizeof *info);
    int chip = chip_at(path);
    if (chip >= 0 || (board.board && path == "/dev/gpiochip6")) {
        info->st_mode = S_IFCHR | 0660;
        info->st_rdev = makedev(gpio_major, chip >= 0 ? chip : 6);
        if (opened && chip == 1 && board.moved)
            info->st_rdev = makedev(10, 130);
    } else if (path == "/dev/watchdog" || path == "/dev/gpiochip9") {
        info->st_mode = S_IFCHR | 0600;
        info->st_rdev = makedev(10, 130);
    } else if (path == "/dev/null") {
        info->st_mode = S_IFCHR | 0666;
        info->st_rdev = makedev(1, 3);
    } else if (path == "/dev/gpiochip7") {
        info->st_mode = S_IFLNK | 0777;
    } else {
        return -1;
    }
    if (board.denied && chip >= 0)
        info->st_mode = S_IFCHR | 0600;
    return 0;
}

int readlink(const std::string &path, std::string *target) {
    for (int c : {0, 1, impostor})
        if ((has_chip(c) || (c == impostor && board.board)) &&
            path == "/sys/dev/char/254:" + std::to_string(c) + "/subsystem") {
            *target = "../../../../bus/gpio";
            return 0;
        }
    if (path == "/sys/dev/char/10:130/subsystem")
        *target = "../../../../class/watchdog";
    else if (path == "/sys/dev/char/1:3/subsystem")
        *target = "../../../../class/mem";
    else
        return ENOENT;
    return 0;
}

std::vector<std::string> dev_entries() {
    std::vector<std::string> names = {".", "..", "null", "watchdog", "ttyS0"};
    if (board.board) {
        names.insert(names.begin() + 3,
                     {"gpiochip7", "gpiochip9", "gpiochip6", "gpiochip0", "gpiochip5"});
        if (board.second_chip)
            names.push_back("gpiochip1");
    }
    return names;
}

int open(const std::string &path, int *chip) {
    struct stat info;
    if (stat(path, &info, false) != 0)
        return -1;
    *chip = chip_at(path);
    if (*chip >= 0 && board.denied)
        return EACCES;
    done.opened.push_back(path);
    return 0;
}

int chip_ioctl(int chip, unsigned long request, void *arg, int *line_request) {
    if (request == GPIO_GET_CHIPINFO_IOCTL) {
        auto *info = static_cast<gpiochip_info *>(arg);
        std::snprintf(info->name, sizeof info->name, "gpiochip%d", chip == impostor ? 0 : chip);
        std::snprintf(info->label, sizeof info->label, "%s",
                      chip == 1 && !board.same_labels ? labels[1] : labels[0]);
        info->lines = chip == impostor ? 0 : chip_lines[chip];
        return 0;
    }
    if (chip == impostor)
        return ENOTTY;
    if (request == GPIO_V2_GET_LINEINFO_IOCTL) {
        auto *info = static_cast<gpio_v2_line_info *>(arg);
        unsigned offset = info->offset;
        if (offset >= chip_lines[chip] || !zero(info->padding, sizeof info->padding))
            return EINVAL;
        std::memset(info, 0, sizeof *info);
        info->offset = offset;
        std::snprintf(info->name, sizeof info->name, "%s", name_of(chip, offset).c_str());
        const line &l = lines[chip][offset];
        if (chip == 0 && static_cast<int>(offset) == board.held_elsewhere) {
            info->flags = GPIO_V2_LINE_FLAG_USED | GPIO_V2_LINE_FLAG_OUTPUT;
            std::snprintf(info->consumer, sizeof info->consumer, "pigpio");
        } else if (l.held_by >= 0) {
            info->flags = GPIO_V2_LINE_FLAG_USED | requests[l.held_by].flags;
            std::snprintf(info->consumer, sizeof info->consumer, "talvik");
        } else {
            info->flags = GPIO_V2_LINE_FLAG_INPUT;
        }
        return 0;
    }
    if (request == GPIO_V2_GET_LINE_IOCTL)
        return get_line(chip, static_cast<gpio_v2_line_request *>(arg), line_request);
    return ENOTTY;
}

int request_ioctl(int id, unsigned long request, void *arg) {
    line_request &r = requests[id];
    auto *values = static_cast<gpio_v2_line_values *>(arg);
    if ((request == GPIO_V2_LINE_SET_VALUES_IOCTL || request == GPIO_V2_LINE_GET_VALUES_IOCTL) &&
        !values->mask)
        return EINVAL;
    if (request == GPIO_V2_LINE_SET_VALUES_IOCTL) {
        if (!(r.flags & GPIO_V2_LINE_FLAG_OUTPUT))
            return EPERM;
        gone = gone || (board.fail_set_after >= 0 && done.sets >= board.fail_set_after);
        if (gone)
            return ENODEV;
        auto now = std::chrono::steady_clock::now();
        if (ever_set && now - last_set < std::chrono::microseconds(1))
            ++done.too_fast;
        ++done.sets;
        done.sets_after_sets += set_last ? 1 : 0;
        set_last = true;
        for (unsigned i = 0; i < r.count; ++i)
            if ((values->mask >> i) & 1)
                lines[r.chip][r.offsets[i]].value = physical(r, (values->bits >> i) & 1);
        if (r.chip == 0)
            drive();
        the_stop_plan.access(instrument.lines());
        last_set = std::chrono::steady_clock::now();
        ever_set = true;
        return 0;
    }
    if (request == GPIO_V2_LINE_GET_VALUES_IOCTL) {
        if (gone)
            return ENODEV;
        ++done.gets;
        set_last = false;
        uint64_t bits = 0;
        for (unsigned i = 0; i < r.count; ++i)
            if ((values->mask >> i) & 1)
                bits |= uint64_t(physical(r, level_of(r, r.offsets[i]))) << i;
        values->bits = bits;
        the_stop_plan.access(instrument.lines());
        return 0;
    }
    return ENOTTY;
}

void release(int id) {
    line_request &r = requests[id];
    for (unsigned i = 0; i < r.count; ++i)
        lines[r.chip][r.offsets[i]].held_by = -1;
    r.live = false;
    note_held();
}

} // namespace gpio_standin
