// talvik-probe on the simulated instrument, healthy and with each fault.
#include "run_program.hpp"

#include <gtest/gtest.h>

namespace {

run_result probe(const std::string &port, std::vector<std::string> args = {}) {
    run_options o;
    o.program = TALVIK_PROBE_BIN;
    o.args = std::move(args);
    o.env = {"TALVIK_PORT=" + port};
    return run_talvik(o);
}

TEST(probe_run, a_healthy_instrument_passes_every_check) {
    auto r = probe("sim");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("\n9 checks: 9 ok, 0 warn, 0 FAIL, 0 skipped\n"), std::string::npos)
        << r.out;
    for (const char *check : {"port", "idle lines", "status lines at rest", "converter ready",
                              "conversion time", "converter data", "synthesizer", "noise",
                              "timing"})
        EXPECT_NE(r.out.find(std::string("ok    ") + check), std::string::npos) << check;
}

TEST(probe_run, each_fault_is_named_with_its_line) {
    struct {
        const char *fault, *line, *pin;
        int status;
    } faults[] = {
        {"busy-stuck", "FAIL  converter ready", "pin 11 / AD7", 1},
        {"busy-open", "warn  converter ready", "pin 11 / AD7", 0},
        {"data-low", "FAIL  converter data", "pin 10 / AD6", 1},
        {"data-high", "FAIL  converter data", "pin 10 / AD6", 1},
        {"synth-dead", "FAIL  synthesizer", "D0-D2 (pins 2-4 / AD0-AD2)", 1},
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
    EXPECT_NE(r.out.find("\"summary\": \"9 checks: 8 ok, 1 warn, 0 FAIL, 0 skipped\"}"),
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
