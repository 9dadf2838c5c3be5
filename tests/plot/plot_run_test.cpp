// talvik-plot on sweeps of the simulated instrument.
#include "run_program.hpp"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>

namespace {

struct plot_run : ::testing::Test {
    temp_dir dir;
    run_result sweep(const std::string &file, const std::string &port,
                     std::vector<std::string> extra = {}) {
        run_options o;
        o.args = {file};
        o.args.insert(o.args.end(), extra.begin(), extra.end());
        o.env = {"TALVIK_PORT=" + port};
        o.dir = dir.path;
        return run_talvik(o);
    }
    run_result plot(std::vector<std::string> args, std::vector<std::string> env = {}) {
        run_options o;
        o.program = TALVIK_PLOT_BIN;
        o.args = std::move(args);
        o.env = std::move(env);
        o.dir = dir.path;
        return run_talvik(o);
    }
};

double number_after(const std::string &text, const std::string &label) {
    size_t at = text.find(label);
    EXPECT_NE(at, std::string::npos) << label << " in " << text;
    return at == std::string::npos ? NAN : std::stod(text.substr(at + label.size()));
}

TEST_F(plot_run, band_pass_markers_agree_with_the_model) {
    ASSERT_EQ(sweep("bp.txt", "sim:dut=bandpass").status, 0);
    auto r = plot({"-o", "bp.png", "bp.txt"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string png = read_file(dir.file("bp.png"));
    ASSERT_GT(png.size(), 1000u);
    EXPECT_EQ(png.substr(1, 3), "PNG");
    // Model: -3 dB at 3.531 and 4.531 MHz, 1 MHz wide, centred on 4 MHz; a step
    // near there is 5 %, some 200 kHz.
    double step = 0.05 * 4e6;
    EXPECT_NEAR(number_after(r.out, "bp.txt: lower -3 dB point "), 3.531e6, step);
    EXPECT_NEAR(number_after(r.out, "bp.txt: upper -3 dB point "), 4.531e6, step);
    EXPECT_NEAR(number_after(r.out, "bp.txt: -3 dB bandwidth "), 1e6, step);
    EXPECT_NEAR(number_after(r.out, ", centre "), 4e6, step);
    EXPECT_NEAR(number_after(r.out, "bp.txt: peak "), 4e6, step);
}

TEST_F(plot_run, normalising_against_a_through_sweep) {
    ASSERT_EQ(sweep("through.txt", "sim:dut=through").status, 0);
    ASSERT_EQ(sweep("notch.txt", "sim:dut=notch").status, 0);
    auto r = plot({"--ref", "through.txt", "--table", "through.txt"});
    ASSERT_EQ(r.status, 0) << r.err;
    int points = 0;
    size_t at = 0;
    while ((at = r.out.find("\t0.000  \t        \n", at + 1)) != std::string::npos)
        ++points;
    EXPECT_EQ(points, 48) << r.out;
    r = plot({"-o", "notch.svg", "--ref", "through.txt", "notch.txt"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(read_file(dir.file("notch.svg")).find("<svg"), std::string::npos);
    EXPECT_NE(r.out.find("notch.txt: peak "), std::string::npos);
}

TEST_F(plot_run, sweeps_at_other_frequencies_are_refused) {
    ASSERT_EQ(sweep("a.txt", "sim", {"1000000", "2000000"}).status, 0);
    ASSERT_EQ(sweep("b.txt", "sim", {"1000001", "2000000"}).status, 0);
    auto r = plot({"--ref", "b.txt", "a.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("talvik-plot: a.txt: frequencies differ from the reference b.txt:", 0),
              0u)
        << r.err;
    EXPECT_FALSE(file_exists(dir.file("plot.png")));
}

TEST_F(plot_run, malformed_files_and_missing_gnuplot_are_reported) {
    write_file(dir.file("bad.txt"),
               " Frequency\t  dBm \r\n 1000000.0\t-47.045  \t        \r\nxx\r\n");
    auto r = plot({"bad.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "talvik-plot: bad.txt:3: not a record: \"xx\"\n");
    ASSERT_EQ(sweep("ok.txt", "sim").status, 0);
    r = plot({"-o", "ok.png", "ok.txt"}, {"TALVIK_GNUPLOT=/nonexistent/gnuplot"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "talvik-plot: gnuplot not found; install it (sudo apt-get install "
                     "gnuplot-nox) or name it in TALVIK_GNUPLOT\n");
    r = plot({"-o", "ok.pdf", "ok.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "talvik-plot: the plot's name must end in .png or .svg: ok.pdf\n");
    r = plot({});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("Usage: talvik-plot", 0), 0u);
}

TEST_F(plot_run, a_picture_is_written_whole_or_not_at_all) {
    ASSERT_EQ(sweep("ok.txt", "sim").status, 0);
    // A folder that does not exist: the reason, and no picture on the terminal.
    auto r = plot({"-o", "missing/x.png", "ok.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "talvik-plot: missing/x.png: No such file or directory\n");
    EXPECT_EQ(r.out.find("PNG"), std::string::npos);
    // A disk that fills: nothing is left behind, not even the partial file.
    run_options o;
    o.program = TALVIK_PLOT_BIN;
    o.args = {"-o", "x.png", "ok.txt"};
    o.dir = dir.path;
    o.file_size_limit = 2000;
    r = run_talvik(o);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "talvik-plot: x.png: File too large\n");
    for (const auto &entry : std::filesystem::directory_iterator(dir.path))
        EXPECT_EQ(entry.path().filename(), "ok.txt");
}

} // namespace
