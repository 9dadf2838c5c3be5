// The program as a user meets it: command line, streams, statuses, files.
#include "run_program.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>

namespace {

const std::string usage = std::string("\nUsage: ") + TALVIK_BIN +
                          " filename.txt [start] [end] [step-fraction-denominator]\n\n";
const std::string defaults = "defaults are 1MHz, 10MHz, and 20, so each step is 5% higher in "
                             "frequency.\n\nHit Control and C to cancel.\n\n\n";
const std::string header = " Frequency\t  dBm \r\n";
const std::string too_small = "step too small - decrease step-fraction-denominator\n\n";

struct run_test : ::testing::Test {
    temp_dir dir;
    run_result run(std::vector<std::string> args, bool terminal = false) {
        run_options o;
        o.args = std::move(args);
        o.dir = dir.path;
        o.terminal = terminal;
        return run_talvik(o);
    }
    bool dir_is_empty() const { return std::filesystem::is_empty(dir.path); }
};

TEST_F(run_test, no_argument_shows_usage_and_creates_nothing) {
    auto r = run({});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, usage);
    EXPECT_EQ(r.out, defaults);
    EXPECT_TRUE(dir_is_empty());
}

TEST_F(run_test, help_and_version_end_well_without_a_file) {
    auto r = run({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find(usage), 0u) << r.out;
    EXPECT_NE(r.out.find(defaults), std::string::npos);
    EXPECT_NE(r.out.find("TALVIK_PORT"), std::string::npos);
    EXPECT_NE(r.out.find("TALVIK_TRACE"), std::string::npos);
    EXPECT_EQ(r.err, "");
    r = run({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("talvik ", 0), 0u);
    // The short forms, alone, are the same; never a file named "-h".
    EXPECT_EQ(run({"-h"}).out, run({"--help"}).out);
    EXPECT_EQ(run({"-V"}).out, r.out);
    EXPECT_TRUE(dir_is_empty());
    // Help that cannot be written is no success.
    run_options o;
    o.args = {"--version"};
    o.stdout_file = "/dev/full";
    r = run_talvik(o);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "talvik: cannot write standard output: No space left on device\n");
}

TEST_F(run_test, a_file_that_cannot_be_opened_is_named) {
    auto r = run({"no/such/dir/r.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Can't open no/such/dir/r.txt\n");
    EXPECT_EQ(r.out, "");
    r = run({""});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Can't open \n");
    // A name that would steer the terminal is shown, not obeyed.
    r = run({"no/such/\x1B[31mX"});
    EXPECT_EQ(r.err, "Can't open no/such/\\x1B[31mX\n");
    EXPECT_TRUE(dir_is_empty());
}

TEST_F(run_test, end_below_start_is_refused_leaving_an_empty_file) {
    write_file(dir.file("r.txt"), "earlier results");
    auto r = run({"r.txt", "2000000", "1000000"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "Enter end frequency higher than start frequency!\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(dir.file("r.txt")), "");
    // Whatever the size of the end: the order check comes first.
    r = run({"r.txt", "90000000", "60000000"});
    EXPECT_EQ(r.status, 2);
}

TEST_F(run_test, end_above_30_mhz_is_refused_with_its_reason) {
    for (auto [end, read] : {std::pair{"30000001", "30000001"}, {"60000000", "60000000"},
                             {"4294967297", "2147483647"}}) {
        auto r = run({"r.txt", "1", end});
        EXPECT_EQ(r.status, 1) << end;
        EXPECT_EQ(r.out, "") << end;
        EXPECT_EQ(r.err, "end frequency " + std::string(read) + " Hz is above 30 MHz\n") << end;
        EXPECT_TRUE(file_exists(dir.file("r.txt")));
        EXPECT_EQ(read_file(dir.file("r.txt")), "");
    }
}

TEST_F(run_test, starts_that_give_no_step_are_refused) {
    for (const char *start : {"0", "-5", "abc"}) {
        auto r = run({"r.txt", start});
        EXPECT_EQ(r.status, 3) << start;
        EXPECT_EQ(r.out, too_small) << start;
        EXPECT_EQ(read_file(dir.file("r.txt")), "");
    }
    auto r = run({"r.txt", "0", "0"});
    EXPECT_EQ(r.status, 3);
    r = run({"r.txt", "1", "1", "43"}); // word 42
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, too_small);
}

// Numbers read as atoi reads them, and said so where text follows the digits.
TEST_F(run_test, text_after_a_numbers_digits_is_said) {
    auto r = run({"r.txt", "3.5M", "2MHz", "20x"});
    EXPECT_EQ(r.status, 2) << r.err; // 3 Hz to 2 Hz
    EXPECT_EQ(r.err, "start '3.5M' reads as 3 Hz: whole hertz only (3500000)\n"
                     "end '2MHz' reads as 2 Hz: whole hertz only (2000000)\n"
                     "step-fraction-denominator '20x' reads as 20: whole numbers only\n");
    // A bare decimal is said, not guessed at.
    r = run({"r.txt", "3.5", "2"});
    EXPECT_EQ(r.err, "start '3.5' reads as 3 Hz: whole hertz only\n");
    // Without digits or after them, nothing to say; the refusal says it.
    for (const char *start : {"abc", " +1000000"}) {
        r = run({"r.txt", start, "1000000"});
        EXPECT_EQ(r.err, "") << start;
    }
    // A setting is shown escaped and cut short.
    r = run({"r.txt", "1\x1B[2J" + std::string(200, 'x'), "1"});
    EXPECT_EQ(r.err.find('\x1B'), std::string::npos) << r.err;
    EXPECT_LT(r.err.size(), 200u) << r.err;
}

// Five periods a point below 62.5 kHz: a sweep that waits over 10 s says
// how long before it starts, from the documented delay: trunc(5000 x
// 42.94967269897461 / word) ms a point.
TEST_F(run_test, a_long_low_band_wait_is_said_before_it_starts) {
    const double tw = 42.94967269897461;
    long long ms = 0;
    for (long long word = static_cast<long long>(1 * tw); word < static_cast<long long>(1000 * tw);
         word += word / 20)
        ms += static_cast<long long>(5000.0 * tw / static_cast<double>(word));
    long long s = (ms + 500) / 1000;
    char expected[200];
    std::snprintf(expected, sizeof expected,
                  "the low-band points wait %lld min %02lld s in all (five periods of each "
                  "frequency below 62.5 kHz, in whole milliseconds)\n",
                  s / 60, s % 60);
    run_options o;
    o.args = {"r.txt", "1", "1000"};
    o.dir = dir.path;
    o.kill_after_ms = 1000;
    o.kill_signal = 15;
    auto r = run_talvik(o);
    EXPECT_EQ(r.status, 128 + 15);
    EXPECT_EQ(r.err, expected);
    // Under ten seconds, nothing: 1 kHz up, some 0.1 s.
    r = run({"r.txt", "1000", "2000"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err.find("low-band"), std::string::npos) << r.err;
}

// After the sweep, on standard error, what its readings cannot back; the
// records and the status as ever.
TEST_F(run_test, readings_that_cannot_be_real_are_said_after_the_sweep) {
    auto sweep = [&](const std::string &port, std::vector<std::string> args) {
        run_options o;
        o.args = std::move(args);
        o.dir = dir.path;
        o.env = {"TALVIK_PORT=" + port};
        return run_talvik(o);
    };
    auto r = sweep("sim", {"r.txt"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    r = sweep("sim:fault=busy-open", {"r.txt"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err.rfind("busy never showed during the sweep: readings may have been taken "
                          "before the conversion ended (pin 11)\n",
                          0),
              0u)
        << r.err;
    std::string records = read_file(dir.file("r.txt"));
    EXPECT_EQ(std::count(records.begin(), records.end(), '\n'), 1 + 48);
    // The band-pass's deep skirt, 1 to 60 kHz: the points below 50.59 kHz
    // read the detector's -100 dBm floor (reply 0xF5A2), nine in ten or more.
    const double tw = 42.94967269897461;
    long points = 0, floor = 0;
    for (long long word = static_cast<long long>(1000 * tw); word < static_cast<long long>(60000 * tw);
         word += word / 20) {
        double hz = static_cast<double>(word) / static_cast<double>(static_cast<float>(tw));
        double x = (hz / 4e6 - 4e6 / hz) * 4;
        ++points;
        floor += -10 * std::log10(1 + std::pow(x, 4)) <= -100; // sin(x)/x: under 0.0001 dB here
    }
    ASSERT_GE(floor * 10, points * 9);
    ASSERT_LT(floor, points);
    r = sweep("sim", {"r.txt", "1000", "60000"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, std::to_string(floor) + " of " + std::to_string(points) +
                         " readings were the same (reply 0xF5A2, -100.002 dBm): is the instrument "
                         "on and connected? A flat response, or a level at the detector's floor, "
                         "reads so too\n");
}

TEST_F(run_test, divisors_below_one_are_refused) {
    for (const char *divisor : {"0", "-1", "none"}) {
        auto r = run({"r.txt", "1000000", "1000000", divisor});
        EXPECT_EQ(r.status, 3) << divisor;
        EXPECT_EQ(r.out, "step-fraction-denominator must be 1 or more\n") << divisor;
        EXPECT_EQ(read_file(dir.file("r.txt")), "");
    }
}

TEST_F(run_test, accepted_settings_write_the_header) {
    for (std::vector<std::string> args : {std::vector<std::string>{"r.txt", "1", "1", "42"},
                                          {"r.txt", "30000000", "30000000"},
                                          {"r.txt", "1000000", "1000000", "5", "ignored"}}) {
        auto r = run(args);
        EXPECT_EQ(r.status, 0) << args[1];
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(read_file(dir.file("r.txt")), header);
        EXPECT_EQ(r.out.find('\033'), std::string::npos) << "control codes on redirected output";
    }
}

TEST_F(run_test, redirected_output_holds_only_the_texts) {
    auto r = run({"r.txt", "1000000", "1000000", "3"});
    EXPECT_EQ(r.out, "TALVIK\tStart Frequency\t\t  =  1000000.0 Hz  "
                     "\tEnd Frequency\t\t  =  1000000.0 Hz  "
                     "\tFrequency Change per Step = 33.333333 percent  ");
}

TEST_F(run_test, settings_block_on_a_terminal) {
    auto r = run({"r.txt", "1000000", "10000000"}, true);
    auto screen = screen_of(r.out);
    EXPECT_EQ(screen[0], "");
    EXPECT_EQ(screen[1], "");
    EXPECT_EQ(screen[2], "TALVIK          Start Frequency           =  1000000.0 Hz");
    EXPECT_EQ(screen[3], "");
    EXPECT_EQ(screen[4], "                End Frequency             = 10000000.0 Hz");
    EXPECT_EQ(screen[5], "");
    EXPECT_EQ(screen[6], "                Frequency Change per Step = 5.000000 percent");
    EXPECT_EQ(screen[7], "");
    EXPECT_EQ(screen[8], "");
}

TEST_F(run_test, usage_on_a_cleared_terminal) {
    run_options o;
    o.dir = dir.path;
    o.terminal = true;
    o.stderr_on_terminal = true;
    auto r = run_talvik(o);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.rfind("\033[H\033[2J", 0), 0u) << "the screen is cleared first";
    auto screen = screen_of(r.out);
    EXPECT_EQ(screen[0], "");
    EXPECT_EQ(screen[1].rfind("Usage: ", 0), 0u);
    // The usage line may wrap with a long program path; the texts follow it.
    auto at = std::find(screen.begin(), screen.end(), "Hit Control and C to cancel.");
    ASSERT_NE(at, screen.end());
    EXPECT_EQ(*(at - 1), "");
    EXPECT_EQ((at - 2)->rfind("defaults are 1MHz", 0), 0u);
}

TEST_F(run_test, refusal_texts_reach_a_terminal_too) {
    auto r = run({"r.txt", "2000000", "1000000"}, true);
    EXPECT_EQ(r.status, 2);
    auto screen = screen_of(r.out);
    EXPECT_EQ(screen[0], "Enter end frequency higher than start frequency!");
    r = run({"r.txt", "5", "10", "1000"}, true);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(screen_of(r.out)[0], "step too small - decrease step-fraction-denominator");
}

TEST_F(run_test, a_results_file_that_cannot_be_written_ends_the_run) {
    auto r = run({"/dev/full", "1000000", "1000000"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Can't write /dev/full\n");
}

TEST_F(run_test, a_full_disk_leaves_only_complete_lines) {
    run_options o;
    o.args = {"r.txt", "1000000", "10000000", "1000"};
    o.dir = dir.path;
    o.file_size_limit = 1000; // the 32nd record is torn by the limit
    auto r = run_talvik(o);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Can't write r.txt\n");
    std::string file = read_file(dir.file("r.txt"));
    ASSERT_GT(file.size(), 900u);
    EXPECT_EQ(file.substr(file.size() - 2), "\r\n");
    EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), 1 + 31);
}

TEST_F(run_test, closed_standard_output_never_reaches_the_results_file) {
    run_options o;
    o.args = {"r.txt", "1000000", "1200000"};
    o.dir = dir.path;
    o.close_stdout = true;
    auto r = run_talvik(o);
    EXPECT_EQ(r.status, 0);
    std::string file = read_file(dir.file("r.txt"));
    EXPECT_EQ(file.rfind(header, 0), 0u);
    EXPECT_EQ(file.find("frequency ="), std::string::npos);
}

TEST_F(run_test, a_trace_in_place_of_the_results_file_is_refused_before_either_is_touched) {
    write_file(dir.file("k.txt"), "earlier results\n");
    for (const char *trace : {"k.txt", "./k.txt", "new.txt"}) {
        run_options o;
        o.args = {trace == std::string("new.txt") ? "new.txt" : "k.txt"};
        o.env = {std::string("TALVIK_TRACE=") + trace};
        o.dir = dir.path;
        auto r = run_talvik(o);
        EXPECT_EQ(r.status, 1) << trace;
        EXPECT_EQ(r.err, "Results file and trace file are the same: " + o.args[0] + "\n");
    }
    EXPECT_EQ(read_file(dir.file("k.txt")), "earlier results\n");
    EXPECT_FALSE(file_exists(dir.file("new.txt")));
    // A dangling link creates its target: the results file, through a link
    // relative to its own folder.
    std::filesystem::create_directory(dir.file("sub"));
    std::filesystem::create_symlink("../a.txt", dir.file("sub/l.txt"));
    run_options o;
    o.args = {"a.txt"};
    o.env = {"TALVIK_TRACE=sub/l.txt"};
    o.dir = dir.path;
    auto r = run_talvik(o);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Results file and trace file are the same: a.txt\n");
    EXPECT_FALSE(file_exists(dir.file("a.txt")));
}

} // namespace
