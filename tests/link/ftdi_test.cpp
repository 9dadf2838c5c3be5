// Sweeps through an FTDI adapter: the backend over the chip's stand-in.
#include "app/settings.hpp"
#include "app/sweep.hpp"
#include "link/backends.hpp"
#include "link/ftdi_standin.hpp"
#include "link/link.hpp"

#include <gtest/gtest.h>

namespace {

std::string open_ftdi(const char *device) {
    char reason[400] = "";
    return ftdi_port.open(device, reason, sizeof reason) ? "" : reason;
}

// The default sweep's points through a backend already open; the results
// file's bytes, and the round trips its points took.
std::string default_sweep(const port_backend *backend, long *point_round_trips) {
    use_port(backend);
    write_data(idle_lines);
    converter_start();
    long before = ftdi_standin::done.round_trips;
    std::FILE *file = std::tmpfile();
    for (int64_t word = 42949672; word < 429496726; word += word / 20)
        measure_point(file, static_cast<int32_t>(word));
    *point_round_trips = ftdi_standin::done.round_trips - before;
    write_data(idle_lines);
    backend->close();
    std::rewind(file);
    char text[4096];
    std::string bytes(text, std::fread(text, 1, sizeof text, file));
    std::fclose(file);
    return bytes;
}

TEST(ftdi, a_default_sweep_reads_as_on_the_simulated_port_with_few_round_trips) {
    char reason[100];
    ASSERT_TRUE(sim_port.open("", reason, sizeof reason));
    long unused = 0;
    std::string expected = default_sweep(&sim_port, &unused);
    struct {
        ftdi_chip_type type;
        long trips_per_point;
        int max_read;
    } chips[] = {{TYPE_232H, 2, 1 << 30}, {TYPE_2232H, 2, 1 << 30}, {TYPE_R, 3, 7}};
    for (auto c : chips) {
        ftdi_standin::settings s;
        s.type = c.type;
        s.max_read = c.max_read; // short reads on the FT232R
        ftdi_standin::reset(s);
        ASSERT_EQ(open_ftdi(""), "");
        EXPECT_EQ(ftdi_standin::done.mode, BITMODE_SYNCBB);
        EXPECT_EQ(ftdi_standin::done.mask, 0x3F);
        EXPECT_EQ(ftdi_standin::done.latency, 1);
        long trips = 0;
        EXPECT_EQ(default_sweep(&ftdi_port, &trips), expected) << c.type;
        EXPECT_LE(trips, 48 * c.trips_per_point) << c.type;
        EXPECT_FALSE(ftdi_standin::done.overflowed) << c.type;
        EXPECT_EQ(ftdi_standin::instrument.faults(), 0) << c.type;
        // Closed: bit-bang mode reset, the device let go.
        EXPECT_EQ(ftdi_standin::done.mode, BITMODE_RESET);
        EXPECT_FALSE(ftdi_standin::done.open);
    }
}

TEST(ftdi, refusals_name_the_reason_and_the_remedy) {
    ftdi_standin::settings s;
    s.present = false;
    ftdi_standin::reset(s);
    EXPECT_EQ(open_ftdi("").rfind("no FTDI device found; is an FT232R, FT232H or FT2232H", 0), 0u);
    EXPECT_EQ(open_ftdi("s:0x0403:0x6014:A1"),
              "no FTDI device matches s:0x0403:0x6014:A1; is it plugged in? (lsusb)");
    EXPECT_EQ(open_ftdi("usb1"), "not a device string: usb1 (use d:BUS/DEV, i:VID:PID, "
                                 "i:VID:PID:INDEX or s:VID:PID:SERIAL)");
    s.present = true;
    s.open_error = -4;
    ftdi_standin::reset(s);
    std::string denied = open_ftdi("i:0x0403:0x6014");
    EXPECT_EQ(denied.rfind("usb_open() failed; permission denied? install the udev rule", 0), 0u)
        << denied;
    EXPECT_NE(denied.find("udev/60-talvik-ftdi.rules"), std::string::npos);
    s.open_error = 0;
    s.type = TYPE_BM; // an older chip, found by its ids
    ftdi_standin::reset(s);
    EXPECT_EQ(open_ftdi("i:0x0403:0x6014"),
              "not an FT232R, FT232H or FT2232H; other FTDI chips are not supported");
    EXPECT_FALSE(ftdi_standin::done.open);
}

TEST(ftdi_death, an_adapter_that_fails_mid_sweep_ends_the_run) {
    ftdi_standin::settings s;
    s.fail_write_after = 3;
    ftdi_standin::reset(s);
    ASSERT_EQ(open_ftdi(""), "");
    use_port(&ftdi_port);
    EXPECT_EXIT(converter_start(), ::testing::ExitedWithCode(4),
                "^Lost port ftdi: usb bulk write failed\n$");
    ftdi_port.close();
}

} // namespace
