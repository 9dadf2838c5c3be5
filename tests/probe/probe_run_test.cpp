// talvik-probe on the simulated instrument, healthy and with each fault.
#include "run_program.hpp"

#include <cmath>
#include <cstdio>
#include <gtest/gtest.h>

namespace {

run_result probe(const std::string &port, std::vector<std::string> args = {}) {
    run_options o;
    o.program = TALVIK_PROBE_BIN;
    o.args = std::move(args);
    o.env = {"TALVIK_PORT=" + port};
    return run_talvik(o);
}

// The level the simulated detector reads at hz, and its reading in counts,
// from the documented model: 0 dBm less sin(x)/x (x = pi f / 100 MHz),
// through the device, never below the -100 dBm floor; 2.1 V at 0 dBm, 25 mV
// per dB, 16383 counts at 2.46955 V.
double model_dbm(double device_db, double hz) {
    const double pi = 3.14159265358979323846, x = pi * hz / 100e6;
    return std::fmax(-100, 20 * std::log10(std::sin(x) / x) + device_db);
}
long model_reading(double dbm) { return std::lround((2.1 + dbm / 40) * 16383 / 2.46955); }

// The line a check gives, or "".
std::string line_of(const std::string &out, const std::string &check) {
    size_t at = out.find("  " + check + " ");
    if (at == std::string::npos)
        return "";
    size_t begin = out.rfind('\n', at) + 1; // npos + 1: the first line
    return out.substr(begin, out.find('\n', at) - begin);
}

TEST(probe_run, a_healthy_instrument_passes_every_check) {
    auto r = probe("sim");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("\n10 checks: 10 ok, 0 warn, 0 FAIL, 0 skipped\n"), std::string::npos)
        << r.out;
    for (const char *check : {"port", "idle lines", "status lines at rest", "converter ready",
                              "conversion time", "converter data", "busy line", "synthesizer",
                              "noise", "timing"})
        EXPECT_NE(r.out.find(std::string("ok    ") + check), std::string::npos) << check;
    // The data are read with a signal present, and say what they mean: the
    // band-pass (4 MHz, 1 MHz wide, 4th order) at 10 MHz.
    double x = (10.0 / 4 - 4 / 10.0) * 4, dbm = model_dbm(-10 * std::log10(1 + std::pow(x, 4)), 10e6);
    char expected[120];
    std::snprintf(expected, sizeof expected, "each time at 10 MHz: reading %ld, %.1f dBm",
                  model_reading(dbm), dbm);
    EXPECT_NE(line_of(r.out, "converter data").find(expected), std::string::npos) << r.out;
    EXPECT_NE(line_of(r.out, "synthesizer").find("-100.0 dBm with no output (word 0)"),
              std::string::npos)
        << r.out;
}

TEST(probe_run, each_fault_is_named_with_its_line) {
    struct {
        const char *fault, *line, *pin;
        int status;
    } faults[] = {
        {"busy-stuck", "FAIL  converter ready", "(pin 11)", 1},
        {"busy-open", "FAIL  busy line             busy never showed in 104 conversions",
         "the busy line (pin 11) never shows while a conversion runs", 1},
        {"startup-stuck:1", "FAIL  converter ready       busy never cleared within 100 ms after "
                            "start-up word 1 of 3 (0x871C)", "(pin 11)", 1},
        {"startup-stuck:3", "FAIL  converter ready       busy never cleared within 100 ms after "
                            "start-up word 3 of 3 (0x8714)", "(pin 11)", 1},
        {"data-low", "FAIL  converter data        0x0000 each time", "pin 10 / AD6", 1},
        {"data-high", "FAIL  converter data        0xFFFF each time", "pin 10 / AD6", 1},
        {"synth-dead", "FAIL  synthesizer", "D0-D2, pins 2-4 / AD0-AD2", 1},
        {"noisy", "warn  noise", "shield the converter's input", 0},
    };
    for (auto f : faults) {
        auto r = probe(std::string("sim:fault=") + f.fault);
        EXPECT_EQ(r.status, f.status) << f.fault << "\n" << r.out;
        size_t at = r.out.find(f.line);
        ASSERT_NE(at, std::string::npos) << f.fault << "\n" << r.out;
        // The advice, on the next line, names the line to look at.
        std::string advice = r.out.substr(r.out.find('\n', at) + 1);
        advice = advice.substr(0, advice.find('\n'));
        EXPECT_EQ(advice.rfind("      ", 0), 0u) << advice;
        EXPECT_NE(advice.find(f.pin), std::string::npos) << f.fault << ": " << advice;
    }
    // A converter faster than any poll is the same fault, as the port sees it.
    auto r = probe("sim:busy=0");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("FAIL  busy line"), std::string::npos) << r.out;
    EXPECT_NE(line_of(r.out, "conversion time").find("unknown: busy never showed"),
              std::string::npos)
        << r.out;
}

// The synthesizer is judged by the detector's change from no output (word
// 0, the floor) to 10 MHz, against the larger of 6 dB and three times the
// readings' scatter; where a device under test blocks 10 MHz, it says the
// check needs a through.
TEST(probe_run, the_synthesizer_check_and_its_threshold) {
    for (const char *dut : {"through", "lowpass", "bandpass", "notch"}) {
        auto r = probe(std::string("sim:dut=") + dut);
        EXPECT_EQ(r.status, 0) << dut;
        EXPECT_EQ(line_of(r.out, "synthesizer").rfind("ok", 0), 0u) << dut << "\n" << r.out;
    }
    auto r = probe("sim:dut=crystal"); // 2.4 kHz wide at 9 MHz: nothing at 10 MHz
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(line_of(r.out, "synthesizer").find("warn  synthesizer           -100.0 dBm with no output "
                                                 "(word 0), -100.0 dBm at 10 MHz, -0.6 dBm at 9 MHz"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("the device under test blocks 10 MHz: this check needs a through"),
              std::string::npos);
    r = probe("sim:fault=synth-dead,dut=through");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("this check needs a through"), std::string::npos) << r.out;
    // The threshold from the scatter's standard deviation (DB/sqrt(3) for
    // readings spread evenly over +-DB): 6 dB below 2 dB of scatter.
    auto json_number = [](const std::string &out, const std::string &key) {
        size_t at = out.find("\"" + key + "\": ");
        return at == std::string::npos ? NAN : std::stod(out.substr(at + key.size() + 4));
    };
    for (int db : {3, 9}) {
        r = probe("sim:dut=through,fault=noisy:" + std::to_string(db), {"--json"});
        double sigma = json_number(r.out, "sigma_db"), threshold = json_number(r.out, "threshold_db");
        EXPECT_NEAR(sigma, db / std::sqrt(3.0), 0.25 * db / std::sqrt(3.0)) << r.out;
        EXPECT_NEAR(threshold, db == 3 ? 6.0 : 3 * sigma, 0.002) << r.out;
    }
}

TEST(probe_run, json_arguments_and_ports) {
    auto r = probe("sim:fault=noisy", {"--json"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("{\"port\": \"sim:fault=noisy\", \"checks\": [{\"name\": \"port\", "
                          "\"result\": \"ok\"",
                          0),
              0u)
        << r.out;
    EXPECT_NE(r.out.find("{\"name\": \"noise\", \"result\": \"warn\", \"measured\": {\"sigma_db\": "),
              std::string::npos);
    EXPECT_NE(r.out.find("\"summary\": \"10 checks: 9 ok, 1 warn, 0 FAIL, 0 skipped\"}"),
              std::string::npos);
    r = probe("lpt9");
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.err.rfind("Can't open port lpt9: unknown port", 0), 0u) << r.err;
    r = probe("sim", {"--frobnicate"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("talvik-probe: unknown argument --frobnicate\nUsage:", 0), 0u);
    r = probe("sim", {"--version"});
    EXPECT_EQ(r.out.rfind("talvik-probe ", 0), 0u);
}

TEST(probe_run, whatever_a_setting_holds_the_json_is_valid_and_the_message_whole) {
    // Bytes that are not UTF-8, a terminal's escape, and 600 more bytes.
    std::string port = "lpt\xFF\x1B[31m" + std::string(600, 'A');
    auto r = probe(port, {"--json"});
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.out.find('\xFF'), std::string::npos);
    EXPECT_EQ(r.out.find('\x1B'), std::string::npos);
    EXPECT_EQ(r.out.rfind("{\"port\": \"lpt\\uFFFD\\u001B[31mAAA", 0), 0u) << r.out;
    EXPECT_EQ(r.err.find('\x1B'), std::string::npos) << "escaped on the terminal too";
    // The setting is cut, with its length; the reason and its newline never.
    EXPECT_EQ(r.err.rfind("Can't open port lpt\\xFF\\x1B[31mAAA", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("...(609 bytes): unknown port; use sim[:OPTIONS], "), std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.substr(r.err.size() - 11), "gpio:LINES\n") << r.err;
    r = probe("sim", {"--x\x1B[31m"});
    EXPECT_EQ(r.err.rfind("talvik-probe: unknown argument --x\\x1B[31m\n", 0), 0u) << r.err;
}

} // namespace
