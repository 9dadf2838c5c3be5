#include "plot/gnuplot.hpp"
#include "plot/markers.hpp"
#include "plot/sweep_file.hpp"

#include "run_program.hpp"

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
    sweep s{name, {}};
    for (auto [hz, level] : points)
        s.points.push_back({hz, level, false});
    return s;
}

TEST(normalise, against_itself_gives_zero_and_other_frequencies_are_refused) {
    sweep a = made({{1e6, -47.0}, {1.05e6, -46.0}, {1.1025e6, 3.5}});
    sweep b = a;
    b.points[1].overflow = true;
    std::string error;
    ASSERT_TRUE(normalise(a, b, error));
    for (const auto &p : a.points)
        EXPECT_EQ(p.level, 0.0);
    EXPECT_TRUE(a.points[1].overflow);
    sweep shifted = made({{1e6, 0}, {1.06e6, 0}, {1.1025e6, 0}}, "ref");
    EXPECT_FALSE(normalise(a, shifted, error));
    EXPECT_EQ(error, "s: frequencies differ from the reference ref: point 2 is at 1050000.0 Hz, "
                     "in the reference at 1060000.0 Hz");
    EXPECT_FALSE(normalise(a, made({{1e6, 0}}, "ref"), error));
    EXPECT_EQ(error, "s has 3 points, the reference ref has 1: sweep both with the same settings");
}

TEST(markers, peak_and_interpolated_3_db_points) {
    sweep s = made({{1e6, -20}, {2e6, -6}, {3e6, 0}, {4e6, -1}, {5e6, -5}, {6e6, -30}});
    auto m = find_markers(s);
    EXPECT_EQ(m.peak, 2u);
    ASSERT_TRUE(m.lower_found);
    ASSERT_TRUE(m.upper_found);
    EXPECT_DOUBLE_EQ(m.lower_hz, 2.5e6); // -3 halfway between -6 and 0
    EXPECT_DOUBLE_EQ(m.upper_hz, 4.5e6); // -3 halfway between -1 and -5
}

TEST(markers, points_outside_the_sweep_are_said_plainly) {
    sweep s = made({{1e6, 0}, {2e6, -1}, {3e6, -10}}, "lp");
    auto m = find_markers(s);
    EXPECT_FALSE(m.lower_found);
    EXPECT_TRUE(m.upper_found);
    std::FILE *out = std::tmpfile();
    print_markers(out, s, "dBm");
    std::rewind(out);
    char text[1024] = "";
    size_t n = std::fread(text, 1, sizeof text - 1, out);
    text[n] = '\0';
    std::fclose(out);
    EXPECT_EQ(std::string(text),
              "lp: peak 1000000.0 Hz, 0.000 dBm\n"
              "lp: lower -3 dB point outside the sweep: at its start, 1000000.0 Hz, the level is "
              "only 0.000 dB below the peak\n"
              "lp: upper -3 dB point 2222222.2 Hz\n"
              "lp: -3 dB bandwidth unknown: a -3 dB point lies outside the sweep\n");
}

TEST(gnuplot_script, one_trace_per_file_and_overflow_marked) {
    sweep a = made({{1e6, -1}, {2e6, -2}}, "a's.txt");
    sweep b = made({{1e6, 14.782}, {2e6, 14.782}}, "b.txt");
    b.points[1].overflow = true;
    std::string script = gnuplot_script({a, b}, "out.svg", "Level (dBm)");
    EXPECT_NE(script.find("set terminal svg"), std::string::npos);
    EXPECT_NE(script.find("set logscale x"), std::string::npos);
    EXPECT_NE(script.find("title 'a''s.txt'"), std::string::npos);
    EXPECT_NE(script.find("title 'b.txt: overflow'"), std::string::npos);
    EXPECT_EQ(script.find("a's.txt: overflow"), std::string::npos);
    EXPECT_NE(script.find("set xtics ('1 MHz' 1e+06, '2 MHz' 2e+06)"), std::string::npos);
    // Data blocks: a, b, then b's overflowed point alone.
    EXPECT_NE(script.find("1000000.0 -1.000\n2000000.0 -2.000\ne\n1000000.0 14.782\n"
                          "2000000.0 14.782\ne\n2000000.0 14.782\ne\n"),
              std::string::npos);
}

} // namespace
