// Sweeps through a board's GPIO lines: the backend over libgpiod's stand-in.
#include "app/settings.hpp"
#include "app/sweep.hpp"
#include "link/backends.hpp"
#include "link/gpiod_standin.hpp"
#include "link/link.hpp"
#include "link/port_sweep.hpp"
#include "link/test_link.hpp"

#include <gpiod.h>
#include <gtest/gtest.h>

namespace {

std::string open_gpio(const char *lines) {
    char reason[400] = "";
    void *self = gpio_port.open(lines, port_notes(), reason, sizeof reason);
    if (self)
        gpio_port.close(self, reason, sizeof reason);
    return self ? "" : reason;
}

std::string sweep_through(const char *setting) { return default_sweep_through(setting); }

TEST(gpio, a_default_sweep_reads_as_on_the_simulated_port) {
    std::string expected = sweep_through("sim:busy=0");
    gpiod_standin::reset(gpiod_standin::settings());
    EXPECT_EQ(sweep_through("gpio"), expected);
    EXPECT_EQ(gpiod_standin::instrument.faults(), 0);
    EXPECT_EQ(gpiod_standin::done.too_fast, 0) << "a change a microsecond at most";
    for (int v : gpiod_standin::done.initial)
        EXPECT_EQ(v, 1) << "the outputs are taken idle, high";
    EXPECT_EQ(gpiod_standin::done.input_flags, GPIOD_LINE_REQUEST_FLAG_BIAS_PULL_DOWN);
    // Closed: the lines given back, every chip object closed.
    EXPECT_FALSE(gpiod_standin::done.outputs_held || gpiod_standin::done.inputs_held);
    EXPECT_EQ(gpiod_standin::done.chips_open, 0);
    // A board whose lines have no names, reached by chip and offset.
    gpiod_standin::settings s;
    s.named = false;
    s.wiring[0] = 4;
    s.wiring[7] = 12;
    gpiod_standin::reset(s);
    EXPECT_EQ(sweep_through("gpio:gpiochip0/4,gpiochip0/27,gpiochip0/22,gpiochip0/23,"
                            "gpiochip0/24,gpiochip0/25,gpiochip0/5,gpiochip0/12"),
              expected);
    EXPECT_EQ(gpiod_standin::instrument.faults(), 0);
}

TEST(gpio, refusals_name_the_line_and_the_remedy) {
    gpiod_standin::reset(gpiod_standin::settings());
    EXPECT_EQ(open_gpio("GPIO17,GPIO27,GPIO22,GPIO23,GPIO24,GPIO25,GPIO5,GPIO99"),
              "no line named GPIO99 (gpioinfo lists the lines; name them as CHIP/OFFSET where "
              "they have no names)");
    EXPECT_EQ(open_gpio("GPIO17,GPIO27"),
              "gpio:LINES names eight lines, comma-separated: D0, D1, D2, D4, D5, D6, data out, "
              "busy");
    EXPECT_EQ(open_gpio("GPIO17,GPIO27,GPIO22,GPIO23,GPIO24,GPIO25,GPIO5,EXT3"),
              "lines of two chips (GPIO17 on gpiochip0, EXT3 on gpiochip1): all eight must be "
              "lines of one chip");
    gpiod_standin::settings s;
    s.held_elsewhere = 24;
    gpiod_standin::reset(s);
    EXPECT_EQ(open_gpio(""), "line GPIO24 (D5 (converter clock)) is in use by pigpio (gpioinfo "
                             "shows who holds it)");
    s = gpiod_standin::settings();
    s.denied = true;
    gpiod_standin::reset(s);
    std::string denied = open_gpio("");
    EXPECT_NE(denied.find("Permission denied; on Raspberry Pi OS add your user to the gpio group"),
              std::string::npos)
        << denied;
    EXPECT_NE(denied.find("udev/60-talvik-gpio.rules"), std::string::npos);
    s = gpiod_standin::settings();
    s.board = false;
    gpiod_standin::reset(s);
    EXPECT_EQ(open_gpio(""), "not a board with GPIO lines (no /dev/gpiochip0)");
    EXPECT_EQ(gpiod_standin::done.chips_open, 0);
}

TEST(gpio, a_lost_board_or_an_unpowered_instrument_ends_the_run) {
    gpiod_standin::settings s;
    s.fail_set_after = 300;
    gpiod_standin::reset(s);
    std::string failure;
    default_sweep_through("gpio", "", &failure);
    EXPECT_EQ(failure, "Lost port gpio: No such device");
    // Named by its kind, however its lines were given.
    gpiod_standin::reset(s);
    default_sweep_through("gpio:GPIO17,GPIO27,GPIO22,GPIO23,GPIO24,GPIO25,GPIO5,GPIO6", "",
                          &failure);
    EXPECT_EQ(failure, "Lost port gpio: No such device");
    EXPECT_FALSE(gpiod_standin::done.outputs_held || gpiod_standin::done.inputs_held);
    // Pulled down, a missing instrument reads busy: no sweep of noise.
    s = gpiod_standin::settings();
    s.powered = false;
    gpiod_standin::reset(s);
    {
        test_link link("gpio");
        converter_start();
        EXPECT_EQ(link.failure(), "Converter not ready - check the instrument");
    }
    // A board lost as the lines go idle after that: closing tells it too.
    s.fail_set_after = 51;
    gpiod_standin::reset(s);
    test_link link("gpio");
    converter_start();
    EXPECT_EQ(link.failure(), "Converter not ready - check the instrument");
    EXPECT_EQ(link.close(), 4);
    EXPECT_STREQ(link.error.text, "Lost port gpio: No such device");
}

} // namespace
