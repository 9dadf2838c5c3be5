// The calibration file: read back as written, refused with its line where
// it is not one, and the linearity between and beyond its steps.
#include "measure/calibration.hpp"
#include "measure/point.hpp"
#include "measure/words.hpp"
#include "run_program.hpp"

#include <cmath>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

// "L 0.1, L 0.1, ..." at levels -100, -99, ...
std::string pairs(int n) {
    std::string text;
    for (int i = 0; i < n; ++i)
        text += (i ? ", " : "") + std::to_string(i - 100) + " 0.1";
    return text;
}

TEST(calibration, a_file_reads_back_as_written_and_applies) {
    temp_dir dir;
    calibration c;
    c.detector = true;
    c.slope_mv = 27.5;
    c.intercept_dbm = -81.25;
    c.intercept_kept = true;
    c.detector_at_hz = 10e6;
    c.detector_measured = "2026-12-08 05:40 UTC";
    c.linearity = {{-60, 0.2}, {-20, -0.2}, {0, 0.1}};
    c.clock = true;
    c.clock_hz = 100004000;
    std::string path = dir.file("cal");
    write_file(path, calibration_text(c));
    calibration back;
    std::string why;
    ASSERT_TRUE(read_calibration(path, &back, &why)) << why;
    EXPECT_EQ(calibration_text(back), calibration_text(c));
    // Between steps by straight lines, beyond them the nearest end's.
    EXPECT_DOUBLE_EQ(linearity_correction(back, -40), 0.0);
    EXPECT_DOUBLE_EQ(linearity_correction(back, -10), -0.05);
    EXPECT_DOUBLE_EQ(linearity_correction(back, -90), 0.2);
    EXPECT_DOUBLE_EQ(linearity_correction(back, 10), 0.1);
    // In force: volts = (level - intercept) x slope, then the correction;
    // 2^32 / clock words a hertz, and the low band from it.
    apply_calibration(&back);
    EXPECT_NEAR(level_of_volts(27.5e-3 * (-40 + 81.25)), -40.0, 1e-9);
    EXPECT_NEAR(level_of_volts(27.5e-3 * (-10 + 81.25)), -10.05, 1e-9);
    EXPECT_EQ(tw_per_hz, static_cast<float>(4294967296.0 / 100004000));
    EXPECT_EQ(low_band_word, static_cast<int32_t>(std::ceil(62500.01 * tw_per_hz)));
    apply_calibration(nullptr);
    EXPECT_EQ(tw_per_hz, 42.94967269897461f);
    EXPECT_EQ(low_band_word, 2684355);
    EXPECT_DOUBLE_EQ(level_of_volts(2.1), 0.0);
}

TEST(calibration, a_file_that_is_not_one_is_refused_with_its_line) {
    temp_dir dir;
    std::string path = dir.file("cal");
    const std::string head = "talvik calibration 1\n";
    struct {
        std::string text, why;
    } cases[] = {
        {"", "line 1: empty: not a calibration"},
        {"talvik calibration 2\n", "line 1: not a talvik calibration"},
        {head + "detector_slope_mv = 2", "detector_slope_mv and detector_intercept_dbm go together"},
        {head + "detector_slope_mv = 0\ndetector_intercept_dbm = -84\n",
         "line 2: '0' is not a number from 1 to 100 mV per dB"},
        {head + "clock_hz = 1e400\n", "line 2: '1e400' is not a number"},
        {head + "clock_hz = nan\n", "line 2: 'nan' is not a number"},
        {head + "clock_hz = 0x6000000\n", "line 2: '0x6000000' is not a number"},
        {head + "clock_hz = 100000000\n# again\nclock_hz = 100000001\n",
         "line 4: clock_hz given twice (first on line 2)"},
        {head + "clock = 100000000\n", "line 2: unknown key 'clock'"},
        {head + "clock_hz 100000000\n", "line 2: not 'key = value'"},
        {head + "detector_slope_mv = 25\ndetector_intercept_dbm = -84\nlinearity = -10 0, -20 0\n",
         "line 4: linearity's levels must rise"},
        {head + std::string(70000, '#'), ": more than 64 KiB"},
        {head + "clock_how = a\x1b[2J\n", "line 2: a note of more than 200 characters"},
        {head + "clock_how = " + std::string(201, 'a') + "\n", "line 2: a note of more than 200"},
        {head + "detector_slope_mv = 25\ndetector_intercept_dbm = -84\nlinearity = " + pairs(65),
         "line 4: linearity holds more than 64 steps"},
    };
    for (const auto &c : cases) {
        write_file(path, c.text);
        calibration out;
        out.slope_mv = 99;
        std::string why;
        EXPECT_FALSE(read_calibration(path, &out, &why)) << c.why;
        EXPECT_EQ(why.rfind("Calibration file " + path, 0), 0u) << why;
        EXPECT_NE(why.find(c.why), std::string::npos) << why;
        EXPECT_EQ(out.slope_mv, 99) << "nothing half applied";
    }
    // At the bounds, a file still reads.
    write_file(path, head + "clock_hz = 1e8\nclock_how = " + std::string(200, 'a') +
                         "\ndetector_slope_mv = 25\ndetector_intercept_dbm = -84\nlinearity = " +
                         pairs(64) + "\n");
    calibration out;
    std::string why;
    EXPECT_TRUE(read_calibration(path, &out, &why)) << why;
    EXPECT_EQ(out.linearity.size(), 64u);
    // A part not in the file is as built, and said so.
    write_file(path, head + "detector_slope_mv = 25\ndetector_intercept_dbm = -84\n");
    ASSERT_TRUE(read_calibration(path, &out, &why)) << why;
    EXPECT_EQ(calibration_summary(out, "f"),
              "calibration f: detector 25.000 mV/dB, 0 V at -84.00 dBm; clock as built");
    EXPECT_FALSE(read_calibration(dir.file("missing"), &out, &why));
    EXPECT_NE(why.find("No such file or directory"), std::string::npos) << why;
    // Nothing but a plain file: a FIFO with no writer would block for ever.
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    EXPECT_FALSE(read_calibration(dir.file("fifo"), &out, &why));
    EXPECT_EQ(why, "Calibration file " + dir.file("fifo") + ": not a plain file");
    EXPECT_FALSE(read_calibration(dir.path, &out, &why));
    EXPECT_EQ(why, "Calibration file " + dir.path + ": not a plain file");
}

// The programs refuse a bad file before touching anything: talvik with
// status 1, the tools with 2.
TEST(calibration, programs_refuse_a_bad_file_before_anything_is_touched) {
    temp_dir dir;
    write_file(dir.file("cal"), "talvik calibration 1\nclock_hz = fast\n");
    write_file(dir.file("r.txt"), "earlier results\n");
    for (const char *program : {TALVIK_BIN, TALVIK_PROBE_BIN, TALVIK_TUNE_BIN}) {
        run_options o;
        o.program = program;
        o.args = program == std::string(TALVIK_BIN) ? std::vector<std::string>{"r.txt"}
                 : program == std::string(TALVIK_TUNE_BIN) ? std::vector<std::string>{"--sweeps", "1"}
                                                           : std::vector<std::string>{};
        o.dir = dir.path;
        o.env = {"TALVIK_CAL=" + dir.file("cal")};
        auto r = run_talvik(o);
        EXPECT_EQ(r.status, program == std::string(TALVIK_BIN) ? 1 : 2) << program;
        EXPECT_NE(r.err.find(", line 2: 'fast' is not a number"), std::string::npos) << r.err;
        EXPECT_EQ(read_file(dir.file("r.txt")), "earlier results\n");
    }
    // A file TALVIK_CAL names must be there: none is not taken for as built.
    run_options o;
    o.args = {"r.txt"};
    o.dir = dir.path;
    o.env = {"TALVIK_CAL=" + dir.file("missing")};
    auto r = run_talvik(o);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Calibration file " + dir.file("missing") + ": No such file or directory\n");
}

// In force, each program says which: talvik on standard error, the probe in
// its report and its JSON; the results file keeps its format.
TEST(calibration, programs_say_which_calibration_is_in_force) {
    temp_dir dir;
    std::string path = dir.file("cal");
    write_file(path, "talvik calibration 1\ndetector_slope_mv = 27\ndetector_intercept_dbm = -82\n"
                     "clock_hz = 100004000\nclock_measured = 2026-12-01 10:00 UTC\n");
    const std::string said = "calibration " + path + ": detector 27.000 mV/dB, 0 V at -82.00 dBm; "
                             "clock 100004000.0 Hz, measured 2026-12-01 10:00 UTC";
    run_options o;
    o.args = {"r.txt"};
    o.dir = dir.path;
    o.env = {"TALVIK_CAL=" + path, "TALVIK_PORT=sim:dut=through,slope=27,intercept=-82,clock=100004000"};
    auto r = run_talvik(o);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, said + "\n");
    // 1 MHz is the word the calibrated clock gives it: recorded as 1000000.0,
    // its level within half a count (0.0028 dB at 27 mV per dB) of the
    // model's: 0 dBm less sin(x)/x, x = pi 1 MHz / 100.004 MHz.
    std::string records = read_file(dir.file("r.txt"));
    EXPECT_EQ(records.substr(0, 30), " Frequency\t  dBm \r\n 1000000.0\t");
    double x = 3.14159265358979323846 * 1e6 / 100004000;
    EXPECT_NEAR(std::stod(records.substr(30)), 20 * std::log10(std::sin(x) / x), 0.0035);
    o.program = TALVIK_PROBE_BIN;
    o.args = {"--json"};
    r = run_talvik(o);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("\"calibration\": \"" + said + "\""), std::string::npos) << r.out;
    o.args = {};
    r = run_talvik(o);
    EXPECT_NE(r.out.find("\n" + said + "\n10 checks: "), std::string::npos) << r.out;
}

} // namespace
