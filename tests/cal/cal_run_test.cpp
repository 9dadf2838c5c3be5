// talvik-cal and calibrated sweeps on a simulated instrument that is not the
// nominal one: a detector 8 % steep (27 mV per dB) and 2 dB off (0 V at
// -82 dBm) with a 0.5 dB bow, and a clock 40 ppm fast. The truth from the
// documented model, never from the code under test.
#include "cal/fit.hpp"
#include "run_program.hpp"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <thread>

namespace {

const double pi = 3.14159265358979323846;
const double true_clock = 100004000; // the simulated generator's
const double tw_nominal = 42.94967269897461;

// The level the detector sees at hz: 0 dBm less sin(x)/x over the real
// clock, through the band-pass (4 MHz, 1 MHz wide, 4th order).
double truth_dbm(double hz) {
    double x = pi * hz / true_clock, off = (hz / 4e6 - 4e6 / hz) * 4;
    return std::fmax(-100, 20 * std::log10(std::sin(x) / x) - 10 * std::log10(1 + std::pow(off, 4)));
}

struct cal_run : ::testing::Test {
    temp_dir dir;
    std::string cal = dir.file("calibration"), atten = dir.file("atten");
    // Calibrated through a cable; the band-pass swept.
    std::string faults = "slope=27,intercept=-82,clock=100004000,curve=0.5,atten=" + atten;

    run_result tool(std::vector<std::string> args, std::function<std::string(const std::string &)> answer) {
        run_options o;
        o.program = TALVIK_CAL_BIN;
        o.args = std::move(args);
        o.dir = dir.path;
        o.env = {"TALVIK_PORT=sim:dut=through," + faults, "TALVIK_CAL=" + cal};
        o.answer = std::move(answer);
        return run_talvik(o);
    }
    // Answers each attenuator prompt by setting the simulated attenuator to
    // wrong(asked), then Enter once the simulator has read it (every 10 ms).
    run_result detector(std::vector<std::string> args, double (*wrong)(double) = nullptr) {
        auto prompts = std::make_shared<size_t>(0);
        return tool(args, [this, prompts, wrong](const std::string &out) -> std::string {
            size_t at = out.rfind("Set the attenuator to ");
            if (at == std::string::npos || out.compare(out.size() - 13, 13, "press Enter: ") != 0)
                return "";
            size_t n = 0;
            for (size_t k = 0; (k = out.find("Set the attenuator to ", k)) != std::string::npos; ++k)
                ++n;
            if (n == *prompts)
                return "";
            *prompts = n;
            double db = std::stod(out.substr(at + 22));
            write_file(atten, std::to_string(wrong ? wrong(db) : db));
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            return "\n";
        });
    }
    // A sweep's records: frequency and level.
    std::vector<std::pair<double, double>> sweep(const std::string &calibration) {
        write_file(atten, "0");
        run_options o;
        o.args = {"r.txt", "1000000", "10000000", "50"};
        o.dir = dir.path;
        o.env = {"TALVIK_PORT=sim:dut=bandpass," + faults, "TALVIK_CAL=" + calibration};
        auto r = run_talvik(o);
        EXPECT_EQ(r.status, 0) << r.err;
        std::vector<std::pair<double, double>> out;
        std::string text = read_file(dir.file("r.txt"));
        for (size_t at = text.find('\n') + 1; at < text.size(); at = text.find('\n', at) + 1) {
            double hz = 0, level = 0;
            if (std::sscanf(text.c_str() + at, "%lf %lf", &hz, &level) == 2)
                out.push_back({hz, level});
        }
        return out;
    }
};

// The words a sweep forms from 1 MHz by 1/50 steps, with tw units per hertz.
std::vector<long long> words_of(double tw) {
    std::vector<long long> words;
    long long end = static_cast<long long>(10e6 * tw);
    for (long long w = static_cast<long long>(1e6 * tw); w < end; w += w / 50)
        words.push_back(w);
    return words;
}

TEST_F(cal_run, a_calibration_brings_a_sweep_to_the_models_truth) {
    write_file(atten, "0");
    // The clock: a counter reads what word 429496726 really makes.
    long long word = static_cast<long long>(10e6 * tw_nominal);
    double counter = static_cast<double>(word) * true_clock / 4294967296.0;
    char reading[40];
    std::snprintf(reading, sizeof reading, " %.1f\r\n", counter); // as typed on Windows
    auto r = tool({"clock"}, [&](const std::string &out) {
        return out.size() > 6 && out.compare(out.size() - 7, 7, "in Hz: ") == 0 ? std::string(reading)
                                                                              : std::string();
    });
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    // The detector, with the generator's true output at 10 MHz given.
    double x = pi * 10e6 / true_clock;
    char level[32];
    std::snprintf(level, sizeof level, "%.4f", 20 * std::log10(std::sin(x) / x));
    r = detector({"detector", "--level", level});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Set the attenuator to 60 dB"), std::string::npos);
    // What is left at each step is shown: the bow, 0.5 dB at -40 dBm, less
    // the line fitted through it, within a tenth of a dB.
    size_t shown = 0;
    for (size_t k = 0; (k = r.out.find(" the correction is ", k)) != std::string::npos; ++k) {
        ++shown;
        EXPECT_LT(std::fabs(std::stod(r.out.substr(k + 19))), 0.25) << r.out;
    }
    EXPECT_EQ(shown, 7u) << r.out;
    EXPECT_EQ(r.out.find("The readings scatter"), std::string::npos);

    // Calibrated: the words formed from the stored clock make frequencies
    // within 1 ppm of those recorded, and the levels there within 0.1 dB.
    std::string file = read_file(cal);
    double clock = std::stod(file.substr(file.find("clock_hz = ") + 11));
    auto words = words_of(static_cast<float>(4294967296.0 / clock));
    auto calibrated = sweep(cal);
    ASSERT_EQ(calibrated.size(), words.size());
    double worst_ppm = 0, worst_db = 0;
    for (size_t i = 0; i < words.size(); ++i) {
        double hz = static_cast<double>(words[i]) * true_clock / 4294967296.0;
        worst_ppm = std::fmax(worst_ppm, std::fabs(calibrated[i].first / hz - 1) * 1e6);
        if (truth_dbm(hz) > -60)
            worst_db = std::fmax(worst_db, std::fabs(calibrated[i].second - truth_dbm(hz)));
    }
    EXPECT_LT(worst_ppm, 1);
    EXPECT_LT(worst_db, 0.1);
    // Without it, the same instrument is measurably off: 40 ppm, and dB.
    auto plain = sweep("");
    auto nominal_words = words_of(static_cast<float>(tw_nominal));
    ASSERT_EQ(plain.size(), nominal_words.size());
    double off_ppm = 0, off_db = 0;
    for (size_t i = 0; i < plain.size(); ++i) {
        double hz = static_cast<double>(nominal_words[i]) * true_clock / 4294967296.0;
        off_ppm = std::fmax(off_ppm, std::fabs(plain[i].first / hz - 1) * 1e6);
        if (truth_dbm(hz) > -60)
            off_db = std::fmax(off_db, std::fabs(plain[i].second - truth_dbm(hz)));
    }
    EXPECT_GT(off_ppm, 39);
    EXPECT_GT(off_db, 1);
    std::printf("calibrated: %.3f ppm, %.4f dB; without: %.1f ppm, %.3f dB\n", worst_ppm, worst_db,
                off_ppm, off_db);
    // show says what is in force and how old.
    r = tool({"show"}, nullptr);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("clock: 1000039"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("(0 days ago)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nlinearity: 7 steps from -"), std::string::npos) << r.out;
}

TEST_F(cal_run, a_wrong_step_or_the_end_of_input_leaves_the_file_as_it_was) {
    // With no file yet, a detector's calibration claims nothing of the clock.
    auto fresh = detector({"detector", "--steps", "0,10,20,30"});
    ASSERT_EQ(fresh.status, 0) << fresh.err;
    EXPECT_EQ(read_file(cal).find("clock"), std::string::npos) << read_file(cal);
    EXPECT_NE(tool({"show"}, nullptr).out.find("\nclock: as built (100 MHz)\n"), std::string::npos);
    write_file(cal, "talvik calibration 1\nclock_hz = 100000000\nclock_measured = 2024-01-02 03:04 UTC\n");
    std::string before = read_file(cal);
    // 10 dB asked, 15 set: that step is named, nothing stored.
    auto r = detector({"detector", "--steps", "0,10,20,30"},
                      [](double db) { return db == 10 ? 15.0 : db; });
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("the step at 10 dB is "), std::string::npos) << r.err;
    EXPECT_EQ(read_file(cal), before);
    // The last step below the detector's floor (-100 dBm): it pulls the
    // line so that every step is off, and it is the one named.
    r = detector({"detector", "--steps", "0,40,80,120"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("the step at 120 dB is "), std::string::npos) << r.err;
    EXPECT_EQ(read_file(cal), before);
    // Steps too close for the file to tell apart: refused, not stored.
    r = detector({"detector", "--steps", "0,0.0004,20,30"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("the calibration would not read back ("), std::string::npos) << r.err;
    EXPECT_EQ(read_file(cal), before);
    // The input ends at the second prompt.
    r = tool({"detector"}, [](const std::string &out) {
        size_t n = 0;
        for (size_t k = 0; (k = out.find("press Enter: ", k)) != std::string::npos; ++k)
            ++n;
        return n == 1 ? std::string("\n") : n == 2 ? std::string("\x04") : std::string();
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("stopped: the calibration file is as it was"), std::string::npos) << r.err;
    EXPECT_EQ(read_file(cal), before);
    // An old part is pointed out; a date that is none is not given an age.
    r = tool({"show"}, nullptr);
    EXPECT_NE(r.out.find("older than a year, measure it again"), std::string::npos) << r.out;
    write_file(cal, "talvik calibration 1\nclock_hz = 100000000\nclock_measured = 2023-02-29\n");
    r = tool({"show"}, nullptr);
    EXPECT_NE(r.out.find("2023-02-29 (not a date: its age is not known)"), std::string::npos) << r.out;
    // The input ends at the counter's prompt: stopped, nothing kept.
    r = tool({"clock"}, [](const std::string &out) {
        return out.find("in Hz: ") != std::string::npos ? std::string("\x04") : std::string();
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("stopped: the calibration file is as it was"), std::string::npos) << r.err;
    // An option given twice is refused, not half taken.
    r = tool({"clock", "--counter", "10000400", "--counter", "10000000"}, nullptr);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--counter given twice"), std::string::npos) << r.err;
    // A counter 1.5 % off is not on the generator's output.
    r = tool({"clock", "--counter", "10150000"}, nullptr);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("a counter reading 1 % or more from the frequency asked"), std::string::npos);
    EXPECT_NE(read_file(cal).find("2023-02-29"), std::string::npos) << "left as it was";
}

// The fit on readings the model gives exactly: volts = (level - intercept)
// x slope, plus a bow that is 0 at the ends; slope and intercept come back,
// and what is left at each step is the bow less the line through it.
TEST(cal_fit, slope_intercept_and_what_is_left_from_exact_readings) {
    std::vector<detector_step> steps;
    auto bow = [](double level) { return 0.5 * (1 - std::pow((level + 40) / 40, 2)); };
    double level = -2;
    for (double db : {0.0, 20.0, 40.0, 60.0})
        steps.push_back({db, (level - db + 82) * 0.027});
    detector_fit fit;
    std::string why;
    ASSERT_TRUE(fit_detector(steps, &level, -84, &fit, &why)) << why;
    EXPECT_NEAR(fit.slope_mv, 27, 1e-9);
    EXPECT_NEAR(fit.intercept_dbm, -82, 1e-9);
    EXPECT_NEAR(fit.worst_db, 0, 1e-9);
    ASSERT_EQ(fit.linearity.size(), 4u);
    EXPECT_NEAR(fit.linearity[0].first, -62, 1e-9) << "keyed by the level slope and intercept give";
    // Without a level: the intercept kept, the corrections without their mean.
    for (auto &s : steps)
        s.volts += bow(level - s.db) * 0.027;
    ASSERT_TRUE(fit_detector(steps, nullptr, -84, &fit, &why)) << why;
    EXPECT_EQ(fit.intercept_dbm, -84);
    double mean = 0;
    for (const auto &[at, correction] : fit.linearity)
        mean += correction / 4;
    EXPECT_NEAR(mean, 0, 1e-12);
    // Fewer than four steps, or volts that fall with the level: refused.
    steps.pop_back();
    EXPECT_FALSE(fit_detector(steps, &level, -84, &fit, &why));
    EXPECT_NE(why.find("four steps at least"), std::string::npos);
    steps = {{0, 1}, {10, 1.1}, {20, 1.2}, {30, 1.3}};
    EXPECT_FALSE(fit_detector(steps, &level, -84, &fit, &why));
    EXPECT_NE(why.find("do not rise with the level"), std::string::npos) << why;
}

} // namespace
