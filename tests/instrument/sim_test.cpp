// The simulated instrument driven by the program's own line sequences.
#include "app/sweep.hpp"
#include "instrument/sim.hpp"
#include "link/link.hpp"
#include "link/port.hpp"
#include "link/test_link.hpp"
#include "run_program.hpp"

#include <memory>

#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace {

sim_instrument sim;

// The test's own instrument behind the seam, so that it can look inside.
void *open_sim(const char *, const port_notes &, char *, size_t) { return &sim; }
bool close_sim(void *, char *, size_t) { return true; }
bool set_data(void *, uint8_t v, port_fault *) {
    sim.write(v);
    return true;
}
bool get_status(void *, uint8_t *v, port_fault *) {
    *v = sim.read();
    return true;
}
const port_backend sim_backend = {.name = "sim",
                                  .open = open_sim,
                                  .close = close_sim,
                                  .set_data = set_data,
                                  .get_status = get_status};

struct sim_test : ::testing::Test {
    std::unique_ptr<test_link> link;
    void SetUp() override { use(""); }
    void use(const char *options) {
        link.reset();
        sim.reset();
        char reason[200];
        ASSERT_TRUE(sim.configure(options, reason, sizeof reason)) << reason;
        link = std::make_unique<test_link>(&sim_backend, "");
    }
    void TearDown() override {
        link.reset();
        EXPECT_EQ(sim.faults(), 0) << "protocol fault";
    }
};

TEST_F(sim_test, synthesizer_takes_the_loads) {
    load_synthesizer(5, 0);
    EXPECT_EQ(sim.tuning_word(), 5u);
    load_synthesizer(INT32_MIN, 0);
    EXPECT_EQ(sim.tuning_word(), 0x80000000u);
    EXPECT_DOUBLE_EQ(sim.frequency_hz(), 50e6);
    load_synthesizer(42949672, 0x1FF);
    EXPECT_EQ(sim.control(), 0xFF);
    EXPECT_NEAR(sim.frequency_hz(), 999999.98, 0.01);
    EXPECT_EQ(sim.updates(), 3);
}

TEST_F(sim_test, exchanges_keep_the_frequency_and_deliver_the_command) {
    load_synthesizer(123456789, 0);
    converter_exchange(0x8710);
    EXPECT_EQ(sim.last_command(), 0x8710);
    converter_start();
    EXPECT_EQ(sim.last_command(), 0x8714);
    EXPECT_EQ(sim.commands(), 4);
    EXPECT_EQ(sim.tuning_word(), 123456789u);
    EXPECT_EQ(sim.updates(), 1);
}

TEST_F(sim_test, the_converter_is_pipelined_and_needs_its_start_up_words) {
    use("reply=0x1234,busy=0");
    load_synthesizer(42949672, 0);
    converter_exchange(measure_command);
    EXPECT_EQ(converter_exchange(measure_command), 0u) << "not set up yet";
    converter_start();
    // The first exchange answers the previous conversion; the second this one.
    EXPECT_EQ(converter_exchange(measure_command), 0u);
    EXPECT_EQ(converter_exchange(measure_command), 0x1234u);
}

TEST_F(sim_test, reading_follows_the_frequency_at_the_conversion) {
    use("dut=lowpass,busy=0");
    converter_start();
    load_synthesizer(42949672, 0); // 1 MHz: in the pass band
    converter_exchange(measure_command);
    double pass = decode_reply(converter_exchange(measure_command)).level_dbm;
    load_synthesizer(429496729, 0); // 10 MHz: 30 dB down
    double first = decode_reply(converter_exchange(measure_command)).level_dbm;
    double stop = decode_reply(converter_exchange(measure_command)).level_dbm;
    EXPECT_NEAR(pass, 0.0, 0.05);
    EXPECT_NEAR(first, pass, 0.01) << "first reply is the earlier point's";
    EXPECT_NEAR(stop, sim_level_dbm(dut_model::lowpass, 10e6), 0.01);
    EXPECT_NEAR(stop, -30.2, 0.1);
}

// A trimmer turned while the instrument runs: the band-pass (4 MHz centre,
// 1 MHz wide, 4th-order Butterworth) moved up by what the knob's file holds,
// the file read again once 10 ms have passed on the instrument's clock.
std::chrono::steady_clock::time_point knob_time;

TEST_F(sim_test, the_knob_moves_the_device_under_test_as_it_changes) {
    temp_dir dir;
    std::string knob = dir.file("knob");
    write_file(knob, "-250000\n");
    use(("dut=bandpass,busy=0,knob=" + knob).c_str());
    sim.set_time_source([] { return knob_time; });
    converter_start();
    auto level_at = [](int32_t word) {
        load_synthesizer(word, 0);
        converter_exchange(measure_command);
        return decode_reply(converter_exchange(measure_command)).level_dbm;
    };
    // The model's level with the response moved up by detune, within half
    // a converter count (0.003 dB).
    auto truth = [](double hz, double detune) {
        const double pi = 3.14159265358979323846, x = pi * hz / 100e6, f = hz - detune;
        double off = (f / 4e6 - 4e6 / f) * 4;
        return std::fmax(-100, 20 * std::log10(std::sin(x) / x) - 10 * std::log10(1 + std::pow(off, 4)));
    };
    const int32_t centre = 193273528, skirt = 216895507; // 4.5 and 5.05 MHz
    const double hz = 100e6 * centre / 4294967296.0, skirt_hz = 100e6 * skirt / 4294967296.0;
    auto later = [](int ms) { knob_time += std::chrono::milliseconds(ms); };
    EXPECT_NEAR(level_at(centre), truth(hz, -250000), 0.004) << "read from the start";
    auto open_files = [] {
        int n = 0;
        for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd"))
            n += entry.exists();
        return n;
    };
    int files = open_files();
    write_file(knob, "500000 \r\n"); // as an editor may leave it
    later(9);
    EXPECT_NEAR(level_at(centre), truth(hz, -250000), 0.004) << "not yet read again";
    later(1);
    EXPECT_NEAR(level_at(centre), truth(hz, 500000), 0.004) << "centred on 4.5 MHz now";
    EXPECT_NEAR(level_at(skirt), truth(skirt_hz, 500000), 0.004) << "and its skirt moved";
    // As far as a GHz either way: the pass band beyond reach, the floor read.
    for (const char *far : {"-1e9", "1e9"}) {
        write_file(knob, "500000");
        later(10);
        EXPECT_NEAR(level_at(centre), truth(hz, 500000), 0.004);
        write_file(knob, far);
        later(10);
        EXPECT_NEAR(level_at(centre), -100, 0.004) << far;
    }
    // Moved above the frequency: the band-pass met as at 0 Hz, blocking.
    write_file(knob, "6e6");
    later(10);
    EXPECT_NEAR(level_at(centre), -100, 0.004);
    write_file(knob, "500000\t\n"); // as a script may leave it
    later(10);
    EXPECT_NEAR(level_at(centre), truth(hz, 500000), 0.004);
    EXPECT_EQ(open_files(), files) << "each read closes the file";
    // A file that holds no number, or none within a GHz, or more, or is
    // gone: the knob stays where it was.
    for (const std::string &text :
         std::vector<std::string>{"", "a lot", "1.000001e9", "nan", "0 1",
                                  "250000" + std::string(60, ' '), std::string(59, ' ') + "1000000",
                                  std::string("250000\0x", 8)}) {
        write_file(knob, text);
        later(10);
        EXPECT_NEAR(level_at(centre), truth(hz, 500000), 0.004) << text;
    }
    // Nor does anything but a plain file move it, or hold it up: a FIFO
    // with no writer would block a read for ever.
    std::remove(knob.c_str());
    ASSERT_EQ(mkfifo(knob.c_str(), 0600), 0);
    later(10);
    EXPECT_NEAR(level_at(centre), truth(hz, 500000), 0.004);
    std::remove(knob.c_str());
    later(10);
    EXPECT_NEAR(level_at(centre), truth(hz, 500000), 0.004);
}

// The step attenuator: the level less what its file holds, 0 to 200 dB, the
// floor after it; a value beyond is refused and the last one stays.
TEST_F(sim_test, the_attenuator_takes_what_its_file_holds_up_to_200_db) {
    temp_dir dir;
    std::string atten = dir.file("atten");
    write_file(atten, "30\n");
    use(("dut=through,busy=0,atten=" + atten).c_str());
    sim.set_time_source([] { return knob_time; });
    converter_start();
    const int32_t word = 42949673; // 1 MHz
    auto level = [&] {
        load_synthesizer(word, 0);
        converter_exchange(measure_command);
        return decode_reply(converter_exchange(measure_command)).level_dbm;
    };
    const double pi = 3.14159265358979323846, x = pi * (100e6 * word / 4294967296.0) / 100e6;
    const double out = 20 * std::log10(std::sin(x) / x);
    EXPECT_NEAR(level(), out - 30, 0.004);
    write_file(atten, "75.5");
    knob_time += std::chrono::milliseconds(10);
    EXPECT_NEAR(level(), out - 75.5, 0.004);
    write_file(atten, "200");
    knob_time += std::chrono::milliseconds(10);
    EXPECT_NEAR(level(), -100, 0.004) << "the floor";
    for (const char *beyond : {"200.5", "-1"}) {
        write_file(atten, "10");
        knob_time += std::chrono::milliseconds(10);
        EXPECT_NEAR(level(), out - 10, 0.004);
        write_file(atten, beyond);
        knob_time += std::chrono::milliseconds(10);
        EXPECT_NEAR(level(), out - 10, 0.004) << beyond;
    }
}

TEST_F(sim_test, busy_shows_for_the_conversion_time) {
    // A 16-bit command written straight to the lines, so the link's own wait
    // does not hide the busy line.
    auto command = [](uint16_t word) {
        sim.write(0xAF);
        for (int p = 15; p >= 0; --p) {
            uint8_t d = (word >> p) & 1 ? 0x10 : 0;
            sim.write(0x8F);
            sim.write(0x8F | d);
            sim.write(0xAF | d);
        }
        sim.write(0xEF);
    };
    use("busy=forever");
    command(0x871C);
    EXPECT_TRUE(sim.read() & 0x80);
    use("busy=0");
    command(0x871C);
    EXPECT_FALSE(sim.read() & 0x80);
    use("busy=20000");
    command(0x871C);
    EXPECT_TRUE(sim.read() & 0x80);
    // The exchange's ready wait outlasts it.
    auto started = std::chrono::steady_clock::now();
    converter_exchange(0x8718);
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(20));
    EXPECT_FALSE(sim.read() & 0x80);
    // Timed in reads: busy for exactly so many, each conversion.
    use("busyreads=3");
    for (uint16_t word : {0x871C, 0x8718}) {
        command(word);
        for (int i = 0; i < 3; ++i)
            EXPECT_TRUE(sim.read() & 0x80) << i;
        EXPECT_FALSE(sim.read() & 0x80);
    }
    // A start-up word whose conversion never ends: the first is taken, the
    // second never gets ready.
    use("busy=0,fault=startup-stuck:2");
    command(0x871C);
    EXPECT_FALSE(sim.read() & 0x80);
    command(0x8718);
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(sim.read() & 0x80);
}

TEST(sim_levels, reply_words_decode_back_to_the_level) {
    for (double dbm = -180.0; dbm <= 14.7; dbm += 0.37) {
        auto r = decode_reply(sim_reply_word(dbm));
        EXPECT_NEAR(r.level_dbm, dbm, 0.004) << dbm;
        EXPECT_FALSE(r.overflow) << dbm;
    }
    EXPECT_EQ(sim_reply_word(0.0), 13931);
    EXPECT_EQ(sim_reply_word(-84.0), 0);
    EXPECT_EQ(sim_reply_word(-84.005), 0xFFFF); // count -1
}

TEST(sim_levels, saturation_makes_bits_14_and_15_differ) {
    EXPECT_EQ(sim_reply_word(20.0), 0x7FFF);
    EXPECT_EQ(sim_reply_word(-300.0), 0x8000);
    EXPECT_TRUE(decode_reply(0x7FFF).overflow);
    EXPECT_EQ(decode_reply(0x7FFF).reading, 16383);
}

TEST(sim_levels, device_models) {
    // Band-pass: centre 4 MHz, -3 dB points 1 MHz apart around it.
    double f1 = -0.5e6 + std::sqrt(0.25e12 + 16e12), f2 = f1 + 1e6;
    auto dut = [](dut_model m, double hz) {
        return sim_level_dbm(m, hz) - sim_level_dbm(dut_model::through, hz);
    };
    EXPECT_NEAR(dut(dut_model::bandpass, 4e6), 0.0, 1e-9);
    EXPECT_NEAR(dut(dut_model::bandpass, f1), -3.01, 0.01);
    EXPECT_NEAR(dut(dut_model::bandpass, f2), -3.01, 0.01);
    EXPECT_NEAR(dut(dut_model::lowpass, 5e6), -3.01, 0.01);
    EXPECT_NEAR(dut(dut_model::notch, 6e6), -40.0, 0.01);
    EXPECT_NEAR(dut(dut_model::notch, 1e6), 0.0, 0.01);
    EXPECT_NEAR(sim_level_dbm(dut_model::through, 30e6), -1.33, 0.01); // sin(x)/x
    // Word 0: no signal, whatever the device; the detector reads its floor.
    for (dut_model m : {dut_model::through, dut_model::lowpass, dut_model::bandpass,
                        dut_model::notch, dut_model::crystal})
        EXPECT_EQ(sim_level_dbm(m, 0), -100.0);
    EXPECT_EQ(sim_reply_word(-100), 0xF5A2); // reading -2654
}

TEST(sim_options, bad_options_are_refused_with_a_reason) {
    sim_instrument s;
    char reason[200];
    EXPECT_FALSE(s.configure("bogus=1", reason, sizeof reason));
    EXPECT_STREQ(reason, "unknown option bogus=1 (dut=, reply=, busy=, busyreads=, fault=, knob=, atten=, clock=, slope=, intercept=, curve=)");
    EXPECT_FALSE(s.configure("dut=attenuator", reason, sizeof reason));
    EXPECT_NE(std::string(reason).find("dut=attenuator"), std::string::npos);
    for (const char *bad :
         {"reply=65536", "reply=0x", "reply=12k", "busy=-1", "busy=", "dut", "knob=", "busyreads=0",
          "busyreads=1001", "fault=startup-stuck:0", "fault=startup-stuck:4", "fault=startup-stuck:",
          "fault=startup-stuck:12", "clock=999999", "clock=1e9x", "clock=0x5F5E100", "slope=0.5",
          "slope=101", "intercept=1", "intercept=-201", "curve=20.5", "curve=nan"})
        EXPECT_FALSE(s.configure(bad, reason, sizeof reason)) << bad;
    EXPECT_TRUE(s.configure("dut=notch,reply=0xC000,busy=forever", reason, sizeof reason));
    EXPECT_TRUE(s.configure("clock=1e9,slope=100,intercept=-200,curve=-20", reason, sizeof reason))
        << reason;
    EXPECT_TRUE(s.configure("", reason, sizeof reason));
    // A value runs to the next comma, ':' and '=' and all; no pair is split.
    EXPECT_FALSE(s.configure("reply=1=2", reason, sizeof reason));
    EXPECT_STREQ(reason, "bad value in option reply=1=2 (0 to 65535, or 0x0 to 0xFFFF)");
    EXPECT_FALSE(s.configure("dut=crystal:9M", reason, sizeof reason));
    EXPECT_NE(std::string(reason).find("dut=crystal:9M (through, lowpass, bandpass, notch or crystal)"),
              std::string::npos);
    EXPECT_FALSE(s.configure("dut", reason, sizeof reason));
    EXPECT_STREQ(reason, "option dut takes a value: dut=...");
    // Nothing is applied unless every pair is sound.
    sim_instrument fresh;
    EXPECT_FALSE(fresh.configure("reply=5,bogus=1", reason, sizeof reason));
    EXPECT_FALSE(fresh.fixed_reply());
    // Any number of pairs: no length limit.
    std::string many;
    for (int i = 0; i < 200; ++i)
        many += "busy=5,";
    EXPECT_TRUE(fresh.configure((many + "reply=7").c_str(), reason, sizeof reason)) << reason;
    EXPECT_TRUE(fresh.fixed_reply());
}

TEST(sim_models, the_crystal_filter_ripples_half_a_decibel_across_2400_hz) {
    // T4(x) = cos(4 acos x): |T4| = 1 at x = cos(k pi / 4), 0 at cos((2k+1) pi / 8).
    auto at = [](double x) { // the frequency of detuning x about 9 MHz, 2.4 kHz wide
        double b = 2400 * x;
        return (b + std::sqrt(b * b + 4 * 81e12)) / 2;
    };
    auto dut = [](double hz) {
        return sim_level_dbm(dut_model::crystal, hz) - sim_level_dbm(dut_model::through, hz);
    };
    for (double x : {-1.0, -0.70710678, 0.0, 0.70710678, 1.0})
        EXPECT_NEAR(dut(at(x)), -0.5, 1e-6) << x;
    for (double x : {-0.92387953, -0.38268343, 0.38268343, 0.92387953})
        EXPECT_NEAR(dut(at(x)), 0.0, 1e-6) << x;
    EXPECT_NEAR(at(1) - at(-1), 2400, 1e-6);
    // Outside the band T4(x) = cosh(4 acosh x).
    const double e2 = std::pow(10, 0.05) - 1;
    for (double x : {1.5, 4.0, 8.0})
        EXPECT_NEAR(dut(at(x)), -10 * std::log10(1 + e2 * std::pow(std::cosh(4 * std::acosh(x)), 2)),
                    1e-6)
            << x;
    // Further out the detector reads its floor.
    EXPECT_EQ(sim_level_dbm(dut_model::crystal, at(20)), -100.0);
}

struct sim_faults : ::testing::Test {
    sim_instrument s;
    void drive(std::initializer_list<uint8_t> bytes) {
        for (uint8_t b : bytes)
            s.write(b);
    }
};

TEST_F(sim_faults, short_load_is_reported) {
    ::testing::internal::CaptureStderr();
    drive({0xF0, 0xF2, 0xF0, 0xF4, 0xF0}); // one bit, then update
    drive({0xF0, 0xF2, 0xF0, 0xF4, 0xF0}); // the same kind again: counted, not repeated
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "simulated instrument: update pulse after 1 bits, not 40\n");
    EXPECT_EQ(s.faults(), 2);
    EXPECT_EQ(s.updates(), 0);
}

TEST_F(sim_faults, short_command_and_unselected_clock_are_reported) {
    ::testing::internal::CaptureStderr();
    drive({0xAF, 0x8F, 0x9F, 0xBF, 0xEF}); // one bit, then release
    drive({0xCF, 0xEF});                   // clock rises while released
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("simulated instrument: command of 1 bits, not 16\n"), std::string::npos);
    EXPECT_NE(err.find("simulated instrument: converter clock edge while not selected"),
              std::string::npos);
    EXPECT_EQ(s.faults(), 2);
}

} // namespace
