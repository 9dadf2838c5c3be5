// Sweeps through a board's GPIO lines: the backend over the stand-in system
// calls and the board's stand-in chips.
#include "app/settings.hpp"
#include "app/sweep.hpp"
#include "link/backends.hpp"
#include "link/fake_sys.hpp"
#include "link/gpio_standin.hpp"
#include "link/link.hpp"
#include "link/port_sweep.hpp"
#include "link/test_link.hpp"
#include "probe/probe.hpp"

#include <cerrno>
#include <gtest/gtest.h>
#include <linux/gpio.h>

namespace {

using gpio_standin::done;

void board(const gpio_standin::settings &s = gpio_standin::settings()) {
    fake_sys::reset();
    gpio_standin::reset(s);
}

std::string open_gpio(const char *lines) {
    char reason[400] = "";
    void *self = gpio_port.open(lines, port_notes(), reason, sizeof reason);
    if (self)
        gpio_port.close(self, reason, sizeof reason);
    return self ? "" : reason;
}

std::string sweep_through(const char *setting) { return default_sweep_through(setting); }

// Whatever happened, only devices that sysfs calls GPIO chips were ever
// opened, and nothing is left open.
void expect_only_chips_opened() {
    for (const std::string &call : fake_sys::calls) {
        if (call.rfind("open ", 0) == 0) {
            EXPECT_TRUE(call == "open /dev/gpiochip0" || call == "open /dev/gpiochip1" ||
                        call == "open /dev/gpiochip5")
                << call;
        }
    }
    EXPECT_TRUE(fake_sys::files.empty());
    EXPECT_FALSE(done.outputs_held || done.inputs_held);
}

TEST(gpio, the_probe_names_the_busy_line_as_the_board_does) {
    board();
    probe_report report = run_probe("gpio");
    EXPECT_EQ(probe_status(report), 0) << probe_text(report);
    gpio_standin::settings s;
    s.options = "fault=busy-open";
    board(s);
    report = run_probe("gpio");
    EXPECT_EQ(probe_status(report), 1);
    EXPECT_NE(probe_text(report).find("the busy line (GPIO6) never shows while a conversion runs"),
              std::string::npos)
        << probe_text(report);
}

TEST(gpio, a_default_sweep_reads_as_on_the_simulated_port) {
    std::string expected = sweep_through("sim:busy=0");
    board();
    EXPECT_EQ(sweep_through("gpio"), expected);
    EXPECT_EQ(gpio_standin::instrument.faults(), 0);
    EXPECT_EQ(done.too_fast, 0) << "a change a microsecond at most";
    for (int v : done.initial)
        EXPECT_EQ(v, 1) << "the outputs are taken idle, high";
    EXPECT_EQ(done.input_flags, GPIO_V2_LINE_FLAG_INPUT | GPIO_V2_LINE_FLAG_BIAS_PULL_DOWN);
    EXPECT_EQ(done.output_flags, GPIO_V2_LINE_FLAG_OUTPUT) << "push-pull, active high";
    expect_only_chips_opened();
    // A board whose lines have no names, reached by chip and offset, the
    // chip named by the kernel or by its label.
    gpio_standin::settings s;
    s.named = false;
    s.wiring[0] = 4;
    s.wiring[7] = 12;
    for (const char *chip : {"gpiochip0", "pinctrl-bcm2711"}) {
        board(s);
        std::string map = "gpio:";
        for (unsigned offset : s.wiring)
            map += std::string(chip) + "/" + std::to_string(offset) + ",";
        map.pop_back();
        EXPECT_EQ(sweep_through(map.c_str()), expected) << map;
        EXPECT_EQ(gpio_standin::instrument.faults(), 0);
        expect_only_chips_opened();
    }
}

TEST(gpio, maps_are_checked_whole_and_only_chips_are_opened) {
    board();
    const char *const tail = "GPIO27,GPIO22,GPIO23,GPIO24,GPIO25,GPIO5,GPIO6";
    auto with_d0 = [&](const char *d0) { return open_gpio((std::string(d0) + "," + tail).c_str()); };
    const std::string not_a_line = " (a line name, or CHIP/OFFSET such as gpiochip0/17, the "
                                   "offset a plain decimal number)";
    // Offsets that would wrap, or read as something other than written.
    for (const char *d0 : {"gpiochip0/4294967313", "gpiochip0/+17", "gpiochip0/ 17",
                           "gpiochip0/-1", "gpiochip0/", "/17", "gpiochip0/17x", "gpiochip0/017"})
        EXPECT_EQ(with_d0(d0), "not a line: " + std::string(d0) + not_a_line);
    EXPECT_EQ(with_d0(""), "not a line: an empty entry" + not_a_line);
    EXPECT_EQ(with_d0("gpiochip0/54"), "no line 54 on gpiochip0: it has 54 lines, 0 to 53");
    EXPECT_EQ(with_d0("gpiochip1/16"), "no line 16 on gpiochip1: it has 16 lines, 0 to 15");
    // A chip is a GPIO chip by name or label, never another device.
    EXPECT_EQ(with_d0("null/17"),
              "no GPIO chip named null (gpiodetect lists each chip's name and label)");
    EXPECT_EQ(with_d0("watchdog/1"),
              "no GPIO chip named watchdog (gpiodetect lists each chip's name and label)");
    EXPECT_EQ(with_d0("gpiochip7/1"), "gpiochip7: not a GPIO chip (a link, or not a character "
                                      "device: name the chip itself, as gpiodetect lists it)");
    EXPECT_EQ(with_d0("gpiochip9/1"), "gpiochip9: not a GPIO chip");
    EXPECT_EQ(with_d0("gpiochip6/1"), "gpiochip6: cannot tell it is a GPIO chip: "
                                      "/sys/dev/char/254:6/subsystem: No such file or directory");
    EXPECT_EQ(with_d0("gpiochip5/1"), "gpiochip5: not a GPIO chip") << "answers as another";
    EXPECT_EQ(with_d0("gpiochip00/1"),
              "no GPIO chip named gpiochip00 (gpiodetect lists each chip's name and label)");
    // A line named twice, however it is named.
    EXPECT_EQ(with_d0("GPIO25"), "one line named twice: GPIO25 as D0 (synthesizer data) and "
                                 "GPIO25 as D6 (converter select) (each needs a line of its own)");
    EXPECT_EQ(open_gpio("GPIO17,GPIO27,GPIO22,GPIO23,GPIO24,GPIO25,gpiochip0/27,GPIO6"),
              "one line named twice: GPIO27 as D1 (synthesizer clock) and gpiochip0/27 as data "
              "out (input) (each needs a line of its own)");
    EXPECT_EQ(open_gpio("GPIO17,GPIO27,GPIO22,GPIO23,GPIO24,GPIO25,GPIO5,GPIO99"),
              "no line named GPIO99 (gpioinfo lists the lines; name them as CHIP/OFFSET where "
              "they have no names)");
    EXPECT_EQ(open_gpio("GPIO17,GPIO27"),
              "gpio:LINES names eight lines, comma-separated: D0, D1, D2, D4, D5, D6, data out, "
              "busy");
    EXPECT_EQ(open_gpio("GPIO17,GPIO27,GPIO22,GPIO23,GPIO24,GPIO25,GPIO5,GPIO6,GPIO7"),
              "gpio:LINES names eight lines, comma-separated: D0, D1, D2, D4, D5, D6, data out, "
              "busy");
    EXPECT_EQ(open_gpio("GPIO17,GPIO27,GPIO22,GPIO23,GPIO24,GPIO25,GPIO5,EXT3"),
              "lines of two chips (GPIO17 on gpiochip0, EXT3 on gpiochip1): all eight must be "
              "lines of one chip");
    expect_only_chips_opened();
    EXPECT_EQ(done.sets, 0) << "no line driven for a map refused";
    // A name that is not one chip's or one line's is never guessed at.
    gpio_standin::settings s;
    s.same_labels = true;
    board(s);
    EXPECT_EQ(with_d0("pinctrl-bcm2711/17"), "two chips are labelled pinctrl-bcm2711 (gpiochip0 "
                                             "and gpiochip1): name the chip as gpiochipN");
    s = gpio_standin::settings();
    s.name_twice = true;
    board(s);
    EXPECT_EQ(open_gpio(""), "two lines are named GPIO17 (gpiochip0/17 and gpiochip1/3): name it "
                             "as CHIP/OFFSET");
    // A chip that is another device once open.
    s = gpio_standin::settings();
    s.moved = true;
    board(s);
    EXPECT_EQ(open_gpio("gpiochip1/0,gpiochip1/1,gpiochip1/2,gpiochip1/3,gpiochip1/4,gpiochip1/5,"
                        "gpiochip1/6,gpiochip1/7"),
              "gpiochip1: not a GPIO chip");
    // Named twice in so many words: refused before any chip is looked for.
    s = gpio_standin::settings();
    s.board = false;
    board(s);
    EXPECT_EQ(open_gpio("GPIO17,GPIO27,GPIO17,GPIO23,GPIO24,GPIO25,GPIO5,GPIO6"),
              "one line named twice: GPIO17 as D0 (synthesizer data) and GPIO17 as D2 (synthesizer "
              "update) (each needs a line of its own)");
    expect_only_chips_opened();
}

TEST(gpio, refusals_name_the_line_and_the_remedy) {
    gpio_standin::settings s;
    s.held_elsewhere = 24;
    board(s);
    EXPECT_EQ(open_gpio(""), "line GPIO24 (D5 (converter clock)) is in use by pigpio (gpioinfo "
                             "shows who holds it)");
    s.named = false;
    board(s);
    EXPECT_EQ(open_gpio("gpiochip0/17,gpiochip0/27,gpiochip0/22,gpiochip0/23,gpiochip0/24,"
                        "gpiochip0/25,gpiochip0/5,gpiochip0/6"),
              "line gpiochip0/24 (D5 (converter clock)) is in use by pigpio (gpioinfo shows who "
              "holds it)");
    s = gpio_standin::settings();
    s.denied = true;
    board(s);
    const std::string hint =
        "Permission denied; on Raspberry Pi OS add your user to the gpio group; elsewhere install "
        "the example udev rule: sudo cp /usr/share/doc/talvik/examples/60-talvik-gpio.rules "
        "/etc/udev/rules.d/ && sudo udevadm control --reload-rules && sudo udevadm trigger "
        "--subsystem-match=gpio (your user must be in the plugdev group)";
    EXPECT_EQ(open_gpio(""), "cannot look for line GPIO17: gpiochip0: " + hint);
    EXPECT_EQ(open_gpio("gpiochip1/1,GPIO27,GPIO22,GPIO23,GPIO24,GPIO25,GPIO5,GPIO6"),
              "gpiochip1: " + hint);
    s = gpio_standin::settings();
    s.board = false;
    board(s);
    EXPECT_EQ(open_gpio(""), "not a board with GPIO lines (no /dev/gpiochip0)");
    expect_only_chips_opened();
    // The inputs are taken first: a refusal leaves no line driven.
    s = gpio_standin::settings();
    s.input_request_errno = EIO;
    board(s);
    EXPECT_EQ(open_gpio(""), "cannot take the input lines (GPIO5, GPIO6): Input/output error");
    EXPECT_EQ(done.initial[0], -1) << "the outputs never taken";
    expect_only_chips_opened();
    s = gpio_standin::settings();
    s.output_request_errno = EBUSY;
    board(s);
    EXPECT_EQ(open_gpio(""), "cannot take the output lines (GPIO17 to GPIO25): Device or resource "
                             "busy");
    expect_only_chips_opened(); // the inputs given back too
}

TEST(gpio, inputs_are_pulled_down_where_the_chip_allows) {
    std::string expected = sweep_through("sim:busy=0");
    gpio_standin::settings s;
    s.bias = gpio_standin::settings::refuses;
    board(s);
    EXPECT_EQ(sweep_through("gpio"), expected);
    EXPECT_EQ(done.input_flags, GPIO_V2_LINE_FLAG_INPUT) << "asked again without the bias";
    expect_only_chips_opened();
}

TEST(gpio, a_lost_board_or_an_unpowered_instrument_ends_the_run) {
    gpio_standin::settings s;
    s.fail_set_after = 300;
    board(s);
    std::string failure;
    default_sweep_through("gpio", "", &failure);
    EXPECT_EQ(failure, "Lost port gpio: No such device");
    // Named by its kind, however its lines were given.
    board(s);
    default_sweep_through("gpio:GPIO17,GPIO27,GPIO22,GPIO23,GPIO24,GPIO25,GPIO5,GPIO6", "",
                          &failure);
    EXPECT_EQ(failure, "Lost port gpio: No such device");
    expect_only_chips_opened();
    // Pulled down, a missing instrument reads busy: no sweep of noise.
    s = gpio_standin::settings();
    s.powered = false;
    board(s);
    {
        test_link link("gpio");
        converter_start();
        EXPECT_EQ(link.failure(), "Converter not ready - check the instrument");
    }
    // A board lost as the lines go idle after that: closing tells it too.
    s.fail_set_after = 51;
    board(s);
    test_link link("gpio");
    converter_start();
    EXPECT_EQ(link.failure(), "Converter not ready - check the instrument");
    EXPECT_EQ(link.close(), 4);
    EXPECT_STREQ(link.error.text, "Lost port gpio: No such device");
    expect_only_chips_opened();
}

} // namespace
