#include "plot/gnuplot.hpp"
#include "plot/sweep_file.hpp"

#include "run_program.hpp"

#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>

namespace {

struct sweep_file : ::testing::Test {
    temp_dir dir;
    std::string error;
    sweep s;
    bool read(const std::string &text) {
        write_file(dir.file("r.txt"), text);
        return read_sweep(dir.file("r.txt"), s, error);
    }
};

TEST_F(sweep_file, reads_records_with_either_line_end) {
    ASSERT_TRUE(read(" Frequency\t  dBm \r\n 1000000.0\t-47.045  \t        \r\n"
                     " 26000000.0\t14.782  \tOverflow\r\n"))
        << error;
    ASSERT_EQ(s.points.size(), 2u);
    EXPECT_EQ(s.points[0].hz, 1000000.0);
    EXPECT_EQ(s.points[0].level, -47.045);
    EXPECT_FALSE(s.points[0].overflow);
    EXPECT_TRUE(s.points[1].overflow);
    ASSERT_TRUE(read(" Frequency\t  dBm \n  62500.0\t-100.000  \t        \n")) << error;
    EXPECT_EQ(s.points[0].hz, 62500.0);
    ASSERT_TRUE(read(" Frequency\t  dBm \r\n")) << error;
    EXPECT_TRUE(s.points.empty());
}

TEST_F(sweep_file, malformed_lines_are_named_never_skipped) {
    const std::string head = " Frequency\t  dBm \r\n 1000000.0\t-47.045  \t        \r\n";
    struct {
        std::string line, error;
    } cases[] = {
        {" 1050000.0\t-46.080  \t        \r\n", ""},
        {" 1050000.0\t-46.080\r\n", ":3: not a record"},
        {" 1050000.0\tlow  \t        \r\n", ":3: not a record"},
        {" 1050000.0\t-46.080  \tOverflo\r\n", ":3: not a record"},
        {"\r\n", ":3: not a record"},
        {" 1050000.0\t-46.0x  \t        \r\n", ":3: not a record"},
        {" 900000.0\t-46.080  \t        \r\n", ":3: frequency does not rise"},
        // Only numbers as talvik writes them, in the range a sweep can give.
        {" 1e308\t-46.080  \t        \r\n", ":3: not a record"},
        {" 0x1p30\t-46.080  \t        \r\n", ":3: not a record"},
        {" 1050000.0\tnan  \t        \r\n", ":3: not a record"},
        {" 1050000.0\t-inf  \t        \r\n", ":3: not a record"},
        {std::string(" 1050000.0\t-46.0\0  \t        \r\n", 31), ":3: not a record"},
        {" 100000001.0\t-46.080  \t        \r\n", ":3: not a record"},
        {" 1050000.0\t-300.001  \t        \r\n", ":3: not a record"},
        {" 1050000.0\t100.001  \t        \r\n", ":3: not a record"},
    };
    for (const auto &c : cases) {
        bool ok = read(head + c.line);
        EXPECT_EQ(ok, c.error.empty()) << c.line;
        if (!c.error.empty()) {
            EXPECT_EQ(error.rfind(dir.file("r.txt") + c.error, 0), 0u) << error;
        }
    }
    // A quoted line is cut, and nothing in it reaches the terminal raw.
    EXPECT_FALSE(read(head + "\x1b[2J\t\"" + std::string(100, 'x') + "\r\n"));
    EXPECT_EQ(error, dir.file("r.txt") + ":3: not a record: \"\\x1B[2J\\t\\\"" +
                         std::string(74, 'x') + "\"...");
    EXPECT_FALSE(read_sweep(dir.path, s, error));
    EXPECT_EQ(error, dir.path + ": Is a directory");
    EXPECT_FALSE(read(""));
    EXPECT_EQ(error, dir.file("r.txt") + ": empty, not a talvik results file");
    EXPECT_FALSE(read("frequency,level\n1,2\n"));
    EXPECT_EQ(error, dir.file("r.txt") + ":1: not a talvik results file (no header line)");
    EXPECT_FALSE(read_sweep(dir.file("none.txt"), s, error));
    EXPECT_EQ(error, dir.file("none.txt") + ": No such file or directory");
}

sweep made(std::vector<std::pair<double, double>> points, const char *name = "s") {
    sweep s{name, {}, false, {}};
    for (auto [hz, level] : points)
        s.points.push_back({hz, level, false});
    return s;
}

TEST(normalise, against_itself_gives_zero_others_are_interpolated_and_never_extrapolated) {
    sweep a = made({{1e6, -47.0}, {1.05e6, -46.0}, {1.1025e6, 3.5}});
    sweep b = a;
    b.points[1].overflow = true;
    std::string error;
    ASSERT_TRUE(normalise(a, b, error));
    for (const auto &p : a.points)
        EXPECT_EQ(p.level, 0.0);
    EXPECT_TRUE(a.points[1].overflow);
    // A reference at other frequencies: its level where each point is.
    sweep c = made({{1e6, -47.0}, {1.05e6, -46.0}});
    sweep shifted = made({{0.9e6, 0}, {1.0e6, -2}, {1.1e6, -4}}, "ref");
    ASSERT_TRUE(normalise(c, shifted, error)) << error;
    EXPECT_DOUBLE_EQ(c.points[0].level, -45.0);
    EXPECT_DOUBLE_EQ(c.points[1].level, -43.0);
    EXPECT_TRUE(c.normalised);
    // A sweep reaching past the reference is refused whole.
    sweep d = made({{1e6, -47.0}, {1.2e6, -46.0}});
    EXPECT_FALSE(normalise(d, shifted, error));
    EXPECT_EQ(error, "s reaches 1000000.0 to 1200000.0 Hz, beyond the reference's 900000.0 to "
                     "1100000.0 Hz: levels are never guessed beyond a reference's ends (ref)");
}

// Each edge is labelled with its own frequency, the upper with the upper.
TEST(gnuplot_script, edges_are_labelled_where_they_are) {
    sweep bp = made({{1e6, -70}, {2e6, -50}, {3e6, -3}, {4e6, 0}, {5e6, -3}, {6e6, -50}, {7e6, -70}},
                    "bp.txt");
    marker_settings s;
    s.drops = {3};
    std::string script =
        gnuplot_script({bp}, {find_markers(bp.points, s)}, "out.svg", picture_settings());
    EXPECT_NE(script.find("set label '-3 dB 3 MHz' at 3000000.000, -3.000"), std::string::npos)
        << script;
    EXPECT_NE(script.find("set label '-3 dB 5 MHz' at 5000000.000, -3.000"), std::string::npos)
        << script;
}

TEST(gnuplot_script, traces_markers_and_a_readable_axis) {
    sweep a = made({{1e6, -1}, {2e6, -2}}, "a\"s'\n`x`.txt");
    sweep b = made({{1e6, 14.782}, {2e6, 14.782}}, "b.txt");
    b.points[1].overflow = true;
    marker_settings stated;
    stated.kind_given = true;
    stated.kind = filter_kind::lowpass;
    stated.level = -1;
    stated.at = {1.5e6};
    stated.delta = {1e6, 1.5e6};
    filter_markers m = find_markers(a.points, stated);
    stated.level = 14.782;
    filter_markers mb = find_markers(b.points, stated);
    std::string script = gnuplot_script({a, b}, {m, mb}, "out.svg", picture_settings());
    EXPECT_NE(script.find("set terminal svg"), std::string::npos);
    // Names are string constants: single quotes, ' doubled, no line end.
    EXPECT_NE(script.find("title 'a\"s''?`x`.txt'"), std::string::npos) << script;
    EXPECT_NE(script.find("title 'b.txt: overflow'"), std::string::npos);
    EXPECT_EQ(script.find("a\"s''?`x`.txt: overflow"), std::string::npos);
    EXPECT_NE(script.find("set key at screen 0.5"), std::string::npos);
    // Data blocks: a, b, then b's overflowed point alone.
    EXPECT_NE(script.find("1000000.0 -1.000\n2000000.0 -2.000\ne\n1000000.0 14.782\n"
                          "2000000.0 14.782\ne\n2000000.0 14.782\ne\n"),
              std::string::npos);
    // Under a decade the axis is linear, with at least four labelled tics.
    EXPECT_EQ(script.find("set logscale x"), std::string::npos);
    EXPECT_NE(script.find("set xtics ('1.0 MHz' 1000000.000000, '1.2 MHz' 1200000.000000"),
              std::string::npos)
        << script;
    // Each peak is marked with its name and frequency, the -3 dB line drawn,
    // the results written beneath.
    EXPECT_NE(script.find("set label 'peak 1 MHz' at 1000000.000, -1.000 left point"),
              std::string::npos)
        << script;
    EXPECT_NE(script.find("set label 'b.txt: lowpass, from --level 14.782 dBm, peak 1 MHz 14.78 dBm"),
              std::string::npos);
    // Levels read where asked, and a delta's ends joined and labelled.
    EXPECT_NE(script.find("set label '1.5 MHz, -1.50 dBm' at 1500000.000, -1.500 "), std::string::npos)
        << script;
    EXPECT_NE(script.find("set label 'D1: +500 kHz, -0.50 dB' at 1500000.000, -1.500 "),
              std::string::npos);
    EXPECT_NE(script.find("set arrow from 1000000.000, -1.000 to 1500000.000, -1.500 nohead"),
              std::string::npos);
    // Labels on an opaque ground.
    EXPECT_NE(script.find("set label 'peak 1 MHz' at 1000000.000, -1.000 left point pt 7 ps 1.2 lc 1 "
                          "offset char 1.0, 0.8 font ',9' tc lt 1 boxed noenhanced front\n"),
              std::string::npos);
    // Every delta joined; a stated level above the trace within the range.
    stated.level = 10;
    stated.delta = {1e6, 1.5e6, 1.2e6, 2e6};
    script = gnuplot_script({a}, {find_markers(a.points, stated)}, "out.svg", picture_settings());
    EXPECT_NE(script.find("set arrow from 1200000.000, -1.200 to 2000000.000, -2.000 nohead"),
              std::string::npos);
    EXPECT_NE(script.find("set label 'D2: +800 kHz, -0.80 dB' at 2000000.000, -2.000 "),
              std::string::npos);
    double lo = 0, hi = 0;
    ASSERT_EQ(std::sscanf(script.c_str() + script.find("set yrange ["), "set yrange [%lf:%lf]", &lo,
                          &hi),
              2);
    EXPECT_GE(hi, 10);
    // Labels that find no clear side on a small picture are numbered, with
    // a table beneath ahead of the results; a long title is broken between
    // its words, and the reference gets a line of its own.
    picture_settings small;
    small.width = 300;
    small.height = 200;
    small.title = "Two traces of the same filter on a very small picture";
    small.reference = "ref.txt";
    script = gnuplot_script({a, a}, {m, m}, "out.svg", small);
    EXPECT_NE(script.find("set label '1' at 1000000.000, -1.000 "), std::string::npos) << script;
    EXPECT_NE(script.find("set label '2' at 1500000.000, -1.500 "), std::string::npos);
    EXPECT_EQ(script.find("set label '0'"), std::string::npos);
    EXPECT_NE(script.find("set label '1 peak 1 MHz   2 1.5 MHz, -1.50 dB   3 D1' at screen"),
              std::string::npos);
    EXPECT_NE(script.find("set label '' at 1500000.000, -1.500 "), std::string::npos)
        << "a number the table cannot key is left out";
    EXPECT_NE(script.find("set title 'Two traces of the same filter on a very'.\"\\n\".'small "
                          "picture'.\"\\n\".'normalised to ref.txt' noenhanced"),
              std::string::npos);
    EXPECT_NE(script.find("font ',7'"), std::string::npos);
    EXPECT_NE(script.find("set arrow from graph 0, first -4.000 to graph 1, first -4.000 nohead"),
              std::string::npos);
}

TEST(gnuplot_script, every_span_gets_four_labelled_tics) {
    struct {
        double lo, hi;
        axis_scale scale;
    } spans[] = {{3e6, 5e6, axis_scale::automatic},      {8.99e6, 9.01e6, axis_scale::automatic},
                 {1e6, 10e6, axis_scale::automatic},     {100, 30e6, axis_scale::automatic},
                 {1.5e6, 14e6, axis_scale::logarithmic}, {999, 1001, axis_scale::linear},
                 {3.5e6, 3.6e6, axis_scale::logarithmic}, {8999999, 9000001, axis_scale::logarithmic}};
    for (auto span : spans) {
        sweep s = made({{span.lo, 0}, {span.hi, -1}});
        picture_settings settings;
        settings.scale = span.scale;
        std::string script = gnuplot_script({s}, {find_markers(s.points, filter_kind::lowpass)},
                                            "x.png", settings);
        size_t at = script.find("set xtics (");
        ASSERT_NE(at, std::string::npos) << span.lo;
        std::string tics = script.substr(at, script.find('\n', at) - at);
        EXPECT_GE(std::count(tics.begin(), tics.end(), ',') + 1, 4) << tics;
        // Every label distinct: enough decimals for the step.
        std::vector<std::string> labels;
        for (size_t q = tics.find('\''); q != std::string::npos; q = tics.find('\'', q + 1)) {
            size_t close = tics.find('\'', q + 1);
            labels.push_back(tics.substr(q + 1, close - q - 1));
            q = close;
        }
        std::sort(labels.begin(), labels.end());
        EXPECT_EQ(std::unique(labels.begin(), labels.end()), labels.end()) << tics;
    }
}

TEST(sweep_markers, smoothing_over_one_point_is_none) {
    sweep s = made({{1e6, -1}, {2e6, -2}, {3e6, -3}}, "s.txt");
    sweep_markers(s, 0.006, marker_settings(), 1);
    EXPECT_TRUE(s.smooth.empty()) << "no second trace to draw";
    filter_markers m = sweep_markers(s, 0.006, marker_settings(), 3);
    ASSERT_EQ(s.smooth.size(), 3u);
    EXPECT_EQ(s.smooth[1].level, -2);
    EXPECT_EQ(m.smoothed, 3);
}

TEST(gnuplot_script, a_notchs_results_beneath_name_its_level_depth_and_width) {
    sweep n = made({{1e6, 0}, {2e6, 0}, {3e6, -1}, {4e6, -20}, {5e6, -1}, {6e6, 0}, {7e6, 0}}, "n.txt");
    std::string script =
        gnuplot_script({n}, {find_markers(n.points)}, "out.svg", picture_settings());
    EXPECT_NE(script.find("set label 'n.txt: notch, from the shoulders, 0.000 dBm, notch 4 MHz "
                          "-20.00 dBm, depth at least 20.0 dB, -3 dB bw 1.78947 MHz'"),
              std::string::npos)
        << script;
}

} // namespace
