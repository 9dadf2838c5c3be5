// Whole sweeps of the built program on the simulated instrument.
#include "run_program.hpp"

#include <gtest/gtest.h>
#include <regex>
#include <sstream>

namespace {

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0, end;
    while ((end = text.find("\r\n", start)) != std::string::npos) {
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    EXPECT_EQ(start, text.size()) << "a line without CR LF";
    return lines;
}

const std::regex record(R"( +\d+\.\d\t-?\d+\.\d{3}  \t(Overflow|        ))");

struct sweep_run : ::testing::Test {
    temp_dir dir;
    run_result run(std::vector<std::string> args, std::vector<std::string> env = {},
                   bool terminal = false) {
        run_options o;
        o.args = std::move(args);
        o.env = std::move(env);
        o.dir = dir.path;
        o.terminal = terminal;
        return run_talvik(o);
    }
    std::vector<std::string> results() { return lines_of(read_file(dir.file("r.txt"))); }
};

TEST_F(sweep_run, default_sweep) {
    auto r = run({"r.txt"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "") << "no protocol fault";
    auto lines = results();
    ASSERT_EQ(lines.size(), 49u);
    EXPECT_EQ(lines[0], " Frequency\t  dBm ");
    for (size_t i = 1; i < lines.size(); ++i)
        EXPECT_TRUE(std::regex_match(lines[i], record)) << lines[i];
    EXPECT_EQ(lines[1].substr(0, 11), " 1000000.0\t");
    EXPECT_EQ(lines[2].substr(0, 11), " 1050000.0\t");
    EXPECT_EQ(lines[3].substr(0, 11), " 1102499.9\t");
    EXPECT_EQ(lines[47].substr(0, 11), " 9434256.1\t");
    EXPECT_EQ(lines[48].substr(0, 11), " 9905968.9\t");
    // The default device, a band-pass at 4 MHz, peaks there.
    EXPECT_EQ(lines[29], " 3920128.4\t-0.027  \t        ");
}

TEST_F(sweep_run, divisor_one_doubles_until_past_the_32_bit_range) {
    auto r = run({"r.txt", "13000000", "30000000", "1"});
    EXPECT_EQ(r.status, 0);
    auto lines = results();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1].substr(0, 12), " 13000000.0\t");
    EXPECT_EQ(lines[2].substr(0, 12), " 26000000.0\t");
}

TEST_F(sweep_run, equal_start_and_end_measure_nothing) {
    auto r = run({"r.txt", "5000000", "5000000"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(results(), std::vector<std::string>{" Frequency\t  dBm "});
}

TEST_F(sweep_run, fixed_replies_show_their_decoding) {
    struct {
        const char *reply, *record, *live;
    } cases[] = {
        {"0x3FFF", "14.782  \t        ", "14.782"},
        {"0xC000", "-182.788  \t        ", "-182.788"},
        {"0x4000", "-84.000  \tOverflow", "-84.000"},
        {"0x8000", "-182.788  \tOverflow", "-182.788"},
        {"13932", "0.004  \t        ", "0.004"},
        {"13931", "-0.002  \t        ", "-0.002"},
        {"0x7FFF", "14.782  \tOverflow", "14.782"},
    };
    for (auto c : cases) {
        auto r =
            run({"r.txt", "1000000", "1100000"}, {std::string("TALVIK_PORT=sim:reply=") + c.reply});
        EXPECT_EQ(r.status, 0) << c.reply;
        EXPECT_EQ(r.err, "") << "replies fixed by design are no fault";
        auto lines = results();
        ASSERT_EQ(lines.size(), 3u) << c.reply;
        EXPECT_EQ(lines[1], std::string(" 1000000.0\t") + c.record) << c.reply;
        EXPECT_NE(
            r.out.find(std::string("\tfrequency = 1000000.0\t dBm =  ") + c.live + "    \n\n"),
            std::string::npos)
            << c.reply << r.out;
    }
}

TEST_F(sweep_run, live_line_on_row_10_of_a_terminal) {
    auto r = run({"r.txt"}, {}, true);
    EXPECT_EQ(r.status, 0);
    auto screen = screen_of(r.out);
    EXPECT_EQ(screen[2].rfind("TALVIK          Start Frequency", 0), 0u);
    EXPECT_EQ(screen[9], "                frequency = 9905968.9    dBm =  -36.885");
    EXPECT_EQ(screen[10], "");
    EXPECT_EQ(screen[11], "");
}

TEST_F(sweep_run, interrupted_sweeps_keep_only_complete_records_in_order) {
    for (int signal : {2, 9}) {
        for (int after_ms : {0, 3, 20, 80, 250}) {
            run_options o;
            o.args = {"r.txt", "1000000", "10000000", "100000"}; // some 230000 points
            o.dir = dir.path;
            o.kill_after_ms = after_ms;
            o.kill_signal = signal;
            auto r = run_talvik(o);
            EXPECT_EQ(r.status, 128 + signal);
            if (!file_exists(dir.file("r.txt")))
                continue; // ended before the file was created
            std::string text = read_file(dir.file("r.txt"));
            if (text.empty())
                continue; // ended before the header
            auto lines = lines_of(text);
            ASSERT_FALSE(lines.empty());
            EXPECT_EQ(lines[0], " Frequency\t  dBm ");
            double last = 0;
            for (size_t i = 1; i < lines.size(); ++i) {
                ASSERT_TRUE(std::regex_match(lines[i], record)) << lines[i];
                double hz = std::stod(lines[i]);
                EXPECT_GT(hz, last);
                last = hz;
            }
            if (after_ms >= 250) {
                EXPECT_GT(lines.size(), 10u) << "signal " << signal << " after " << after_ms;
            }
        }
    }
}

// Started with the stop signals ignored (nohup, a job in the background of a
// shell without job control): they stay ignored, and the sweep runs whole.
TEST_F(sweep_run, signals_ignored_at_start_stay_ignored) {
    for (int signal : {2, 1, 15}) {
        run_options o;
        o.args = {"r.txt", "1000000", "1100000", "100"}; // 10 points
        o.env = {"TALVIK_PORT=sim:busy=10000"};         // 20 ms a point
        o.dir = dir.path;
        o.ignored_signals = {2, 1, 15, 3};
        o.kill_after_ms = 60;
        o.kill_signal = signal;
        auto r = run_talvik(o);
        EXPECT_EQ(r.status, 0) << signal;
        EXPECT_EQ(results().size(), 11u) << signal; // the header and every point
    }
}

TEST_F(sweep_run, a_converter_that_never_answers_in_time_is_said_to) {
    auto r = run({"r.txt", "1000000", "1030000", "100"}, {"TALVIK_PORT=sim:busy=300000"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(results().size(), 4u) << "every record is written all the same";
    EXPECT_EQ(r.err, "every ready wait timed out: is the instrument on and connected?\n");
}

} // namespace
