// talvik-plot on sweeps of the simulated instrument.
#include "run_program.hpp"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <tuple>

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

TEST_F(plot_run, filter_markers_agree_with_the_models) {
    // Band-pass: centre 4 MHz, -3 dB bandwidth 1 MHz, Q 4, -6 dB bandwidth 1.314 MHz.
    ASSERT_EQ(sweep("bp.txt", "sim:dut=bandpass", {"3000000", "5500000", "400"}).status, 0);
    auto r = plot({"-o", "bp.png", "bp.txt"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dir.file("bp.png")).substr(1, 3), "PNG");
    EXPECT_NE(r.out.find("bp.txt: kind bandpass\n"), std::string::npos) << r.out;
    EXPECT_NEAR(number_after(r.out, ", centre "), 4e6, 0.01 * 4e6);
    EXPECT_NEAR(number_after(r.out.substr(r.out.find("bp.txt: -3 dB")), ", bandwidth "), 1e6,
                0.02e6);
    EXPECT_NEAR(number_after(r.out, ", Q "), 4.0, 0.03 * 4);
    EXPECT_NEAR(number_after(r.out.substr(r.out.find("bp.txt: -6 dB")), ", bandwidth "), 1.314e6,
                0.02 * 1.314e6);
    // Notch at 6 MHz, 40 dB deep, -3 dB width 1 MHz: its shoulders slope, so
    // only a stated level measures it, and the line says so.
    ASSERT_EQ(sweep("n.txt", "sim:dut=notch", {"5000000", "7000000", "2000"}).status, 0);
    r = plot({"n.txt"});
    EXPECT_NE(r.out.find("n.txt: a valley at least 38.8 dB deep, but the level moves 0.440 dB "
                         "over the first tenth of the span, more than 0.1 dB: no flat pass band "
                         "there (use --ref or --level)\n"),
              std::string::npos)
        << r.out;
    r = plot({"--level", "0", "n.txt"});
    EXPECT_NEAR(number_after(r.out, "n.txt: valley "), 6e6, 0.005 * 6e6) << r.out;
    EXPECT_NEAR(number_after(r.out, ", depth "), 40, 0.1);
    EXPECT_NEAR(number_after(r.out, ", bandwidth "), 1e6, 0.03e6) << r.out;
    // Low-pass: -3 dB at 5 MHz.
    ASSERT_EQ(sweep("lp.txt", "sim:dut=lowpass").status, 0);
    r = plot({"lp.txt"});
    EXPECT_NE(r.out.find("lp.txt: kind lowpass\n"), std::string::npos) << r.out;
    EXPECT_NEAR(number_after(r.out, "lp.txt: -3 dB from the pass band, -0.002 dBm: cutoff "), 5e6,
                0.02 * 5e6);
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
    EXPECT_NE(r.out.find("notch.txt: notch "), std::string::npos);
    // Normalised levels are dB, in the CSV's header too.
    r = plot({"--csv", "--ref", "through.txt", "notch.txt"});
    EXPECT_EQ(r.out.rfind("frequency_hz,level_db,overflow\r\n", 0), 0u) << r.out;
    // With the band's level stated against the reference, the notch's depth
    // is measured from that level: 40 dB deep in the model, 5 dB less here.
    ASSERT_EQ(sweep("t2.txt", "sim:dut=through", {"5000000", "7000000", "2000"}).status, 0);
    ASSERT_EQ(sweep("n2.txt", "sim:dut=notch", {"5000000", "7000000", "2000"}).status, 0);
    r = plot({"--ref", "t2.txt", "--level", "-5", "n2.txt"});
    EXPECT_NEAR(number_after(r.out, ", depth "), 35, 0.1) << r.out;
    // A reference that overflowed at a point leaves that point unknown.
    std::string through = read_file(dir.file("through.txt"));
    size_t first = through.find('\n') + 1, end = through.find('\n', first);
    std::string record = through.substr(first, end - first);
    write_file(dir.file("through.txt"), through.substr(0, first) +
                                            record.substr(0, record.find('\t', 2) + 1) +
                                            "-182.788  \tOverflow\r" + through.substr(end));
    r = plot({"--csv", "--ref", "through.txt", "notch.txt"});
    ASSERT_EQ(r.status, 0) << r.err;
    size_t line = r.out.find('\n') + 1;
    std::string point = r.out.substr(line, r.out.find('\n', line) - line);
    EXPECT_EQ(point.rfind("1000000.0,", 0), 0u) << r.out;
    EXPECT_EQ(point.substr(point.size() - 3), ",1\r") << r.out;
    EXPECT_EQ(r.out.substr(r.out.find('\n', line) + 1).find(",1\r"), std::string::npos)
        << "only that point";
}

TEST_F(plot_run, sweeps_at_other_frequencies_are_refused) {
    ASSERT_EQ(sweep("a.txt", "sim", {"1000000", "2000000"}).status, 0);
    ASSERT_EQ(sweep("b.txt", "sim", {"1000001", "2000000"}).status, 0);
    auto r = plot({"--ref", "b.txt", "a.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("talvik-plot: a.txt reaches 1000000.0 to 1979931.3 Hz, beyond the "
                          "reference's 1000001.0",
                          0),
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
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("talvik-plot: the plot's name must end in .png or .svg: ok.pdf\nUsage:", 0),
              0u);
    r = plot({});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("talvik-plot: no results file named\nUsage: talvik-plot", 0), 0u);
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

TEST_F(plot_run, data_out_as_a_table_or_csv_with_markers_apart) {
    ASSERT_EQ(sweep("a.txt", "sim:reply=0x4000", {"1000000", "1100000"}).status, 0);
    auto r = plot({"--table", "a.txt"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, " 1000000.0\t-84.000  \tOverflow\n 1050000.0\t-84.000  \tOverflow\n");
    EXPECT_NE(r.err.find("a.txt: kind "), std::string::npos);
    r = plot({"--csv", "a.txt"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "frequency_hz,level_dbm,overflow\r\n1000000.0,-84.000,1\r\n"
                     "1050000.0,-84.000,1\r\n");
    EXPECT_NE(r.err.find("a.txt: no markers: every point overflowed"), std::string::npos);
    r = plot({"--csv", "a.txt", "a.txt"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("talvik-plot: --csv takes one results file\nUsage: talvik-plot", 0), 0u);
    r = plot({"--kind", "notch", "a.txt"});
    EXPECT_EQ(r.out, "a.txt: kind unknown\na.txt: no markers: every point overflowed\n"
                     "a.txt: 2 overflowed points left out (1000000.0 to 1050000.0 Hz): their "
                     "levels are unknown\n");
    r = plot({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("talvik-plot ", 0), 0u);
}

} // namespace

namespace {

// Names that would run commands if gnuplot read them as program text.
TEST_F(plot_run, names_never_reach_gnuplot_as_commands) {
    ASSERT_EQ(sweep("ok.txt", "sim").status, 0);
    const std::string hostile[] = {"a`touch pwned1`.txt", "b\nsystem('touch pwned2')\n.txt",
                                   "c'; system(\"touch pwned3\"); '.txt", "d$HOME\\\";x.txt",
                                   "e\"`touch pwned4`\".txt"};
    for (const auto &name : hostile) {
        std::filesystem::copy_file(dir.file("ok.txt"), dir.file(name));
        auto r = plot({"-o", "x.svg", "--ref", name, name});
        EXPECT_EQ(r.status, 0) << name << ": " << r.err;
        std::string svg = read_file(dir.file("x.svg"));
        EXPECT_NE(svg.find("<svg"), std::string::npos) << name;
        std::filesystem::remove(dir.file(name));
    }
    for (const auto &entry : std::filesystem::directory_iterator(dir.path))
        EXPECT_EQ(entry.path().filename().string().rfind("pwned", 0), std::string::npos)
            << entry.path();
}

} // namespace

namespace {

TEST_F(plot_run, nothing_cut_short_passes_for_done) {
    ASSERT_EQ(sweep("s.txt", "sim").status, 0);
    // Standard output closed at start: the picture is still gnuplot's.
    run_options o;
    o.program = TALVIK_PLOT_BIN;
    o.args = {"-o", "x.png", "s.txt"};
    o.dir = dir.path;
    o.close_stdout = true;
    auto r = run_talvik(o);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dir.file("x.png")).substr(1, 3), "PNG");
    // A "gnuplot" that draws nothing leaves no picture.
    r = plot({"-o", "y.png", "s.txt"}, {"TALVIK_GNUPLOT=/bin/true"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "talvik-plot: gnuplot drew no picture for y.png (see its message above)\n");
    EXPECT_FALSE(file_exists(dir.file("y.png")));
    // Output onto a full disk: status 1 and the reason, whatever was asked for.
    for (std::vector<std::string> args : {std::vector<std::string>{"--csv", "s.txt"},
                                          {"--table", "s.txt"}, {"s.txt"}, {"--version"}}) {
        o.args = args;
        o.close_stdout = false;
        o.stdout_file = "/dev/full";
        r = run_talvik(o);
        EXPECT_EQ(r.status, 1) << args[0];
        EXPECT_NE(r.err.find("talvik-plot: cannot write standard output: No space left on device\n"),
                  std::string::npos)
            << r.err;
    }
}

TEST_F(plot_run, odd_files_are_read_or_refused_by_name) {
    ASSERT_EQ(sweep("s.txt", "sim", {"1000000", "1100000"}).status, 0);
    // Line ends of a lone CR, as an old editor saves them.
    std::string text = read_file(dir.file("s.txt"));
    std::string cr;
    for (char c : text)
        if (c != '\n')
            cr += c;
    write_file(dir.file("cr.txt"), cr);
    auto r = plot({"--csv", "cr.txt"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "frequency_hz,level_dbm,overflow\r\n1000000.0,-47.045,0\r\n"
                     "1050000.0,-46.080,0\r\n");
    // A sweep stopped before its first point still has its CSV header.
    write_file(dir.file("h.txt"), " Frequency\t  dBm \r\n");
    r = plot({"--csv", "h.txt"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "frequency_hz,level_dbm,overflow\r\n");
}

TEST_F(plot_run, running_out_of_memory_is_a_message) {
#ifdef TALVIK_SANITIZED
    GTEST_SKIP() << "the sanitizers cannot run under a memory limit";
#endif
    std::string big = " Frequency\t  dBm \r\n";
    char line[64];
    for (int i = 1; i <= 400000; ++i) {
        std::snprintf(line, sizeof line, " %8.1f\t%2.3f  \t        \r\n", 1000.0 + i, -20.0);
        big += line;
    }
    write_file(dir.file("big.txt"), big);
    run_options o;
    o.program = TALVIK_PLOT_BIN;
    o.args = {"big.txt"};
    o.dir = dir.path;
    o.memory_limit = 16L << 20; // the program runs in 6 MiB, the file needs 22
    auto r = run_talvik(o);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "talvik-plot: out of memory\n");
}

// Zoomed spans of the simulated filters: the right kind from a stated level,
// or an honest "cannot tell", never a measure from a wrong level.
TEST_F(plot_run, zoomed_spans_are_measured_from_a_known_level_or_not_at_all) {
    ASSERT_EQ(sweep("skirt.txt", "sim:dut=bandpass", {"3520000", "3545000", "3000"}).status, 0);
    ASSERT_EQ(sweep("inside.txt", "sim:dut=notch", {"5950000", "6050000", "4000"}).status, 0);
    ASSERT_EQ(sweep("below.txt", "sim:dut=notch", {"3000000", "5500000", "400"}).status, 0);
    auto r = plot({"skirt.txt", "inside.txt", "below.txt"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("skirt.txt: kind unknown\nskirt.txt: a rising edge of only 0.5 dB over "
                         "the span: no 3 dB edge, no pass band here (use --ref or --level)\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("inside.txt: kind unknown\ninside.txt: a valley at least 19.7 dB deep, "
                         "but the level moves 1.683 dB over the first tenth"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("below.txt: kind unknown\nbelow.txt: a falling edge of only 2.7 dB over "
                         "the span"),
              std::string::npos)
        << r.out;
    // With the band's level stated, the real figures.
    r = plot({"--level", "0", "inside.txt"});
    EXPECT_GE(number_after(r.out, ", depth "), 39.5) << r.out;
    r = plot({"--level", "0", "skirt.txt"});
    EXPECT_NEAR(number_after(r.out, "skirt.txt: -3 dB from --level 0 dBm: "), 3.5316e6, 2e3)
        << r.out;
    EXPECT_NE(r.out.find("a rising edge of only 0.5 dB over the span: no 3 dB edge, no pass band "
                         "here; measured from --level 0 dBm"),
              std::string::npos);
    // Levels read where asked, and their differences.
    ASSERT_EQ(sweep("bp.txt", "sim:dut=bandpass", {"3000000", "5500000", "400"}).status, 0);
    r = plot({"--marker", "4M", "--marker", "9M", "--delta", "3.5M,4.5M", "--delta", "4M,3M",
              "--bw", "3,10", "--sf", "3,10", "bp.txt"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("bp.txt: marker 4000000.0 Hz: -0.0"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("bp.txt: marker 9000000.0 Hz: outside the sweep"), std::string::npos);
    EXPECT_NE(r.out.find("bp.txt: delta 3500000.0 Hz to 4500000.0 Hz: 1000000.0 Hz, "),
              std::string::npos);
    EXPECT_NE(r.out.find("bp.txt: delta 4000000.0 Hz to 3000000.0 Hz: -1000000.0 Hz, -1"),
              std::string::npos);
    EXPECT_NE(r.out.find("bp.txt: -10 dB "), std::string::npos);
    EXPECT_NE(r.out.find("bp.txt: shape factor 10/3 "), std::string::npos);
    // Its own CSV read back: the same markers.
    r = plot({"--csv", "bp.txt"});
    write_file(dir.file("bp.csv"), r.out);
    std::string from_csv = plot({"bp.csv"}).out;
    for (size_t at; (at = from_csv.find("bp.csv")) != std::string::npos;)
        from_csv.replace(at, 6, "bp.txt");
    EXPECT_EQ(from_csv, plot({"bp.txt"}).out);
    // A picture with every option.
    r = plot({"-o", "bp.png", "--title", "Band-pass", "--size", "640x480", "--range", "-30:5",
              "bp.txt"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dir.file("bp.png")).substr(1, 3), "PNG");
}

} // namespace

namespace {

// A noisy band-pass (1 MHz wide at -3 dB) as the instrument gives it: the
// noise is said, and averaging over the points it suggests measures it.
TEST_F(plot_run, a_noisy_sweep_is_said_and_its_suggested_smoothing_measures_it) {
    ASSERT_EQ(sweep("through.txt", "sim:dut=through", {"100000", "30000000", "1000"}).status, 0);
    ASSERT_EQ(sweep("noisy.txt", "sim:dut=bandpass,fault=noisy", {"3000000", "5500000", "400"})
                  .status,
              0);
    auto r = plot({"--ref", "through.txt", "noisy.txt"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NEAR(number_after(r.out, "noisy sweep: about "), 1.73, 0.3) << r.out;
    EXPECT_EQ(r.out.find("bandwidth"), std::string::npos) << "edges in the noise are not given";
    int n = static_cast<int>(number_after(r.out, "try --smooth "));
    r = plot({"--ref", "through.txt", "--smooth", std::to_string(n), "-o", "s.png", "--size",
              "300x200", "--marker", "4M", "--marker", "3.5M", "--delta", "3.5M,4.5M",
              "noisy.txt"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("noisy.txt: smoothed over " + std::to_string(n) + " points"),
              std::string::npos);
    EXPECT_NEAR(number_after(r.out.substr(r.out.find("-3 dB from")), "bandwidth "), 1e6, 0.05e6)
        << r.out;
    EXPECT_NE(r.out.find("noisy.txt: marker 3500000.0 Hz: "), std::string::npos);
    EXPECT_EQ(read_file(dir.file("s.png")).substr(1, 3), "PNG");
}

} // namespace

namespace {

TEST_F(plot_run, bad_option_values_are_refused_by_name) {
    ASSERT_EQ(sweep("s.txt", "sim", {"1000000", "1100000"}).status, 0);
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"s.txt", "--smooth"}, "talvik-plot: --smooth needs a value\nUsage: talvik-plot"}, // a value missing at the end
        {{"--smooth", "0", "s.txt"}, "talvik-plot: --smooth takes a number of points, 1 to 1001\n"},
        {{"--range", "5:5", "s.txt"}, "talvik-plot: --range takes LOW:HIGH in dB, -400 to 400"},
        {{"--range", "-1e308:0", "s.txt"}, "talvik-plot: --range takes LOW:HIGH"},
        {{"--range", "-inf:0", "s.txt"}, "talvik-plot: --range takes LOW:HIGH"},
        {{"--range", "nan:0", "s.txt"}, "talvik-plot: --range takes LOW:HIGH"},
        {{"--bw", "inf", "s.txt"}, "talvik-plot: --bw takes levels in dB"},
        {{"--marker", "nan", "s.txt"}, "talvik-plot: --marker takes frequencies"},
        {{"--delta", "1M,1e999", "s.txt"}, "talvik-plot: --delta takes two frequencies"},
        {{"--level", "1e308", "s.txt"}, "talvik-plot: --level takes a level in dB, -300 to 300: 1e308\n"},
        {{"--bw", "0", "s.txt"}, "talvik-plot: --bw takes levels in dB, 0 to 300, e.g. 3,6,60\n"},
        {{"--sf", "6", "s.txt"}, "talvik-plot: --sf takes two levels in dB, 0 to 300, e.g. 6,60\n"},
    };
    for (const auto &[args, message] : cases) {
        auto r = plot(args);
        EXPECT_EQ(r.status, 2) << args[0];
        EXPECT_EQ(r.err.rfind(message, 0), 0u) << args[0] << ": " << r.err;
    }
    // The bounds themselves are taken; one past them is not.
    for (auto [option, good, bad] :
         {std::tuple{"--level", "300", "300.5"}, {"--level", "-300", "-301"},
          {"--smooth", "1001", "1002"}, {"--bw", "300", "301"}, {"--range", "-400:400", "-401:0"},
          {"--range", "0:400", "0:400.5"}, {"--range", "-100:-99.99", "0:0.0001"},
          {"--size", "4000x4000", "4000x4001"},
          {"--size", "300x200", "300x199"},
          // Past what an int holds: read as 300x200 once.
          {"--size", "900x600", "4294967596x4294967496"}, {"--size", "900x600", "+900x600"},
          {"--size", "900x600", "0900x600"}}) {
        EXPECT_EQ(plot({option, good, "s.txt"}).status, 0) << option << " " << good;
        EXPECT_EQ(plot({option, bad, "s.txt"}).status, 2) << option << " " << bad;
    }
}

} // namespace
