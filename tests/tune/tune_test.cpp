// talvik-tune as a user meets it: arguments, runs without a terminal, and the
// live screen in tmux.
#include "run_program.hpp"
#include "link/backends.hpp"
#include "link/link.hpp"
#include "link/recording_port.hpp"
#include "link/test_link.hpp"
#include "common/clock.hpp"
#include "link/port.hpp"
#include "measure/words.hpp"
#include "tune/tune.hpp"
#include "tune/view.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <gtest/gtest.h>
#include <csignal>
#include <filesystem>
#include <sstream>
#include <sys/stat.h>
#include <thread>

namespace {

TEST(tune_settings, frequencies_as_people_write_them) {
    struct {
        const char *text;
        double hz;
    } good[] = {{"3500000", 3.5e6}, {"3.5M", 3.5e6}, {"3.5MHz", 3.5e6}, {"350k", 350e3},
                {"350kHz", 350e3},  {"350K", 350e3}, {"1.2G", 1.2e9},   {"10Hz", 10}};
    for (auto g : good) {
        double hz = 0;
        EXPECT_TRUE(read_frequency(g.text, &hz)) << g.text;
        EXPECT_DOUBLE_EQ(hz, g.hz) << g.text;
    }
    for (const char *bad :
         {"", "M", "3.5m", "3.5 M", "-1M", "1e6", "3.5MHZ", ".5M", "3.M", "0x10", "1MHz "}) {
        double hz = 0;
        EXPECT_FALSE(read_frequency(bad, &hz)) << bad;
    }
    // Digits past what a double holds: not infinity.
    double hz = 0;
    EXPECT_FALSE(read_frequency(std::string(320, '9').c_str(), &hz));
    EXPECT_FALSE(read_frequency((std::string(300, '9') + "G").c_str(), &hz));
}

struct tune_run : ::testing::Test {
    temp_dir dir;
    run_result run(std::vector<std::string> args, std::vector<std::string> env = {}) {
        run_options o;
        o.program = TALVIK_TUNE_BIN;
        o.args = std::move(args);
        o.env = std::move(env);
        o.dir = dir.path;
        return run_talvik(o);
    }
};

TEST_F(tune_run, bad_arguments_are_refused_with_the_reason_and_the_usage) {
    struct {
        std::vector<std::string> args;
        std::string reason;
    } cases[] = {
        {{"--start", "3.5Mhz"}, "bad frequency '3.5Mhz': use e.g. 3.5M, 350k or 3500000"},
        {{"--start", "5M", "--stop", "4M"}, "the start must be below the stop"},
        {{"--centre", "30M", "--span", "2M"}, "the band must lie within 1 Hz to 30 MHz"},
        {{"--stop", "31M"}, "--stop 31M is outside the band talvik-tune sweeps, 1 Hz to 30 MHz"},
        {{"--points", "1"}, "--points takes a whole number from 2 to 100001"},
        {{"--average", "1001"}, "--average takes a whole number from 1 to 1000"},
        {{"--start", "1M", "--span", "1M"},
         "give --start and --stop, or --centre and --span, not both"},
        {{"--sweeps"}, "--sweeps needs a value"},
        {{"--frobnicate", "1"}, "unknown option --frobnicate"},
        {{"--foo"}, "unknown option --foo"},
        {{"--start", "40M"}, "--start 40M is outside the band talvik-tune sweeps, 1 Hz to 30 MHz"},
        {{"--start", "1M", "--stop", "1.00001M"},
         "the band is too narrow for 201 points: each step must be at least one tuning word and "
         "show as a higher frequency; use a span of at least 20.0 Hz, or fewer points"},
    };
    for (const auto &c : cases) {
        auto r = run(c.args);
        EXPECT_EQ(r.status, 2) << c.reason;
        EXPECT_EQ(r.err.rfind("talvik-tune: " + c.reason + "\nUsage: talvik-tune", 0), 0u) << r.err;
    }
    // Dumb terminals cannot draw the screen.
    run_options o;
    o.program = TALVIK_TUNE_BIN;
    o.terminal = true;
    o.env = {"TERM=dumb"};
    auto dumb = run_talvik(o);
    EXPECT_EQ(dumb.status, 2);
    EXPECT_EQ(dumb.err.rfind("talvik-tune: this terminal (TERM=dumb) cannot move the cursor; run "
                             "with --sweeps N",
                             0),
              0u)
        << dumb.err;
    // A terminal's name is shown, never obeyed.
    o.env = {"TERM=x\x1B[31m"};
    auto odd = run_talvik(o);
    EXPECT_EQ(odd.status, 2);
    EXPECT_EQ(odd.err.find('\x1B'), std::string::npos) << odd.err;
    EXPECT_NE(odd.err.find("x\\x1B[31m"), std::string::npos) << odd.err;
    auto r = run({}, {"TALVIK_PORT=lpt1"});
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.err.rfind("Can't open port lpt1: unknown port", 0), 0u);
    EXPECT_EQ(run({"--version"}).out.rfind("talvik-tune ", 0), 0u);
}

TEST_F(tune_run, without_a_terminal_each_sweep_prints_its_markers_and_the_last_is_saved) {
    auto r = run({"--start", "3M", "--stop", "5.5M", "--linear", "--points", "251", "--sweeps", "2",
                  "--save", "t.txt", "--average", "3"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream lines(r.out);
    std::string line;
    int sweeps = 0;
    while (std::getline(lines, line)) {
        ++sweeps;
        EXPECT_EQ(line.rfind("sweep " + std::to_string(sweeps) + ": kind bandpass; peak ", 0), 0u)
            << line;
    }
    EXPECT_EQ(sweeps, 2);
    // A talvik results file that talvik-plot reads: centre 4 MHz, Q 4.
    run_options o;
    o.program = TALVIK_PLOT_BIN;
    o.args = {"t.txt"};
    o.dir = dir.path;
    auto plot = run_talvik(o);
    ASSERT_EQ(plot.status, 0) << plot.err;
    size_t centre = plot.out.find(", centre ");
    ASSERT_NE(centre, std::string::npos) << plot.out;
    EXPECT_NEAR(std::stod(plot.out.substr(centre + 9)), 4e6, 0.01 * 4e6);
    EXPECT_EQ(read_file(dir.file("t.txt")).rfind(" Frequency\t  dBm \r\n 3000000.0\t", 0), 0u);
    // Run again, the save takes the next free name and says so.
    std::string first = read_file(dir.file("t.txt"));
    r = run({"--start", "3M", "--stop", "5.5M", "--sweeps", "1", "--save", "t.txt"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "talvik-tune: t.txt is taken: saved t-2.txt\n");
    EXPECT_EQ(read_file(dir.file("t.txt")), first);
    EXPECT_TRUE(file_exists(dir.file("t-2.txt")));
    // A few saved points' levels against talvik's own single-point sweeps
    // (the same word: the saved frequency rounded to whole hertz).
    std::istringstream saved(read_file(dir.file("t.txt")));
    std::getline(saved, line);
    for (int n = 0; std::getline(saved, line); ++n) {
        if (n % 60 != 0)
            continue;
        double hz = std::stod(line), level = std::stod(line.substr(line.find('\t') + 1));
        long whole = std::lround(hz);
        run_options t;
        t.args = {"one.txt", std::to_string(whole), std::to_string(whole + 1)};
        t.dir = dir.path;
        ASSERT_EQ(run_talvik(t).status, 0);
        std::string one = read_file(dir.file("one.txt"));
        std::string record = one.substr(one.find('\n') + 1);
        EXPECT_NEAR(std::stod(record.substr(record.find('\t') + 1)), level, 0.0015) << line;
    }
}

TEST(tune_points, references_carry_overflow_and_are_never_extrapolated) {
    std::vector<tune_point> points = {{0, 1e6, -10, false, false}, {0, 2e6, -20, false, false}};
    std::vector<level_point> ref = {{1e6, -1, false}, {1.5e6, -2, true}, {3e6, -5, false}};
    auto out = against(points, &ref);
    EXPECT_DOUBLE_EQ(out[0].level, -9);
    EXPECT_FALSE(out[0].overflow);
    EXPECT_DOUBLE_EQ(out[1].level, -20 - (-2 - 3.0 / 3)); // between 1.5 and 3 MHz
    EXPECT_TRUE(out[1].overflow) << "a reference point it uses overflowed";
    std::string reason;
    tune_settings s;
    std::vector<int32_t> words = sweep_words(s); // 1 to 10 MHz
    std::string note;
    EXPECT_FALSE(reference_covers(ref, words, "ref.txt", &reason, &note));
    EXPECT_EQ(reason.rfind("ref.txt covers 1000000.0 to 3000000.0 Hz, not the whole band", 0), 0u)
        << reason;
    ref.push_back({10e6, -9, false});
    EXPECT_TRUE(reference_covers(ref, words, "ref.txt", &reason, &note));
    EXPECT_EQ(note, "");
    // talvik's band never reaches its end: a reference short of it by no more
    // than its last step covers it, its last level held, and says so.
    ref.back() = {9.8e6, -9, false};
    ref.insert(ref.end() - 1, {9.7e6, -8, false}); // a last step of 0.1 MHz: 10 MHz is 0.2 out
    EXPECT_FALSE(reference_covers(ref, words, "ref.txt", &reason, &note));
    ref[ref.size() - 2].hz = 9.6e6; // a last step of 0.2 MHz
    EXPECT_TRUE(reference_covers(ref, words, "ref.txt", &reason, &note)) << reason;
    EXPECT_EQ(note, "ref.txt ends at 9800000.0 Hz, within its last step of the band's end, "
                    "10000000.0 Hz: its last level is held there");
    std::vector<tune_point> end = {{0, 10e6, -10, false, false}};
    EXPECT_DOUBLE_EQ(against(end, &ref)[0].level, -1);
    // A coarse reference is not stretched over a twentieth of the band or more.
    std::vector<level_point> coarse = {{1e6, 0, false}, {5.5e6, 0, false}};
    EXPECT_FALSE(reference_covers(coarse, words, "ref.txt", &reason, &note));
}

TEST(tune_view, the_curve_is_marked_only_where_the_lines_measure) {
    auto trace = [](std::vector<std::pair<double, double>> points) {
        std::vector<level_point> out;
        for (auto [hz, level] : points)
            out.push_back({hz, level, false});
        return out;
    };
    // A band-pass: its peak and -3 dB edges at -3 dB below it.
    auto marks = curve_marks(trace({{1, -20}, {2, -2}, {3, 0}, {4, -2}, {5, -20}}), false);
    ASSERT_EQ(marks.size(), 3u);
    EXPECT_EQ(marks[0].c, 'P');
    EXPECT_EQ(marks[0].hz, 3);
    EXPECT_EQ(marks[1].c, '|');
    EXPECT_EQ(marks[1].level, -3);
    EXPECT_NEAR(marks[1].hz, 2 - 1.0 / 18, 1e-9);
    EXPECT_NEAR(marks[2].hz, 4 + 1.0 / 18, 1e-9);
    // A notch with flat shoulders: its bottom.
    marks = curve_marks(trace({{1, 0}, {2, 0}, {3, -1}, {4, -30}, {5, -1}, {6, 0}, {7, 0}}), false);
    ASSERT_FALSE(marks.empty());
    EXPECT_EQ(marks[0].c, 'N');
    EXPECT_EQ(marks[0].hz, 4);
    // A skirt without a level to measure from: nothing; with a reference: its edge.
    auto skirt = trace({{1, -9}, {2, -6}, {3, -4}, {4.7, -2}, {5, -1.5}});
    EXPECT_TRUE(curve_marks(skirt, false).empty());
    marks = curve_marks(skirt, true);
    ASSERT_EQ(marks.size(), 2u);
    EXPECT_EQ(marks[1].c, '|');
    EXPECT_NEAR(marks[1].hz, 3.85, 1e-9); // -3 dB from 0 dB: halfway from -4 to -2
}

TEST(tune_view, the_level_scale_fits_round_divisions_and_keys_set_it) {
    view_state view;
    view_fit_levels(&view, {{1e6, -15, false}, {2e6, -0.2, false}});
    EXPECT_EQ(view.db_per_division, 5);
    EXPECT_EQ(view.level_high, 5);
    EXPECT_EQ(view.level_low, -20);
    view_fit_levels(&view, {{1e6, -3, false}, {2e6, -1, false}});
    EXPECT_EQ(view.db_per_division, 1);
    view.auto_scale = false; // a key set it: sweeps leave it alone
    view_fit_levels(&view, {{1e6, -60, false}});
    EXPECT_EQ(view.db_per_division, 1);
    view_set_scale(&view, 10, 20);
    EXPECT_EQ(view.level_low, -90);
}

TEST(tune_points, settings_give_the_band_and_its_points) {
    const char *args[] = {"talvik-tune", "--centre", "4M", "--span", "2M"};
    tune_settings s;
    std::string reason;
    bool done = false;
    ASSERT_TRUE(read_tune_settings(5, const_cast<char **>(args), &s, &reason, &done)) << reason;
    EXPECT_DOUBLE_EQ(s.start_hz, 3e6);
    EXPECT_DOUBLE_EQ(s.stop_hz, 5e6);
    s = tune_settings();
    s.stop_hz = 10e6;
    s.points = 3;
    auto words = sweep_words(s);
    EXPECT_NEAR(word_hz(words[1]), std::sqrt(10.0) * 1e6, 1 / 42.9); // log: the geometric middle
    EXPECT_NEAR(word_hz(words[2]), 10e6, 1 / 42.9);  // the last point is the stop
    s.linear = true;
    words = sweep_words(s);
    EXPECT_NEAR(word_hz(words[1]), 5.5e6, 1 / 42.9);
    EXPECT_NEAR(word_hz(words[0]), 1e6, 1 / 42.9);
}

TEST(tune_points, averaging_a_steady_level_changes_nothing) {
    test_link link("sim:dut=through");
    ASSERT_TRUE(link) << link.error.text;
    converter_start();
    int32_t word = static_cast<int32_t>(tuning_word(2e6));
    tune_point one = measure_tune_point(word, 1), three = measure_tune_point(word, 3);
    EXPECT_DOUBLE_EQ(three.level, one.level);
    EXPECT_GT(one.level, -3) << "the through level, not a reading of nothing";
}

struct tune_files : ::testing::Test {
    temp_dir dir;
    std::string home = std::filesystem::current_path();
    void SetUp() override { std::filesystem::current_path(dir.path); }
    void TearDown() override { std::filesystem::current_path(home); }
};

TEST_F(tune_files, a_failed_save_leaves_nothing_behind) {
    std::vector<tune_point> points = {{0, 1e6, -10, false, false}};
    std::filesystem::create_directory("folder");
    std::string reason;
    EXPECT_FALSE(save_sweep("folder", points, &reason));
    EXPECT_EQ(reason, "folder: Is a directory");
    EXPECT_FALSE(save_sweep("missing/s.txt", points, &reason));
    EXPECT_EQ(reason, "missing/s.txt: No such file or directory");
    std::vector<std::string> left;
    for (const auto &entry : std::filesystem::directory_iterator("."))
        left.push_back(entry.path().filename());
    EXPECT_EQ(left, std::vector<std::string>{"folder"});
    EXPECT_TRUE(std::filesystem::is_empty("folder"));
}

TEST_F(tune_files, saves_are_as_any_file_and_never_overwrite_each_other) {
    std::vector<tune_point> points = {{0, 1e6, -10, false, false}};
    mode_t old = umask(022);
    std::string saved, reason;
    // The number goes before the extension; a dot in a folder or leading a
    // hidden file's name is none.
    std::filesystem::create_directory("v1.2");
    for (std::string name : {"tuned.txt", "v1.2/tuned", ".tuned"})
        for (int k = 1; k <= 3; ++k) {
            ASSERT_TRUE(save_sweep_new(name, points, &saved, &reason)) << reason;
            EXPECT_EQ(saved, numbered_name(name, k));
        }
    EXPECT_EQ(numbered_name("tuned.txt", 3), "tuned-3.txt");
    EXPECT_EQ(numbered_name("v1.2/tuned", 2), "v1.2/tuned-2");
    EXPECT_EQ(numbered_name(".tuned", 2), ".tuned-2");
    EXPECT_EQ(read_file("tuned.txt"), read_file("tuned-3.txt"));
    // A name taken by anything, even a dangling link, is passed over.
    ASSERT_EQ(symlink("nowhere", "link.txt"), 0);
    ASSERT_TRUE(save_sweep_new("link.txt", points, &saved, &reason)) << reason;
    EXPECT_EQ(saved, "link-2.txt");
    EXPECT_FALSE(std::filesystem::exists("nowhere"));
    // A folder is no name to save under, with or without its slash.
    EXPECT_FALSE(save_sweep_new("v1.2", points, &saved, &reason));
    EXPECT_EQ(reason, "v1.2: a folder: name a file to save to");
    EXPECT_FALSE(save_sweep_new("v1.2/", points, &saved, &reason));
    // A name as long as the file system allows still saves (the temporary
    // file beside it has a short name of its own).
    std::string longest(255, 'n');
    ASSERT_TRUE(save_sweep_new(longest, points, &saved, &reason)) << reason;
    EXPECT_EQ(saved, longest);
    // Nothing left beside them: no temporary file.
    for (const auto &entry : std::filesystem::directory_iterator("."))
        EXPECT_EQ(entry.path().filename().string().rfind(".talvik", 0), std::string::npos)
            << entry.path();
    // The default name: the time it was saved at.
    std::string name = default_save_name();
    EXPECT_EQ(name.size(), std::string("talvik-tune-20261208-083000.txt").size()) << name;
    EXPECT_EQ(name.rfind("talvik-tune-20", 0), 0u) << name;
    EXPECT_EQ(std::filesystem::status("tuned.txt").permissions() & std::filesystem::perms::all,
              std::filesystem::perms(0644));
    umask(old);
}

// talvik never measures its band's end: its through sweep of 0.1 to 30 MHz
// is a reference for talvik-tune over the same band, its last level held at
// 30 MHz (said), and every level against it is 0 dB within a reading's step.
TEST_F(tune_run, a_through_sweep_from_talvik_is_a_reference_for_the_same_band) {
    run_options o;
    o.args = {"ref.txt", "100000", "30000000", "100"};
    o.dir = dir.path;
    o.env = {"TALVIK_PORT=sim:dut=through"};
    ASSERT_EQ(run_talvik(o).status, 0);
    auto r = run({"--start", "100k", "--stop", "30M", "--ref", "ref.txt", "--sweeps", "1", "--save",
                  "n.txt"},
                 {"TALVIK_PORT=sim:dut=through"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("talvik-tune: ref.txt ends at 29"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(" within its last step of the band's end, 30000000.0 Hz: its last level is "
                         "held there"),
              std::string::npos)
        << r.err;
    // The saved sweep is raw dBm; against the reference it is flat: the
    // through's sin(x)/x at 30 MHz differs from its level a step below by
    // less than 0.1 dB.
    results_file ref, swept;
    std::string error;
    ASSERT_TRUE(read_results(dir.file("ref.txt"), ref, error)) << error;
    ASSERT_TRUE(read_results(dir.file("n.txt"), swept, error)) << error;
    size_t at = 0;
    for (const auto &p : swept.points) {
        double level = 0;
        bool overflow = false;
        reference_at(ref.points, p.hz, &at, &level, &overflow);
        EXPECT_NEAR(p.level - level, 0, 0.1) << p.hz;
    }
}

TEST_F(tune_run, files_the_run_reads_or_saves_are_never_the_trace) {
    ASSERT_EQ(run({"--sweeps", "1", "--save", "ref.txt"}).status, 0);
    std::string ref = read_file(dir.file("ref.txt"));
    auto r = run({"--sweeps", "1", "--ref", "ref.txt"}, {"TALVIK_TRACE=ref.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "talvik-tune: Reference file and trace file are the same: ref.txt\n");
    EXPECT_EQ(read_file(dir.file("ref.txt")), ref);
    r = run({"--sweeps", "1", "--save", "s.txt"}, {"TALVIK_TRACE=s.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "talvik-tune: Save file and trace file are the same: s.txt\n");
    EXPECT_FALSE(file_exists(dir.file("s.txt")));
}

TEST_F(tune_run, a_trace_that_fails_as_the_run_ends_is_told) {
    // Too short to fill the trace's buffer: it fails as it is written out.
    auto r = run({"--sweeps", "1", "--points", "2"}, {"TALVIK_TRACE=/dev/full"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Can't write trace file /dev/full: No space left on device\n");
}

TEST_F(tune_run, a_run_cut_short_says_so_and_leaves_no_partial_file) {
    // A file-size limit: the reason, and no partial file.
    run_options o;
    o.program = TALVIK_TUNE_BIN;
    o.args = {"--sweeps", "1", "--save", "t.txt"};
    o.dir = dir.path;
    o.file_size_limit = 1000;
    auto r = run_talvik(o);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "talvik-tune: cannot save: t.txt: File too large\n");
    EXPECT_TRUE(std::filesystem::is_empty(dir.path));
    // Output onto a full disk.
    for (auto args : {std::vector<std::string>{"--sweeps", "1"}, {"--version"}}) {
        o.args = args;
        o.file_size_limit = -1;
        o.stdout_file = "/dev/full";
        r = run_talvik(o);
        EXPECT_EQ(r.status, 1) << args[0];
        EXPECT_EQ(r.err, "talvik-tune: cannot write standard output: No space left on device\n");
    }
    // Memory that runs out is a message.
#ifndef TALVIK_SANITIZED
    o.args = {"--points", "100001", "--sweeps", "1"};
    o.stdout_file.clear();
    o.memory_limit = 10L << 20; // it starts in 7 MiB, the points need 15
    r = run_talvik(o);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "talvik-tune: out of memory\n");
#endif
}

TEST_F(tune_run, stop_signals_save_the_last_sweep_and_end_the_run_as_they_would) {
    for (int sig : {SIGTERM, SIGHUP, SIGPIPE}) {
        run_options o;
        o.program = TALVIK_TUNE_BIN;
        o.args = {"--save", "t.txt", "--points", "21"};
        o.dir = dir.path;
        o.kill_after_ms = 500;
        o.kill_signal = sig;
        auto r = run_talvik(o);
        EXPECT_EQ(r.status, 128 + sig);
        EXPECT_EQ(read_file(dir.file("t.txt")).rfind(" Frequency\t  dBm \r\n 1000000.0\t", 0), 0u)
            << sig;
        std::filesystem::remove(dir.file("t.txt"));
    }
    // Control-C quits at once, even in the middle of a point that takes minutes.
    run_options o;
    o.program = TALVIK_TUNE_BIN;
    o.env = {"TALVIK_PORT=sim:busy=300000"};
    o.args = {"--average", "1000"};
    o.kill_after_ms = 1500;
    o.kill_signal = SIGINT;
    auto started = std::chrono::steady_clock::now();
    auto r = run_talvik(o);
    EXPECT_EQ(r.status, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(3500));
}

// The live screen, through tmux.
// The pane's shell reports the program's status in a file that appears whole:
// a test that sees the name never reads it half written.
const std::string report_status = "echo status $? > status.tmp && mv status.tmp status.txt";

struct tune_screen : ::testing::Test {
    temp_dir dir;
    std::string socket = "talvik-test-" + std::to_string(getpid());
    void SetUp() override {
        if (std::system("tmux -V > /dev/null 2>&1") != 0)
            GTEST_SKIP() << "tmux is not installed";
    }
    void TearDown() override { tmux("kill-server"); }
    int tmux(const std::string &command, const std::string &out = "/dev/null") {
        std::string line = "tmux -L " + socket + " " + command + " > " + out + " 2>&1";
        int status = std::system(line.c_str());
        // A server whose last session was just killed is still exiting, and
        // refuses a new session for a moment: ask again.
        for (int i = 0; i < 20 && status != 0 && command.rfind("new-session", 0) == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            status = std::system(line.c_str());
        }
        return status;
    }
    std::vector<std::string> screen() {
        std::string file = dir.file("screen.txt");
        tmux("capture-pane -p -t tune", file);
        std::vector<std::string> rows;
        std::istringstream in(read_file(file));
        for (std::string row; std::getline(in, row);)
            rows.push_back(row);
        return rows;
    }
    // Waits until the screen shows text and is drawn whole (its axis and
    // its bottom line of keys are there, not half a frame); the screen then.
    std::vector<std::string> wait_for(const std::string &text) {
        for (int i = 0; i < 500; ++i) {
            auto rows = screen();
            bool shown = false, axis = false, keys = false;
            for (const auto &row : rows) {
                shown = shown || row.find(text) != std::string::npos;
                axis = axis || row.rfind("       +-", 0) == 0 || row.rfind("       ++", 0) == 0;
                keys = keys || row.rfind("q quit  ", 0) == 0;
            }
            if (shown && axis && keys)
                return rows;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        std::string shown;
        for (const auto &row : screen())
            shown += row + "\n";
        ADD_FAILURE() << "the screen never showed " << text << ":\n" << shown;
        return screen();
    }
};

// The frequency under a column, from the axis's tick marks and labels.
double frequency_at(const std::vector<std::string> &rows, double column) {
    size_t axis = rows.size();
    while (axis > 0 && rows[axis - 1].rfind("       +", 0) != 0)
        --axis;
    if (axis == 0 || axis >= rows.size())
        return NAN;
    const std::string &ticks = rows[axis - 1], &labels = rows[axis];
    std::vector<double> at, value;
    std::istringstream numbers(labels.substr(labels.find_first_of("0123456789")));
    // Tick marks are the '+' on the axis line, less the corner just left of it.
    size_t corner = ticks.find('+');
    for (size_t c = corner + 1; c < ticks.size(); ++c)
        if (ticks[c] == '+') {
            double v;
            numbers >> v;
            at.push_back(static_cast<double>(c));
            value.push_back(v);
        }
    for (size_t k = 0; k + 1 < at.size(); ++k)
        if (column <= at[k + 1]) {
            double t = (column - at[k]) / (at[k + 1] - at[k]);
            return std::exp(std::log(value[k]) + t * (std::log(value[k + 1]) - std::log(value[k])));
        }
    return NAN;
}

// A trimmer turned while talvik-tune sweeps: the live markers follow the
// band-pass (4 MHz centre in the model) as it moves up 1 MHz, and max-hold
// keeps the highest level seen where it was: 0 dB at 4 MHz, where the moved
// filter gives some 14 dB less.
// The peak marker's frequency in MHz, from the screen's marker line.
double number_after_peak(const std::string &row) {
    size_t at = row.find("peak ");
    return at == std::string::npos ? NAN : std::atof(row.c_str() + at + 5) / 1e6;
}

TEST_F(tune_screen, a_filter_that_moves_is_followed_and_max_hold_keeps_its_peak) {
    std::string knob = dir.file("knob");
    write_file(knob, "0");
    ASSERT_EQ(tmux("new-session -d -s tune -x 80 -y 24 -c " + dir.path +
                   " 'env TALVIK_CAL= TALVIK_PORT=sim:knob=" + knob + " " + TALVIK_TUNE_BIN +
                   " --start 2M --stop 7M --linear'"),
              0);
    // The model's top is flat to within a reading's step over some 0.1 MHz.
    auto rows = wait_for(" dBm; -3 dB");
    EXPECT_NEAR(number_after_peak(rows[1]), 4.0, 0.1) << rows[1];
    tmux("send-keys -t tune m");
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // a sweep or two held
    write_file(knob, "1000000");
    for (int i = 0; i < 200 && !(std::fabs(number_after_peak(rows[1]) - 5.0) < 0.1); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        rows = wait_for("peak ");
    }
    EXPECT_NEAR(number_after_peak(rows[1]), 5.0, 0.1) << rows[1];
    // At 4 MHz's column the held mark ('~') stands well above the live curve.
    // The axis row runs linearly from 2 MHz at its first '+' to 7 at its last.
    size_t axis = 0;
    while (axis < rows.size() && rows[axis].rfind("       +", 0) != 0)
        ++axis;
    ASSERT_LT(axis, rows.size());
    double first = static_cast<double>(rows[axis].find('+')),
           last = static_cast<double>(rows[axis].rfind('+'));
    size_t column = static_cast<size_t>(std::lround(first + (last - first) * (4.0 - 2) / (7 - 2)));
    size_t held = rows.size(), live = rows.size();
    for (size_t r = rows.size() - 1; r >= 2; --r) {
        if (column < rows[r].size() && rows[r][column] == '~')
            held = r;
        if (column < rows[r].size() && (rows[r][column] == '*' || rows[r][column] == '.'))
            live = r;
    }
    EXPECT_LT(live, rows.size()) << "the live curve shows there too";
    EXPECT_LT(held + 1, live) << [&] {
        std::string all;
        for (const auto &row : rows)
            all += row + "\n";
        return all;
    }();
    tmux("send-keys -t tune q");
}

TEST_F(tune_screen, the_curve_peaks_at_the_filter_and_the_keys_work) {
    ASSERT_EQ(tmux("new-session -d -s tune -x 80 -y 24 -c " + dir.path + " 'env TALVIK_CAL= TALVIK_PORT=sim " +
                   TALVIK_TUNE_BIN + " --save s.txt; " + report_status + "; sleep 5'"),
              0);
    auto rows = wait_for(" dBm; -3 dB"); // the markers of a complete sweep
    size_t count = rows[0].find("| sweep ");
    ASSERT_NE(count, std::string::npos) << rows[0];
    EXPECT_GE(std::stol(rows[0].substr(count + 8)), 1);
    // The plot's highest row holding the curve, and the middle of it there.
    double column = NAN;
    for (size_t r = 4; r + 3 < rows.size() && std::isnan(column); ++r) {
        size_t first = rows[r].find_first_of("*.", 8), last = rows[r].find_last_of("*.");
        if (first != std::string::npos)
            column = (static_cast<double>(first) + static_cast<double>(last)) / 2;
    }
    EXPECT_NEAR(frequency_at(rows, column), 4.0, 0.4) << "peak at column " << column;
    EXPECT_NE(rows[1].find("peak "), std::string::npos) << rows[1];
    EXPECT_NE(rows[0].find("| dBm"), std::string::npos) << rows[0];

    tmux("send-keys -t tune r");
    EXPECT_NE(wait_for("dB vs ref")[0].find("dB vs ref"), std::string::npos);
    tmux("send-keys -t tune Space");
    wait_for("PAUSED");
    tmux("send-keys -t tune s");
    wait_for("saved s.txt");
    EXPECT_EQ(read_file(dir.file("s.txt")).rfind(" Frequency\t  dBm \r\n 1000000.0\t", 0), 0u);
    tmux("send-keys -t tune q");
    for (int i = 0; i < 50 && !file_exists(dir.file("status.txt")); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(read_file(dir.file("status.txt")), "status 0\n");
}

TEST_F(tune_screen, quits_at_once_and_gives_the_terminal_back_on_every_signal) {
    // A point that takes minutes: q is seen inside its waits.
    auto start = [&](const std::string &name) {
        tmux("kill-session -t tune");
        std::filesystem::remove(dir.file("status.txt"));
        ASSERT_EQ(tmux("new-session -d -s tune -x 80 -y 24 -c " + dir.path +
                       " 'sh -c \"echo \\$\\$ > pid.txt; exec env TALVIK_PORT=sim:busy=300000 " +
                       TALVIK_TUNE_BIN + " --average 1000 --save " + name +
                       "\"; s=$?; stty -a > stty.txt; echo status $s > status.tmp && mv status.tmp "
                       "status.txt; sleep 5'"),
                  0);
        wait_for("| sweep 0");
    };
    auto status = [&]() {
        for (int i = 0; i < 40 && !file_exists(dir.file("status.txt")); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return file_exists(dir.file("status.txt")) ? read_file(dir.file("status.txt")) : "";
    };
    start("q.txt");
    tmux("send-keys -t tune q");
    EXPECT_EQ(status(), "status 0\n") << "q within 2 s";
    for (int sig : {SIGHUP, SIGQUIT, SIGTERM, SIGUSR1}) {
        start("s.txt");
        kill(std::stoi(read_file(dir.file("pid.txt"))), sig);
        EXPECT_EQ(status(), "status " + std::to_string(128 + sig) + "\n");
        std::string stty = read_file(dir.file("stty.txt"));
        EXPECT_NE(stty.find(" icanon"), std::string::npos) << sig << stty;
        EXPECT_NE(stty.find(" echo "), std::string::npos) << sig << stty;
    }
}

TEST_F(tune_screen, a_tiny_span_shows_digits_enough_to_tell_its_ends_apart) {
    ASSERT_EQ(tmux("new-session -d -s tune -x 80 -y 24 -c " + dir.path + " 'env TALVIK_CAL= TALVIK_PORT=sim " +
                   TALVIK_TUNE_BIN + " --start 8999999 --stop 9000001 --points 3 --linear'"),
              0);
    auto rows = wait_for("8.999999 to 9.000001 MHz");
    // The labels: the row beneath the axis's tick marks, after the unit.
    size_t axis = 0;
    while (axis + 1 < rows.size() && rows[axis].rfind("       +", 0) != 0)
        ++axis;
    ASSERT_LT(axis + 1, rows.size());
    ASSERT_GT(rows[axis + 1].size(), 3u);
    std::istringstream labels(rows[axis + 1].substr(3));
    std::vector<std::string> seen;
    for (std::string label; labels >> label;)
        seen.push_back(label);
    EXPECT_GE(seen.size(), 2u);
    EXPECT_EQ(std::unique(seen.begin(), seen.end()), seen.end()) << rows[axis + 1];
    tmux("send-keys -t tune q");
}

TEST_F(tune_screen, keys_respan_and_rescale_and_a_resize_redraws) {
    // A reference of just this band: zooming out leaves it behind.
    run_options o;
    o.program = TALVIK_TUNE_BIN;
    o.args = {"--start", "3M", "--stop", "5M", "--linear", "--sweeps", "1", "--save", "ref.txt"};
    o.dir = dir.path;
    ASSERT_EQ(run_talvik(o).status, 0);
    ASSERT_EQ(tmux("new-session -d -s tune -x 80 -y 24 -c " + dir.path + " 'env TALVIK_CAL= TALVIK_PORT=sim " +
                   TALVIK_TUNE_BIN + " --start 3M --stop 5M --linear --ref ref.txt'"),
              0);
    wait_for("3 to 5 MHz, 201 points linear");
    tmux("send-keys -t tune -");
    wait_for("reference dropped: it does not cover the new band");
    tmux("send-keys -t tune h");
    wait_for("3 to 5 MHz, 201 points linear");
    tmux("send-keys -t tune +");
    wait_for("3.5 to 4.5 MHz");
    tmux("send-keys -t tune '>'");
    auto rows = wait_for("3.6 to 4.6 MHz");
    // The axis's labels follow the band: its ends read back.
    EXPECT_NEAR(frequency_at(rows, 8), 3.6, 0.01) << rows[rows.size() - 4];
    tmux("send-keys -t tune h");
    wait_for("3 to 5 MHz");
    tmux("resize-window -t tune -x 120 -y 40");
    for (int i = 0; i < 100 && (rows.size() != 40 || rows.back().rfind("q quit", 0) != 0); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        rows = screen();
    }
    ASSERT_EQ(rows.size(), 40u);
    EXPECT_EQ(rows.back(), std::string(view_keys).substr(0, 120)) << rows.back();
    EXPECT_NEAR(frequency_at(rows, 8), 3.0, 0.01);
    tmux("send-keys -t tune q");
    // Logarithmic, the default: + halves the band's ratio about its
    // geometric centre, 1 to 16 MHz to 2 to 8 MHz.
    for (int i = 0; i < 100 && tmux("has-session -t tune 2>/dev/null") == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(tmux("new-session -d -s tune -x 80 -y 24 -c " + dir.path + " 'env TALVIK_CAL= TALVIK_PORT=sim " +
                   TALVIK_TUNE_BIN + " --start 1M --stop 16M'"),
              0);
    wait_for("1 to 16 MHz");
    tmux("send-keys -t tune +");
    wait_for("2 to 8 MHz");
    tmux("send-keys -t tune q");
}

// The cursor on the band-pass (4 MHz in the model): p puts it on the peak,
// arrows move it a point, c centres the band on it, and zooms keep it where
// it is; M and a move give the delta; d and D step the scale both ways.
TEST_F(tune_screen, the_cursor_finds_the_peak_and_zooms_keep_it_in_place) {
    ASSERT_EQ(tmux("new-session -d -s tune -x 80 -y 24 -c " + dir.path + " 'env TALVIK_CAL= TALVIK_PORT=sim " +
                   TALVIK_TUNE_BIN + " --centre 4M --span 3M --linear --points 301'"),
              0);
    wait_for("2.5 to 5.5 MHz");
    // Zooming in about --centre: 3.25 to 4.75, then 3.625 to 4.375 MHz.
    tmux("send-keys -t tune + +");
    wait_for("3.625 to 4.375 MHz, 301 points linear");
    tmux("send-keys -t tune h");
    wait_for("2.5 to 5.5 MHz");
    wait_for(" dBm; -3 dB"); // a sweep of the starting band is in
    tmux("send-keys -t tune p");
    // The model's peak is 4 MHz; its top is flat within a reading's step
    // over a few points, 10 kHz apart.
    auto rows = wait_for("| cursor 3.9");
    size_t at = rows[3].find("cursor ");
    double peak = std::atof(rows[3].c_str() + at + 7);
    EXPECT_NEAR(peak, 4.0, 0.1) << rows[3];
    EXPECT_NE(rows[3].find(" dBm"), std::string::npos) << rows[3];
    // Three points right, each 10 kHz.
    tmux("send-keys -t tune Right Right Right");
    char moved[64];
    std::snprintf(moved, sizeof moved, "cursor %g MHz", std::round((peak + 0.03) * 100) / 100);
    wait_for(moved);
    // The delta from a marker dropped here, three points left.
    tmux("send-keys -t tune M Left Left Left");
    wait_for(", delta -30 kHz");
    // Centred on the cursor, then zoomed about it: it keeps its column.
    tmux("send-keys -t tune c");
    double centre = std::round(peak * 100) / 100;
    char band_text[64];
    std::snprintf(band_text, sizeof band_text, "%g to %g MHz", centre - 1.5, centre + 1.5);
    rows = wait_for(band_text);
    tmux("send-keys -t tune +");
    std::snprintf(band_text, sizeof band_text, "%g to %g MHz", centre - 0.75, centre + 0.75);
    wait_for(band_text);
    // The scale: d finer, D coarser, never past 1 or 20 dB/div.
    tmux("send-keys -t tune D D D D D D");
    wait_for("20 dB/div is the coarsest scale");
    tmux("send-keys -t tune d d d d d d");
    wait_for("1 dB/div is the finest scale");
    tmux("send-keys -t tune q");
    // A notch whose span shows no shoulders: p still finds its bottom, 6 MHz.
    for (int i = 0; i < 100 && tmux("has-session -t tune 2>/dev/null") == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(tmux("new-session -d -s tune -x 80 -y 24 -c " + dir.path +
                   " 'env TALVIK_CAL= TALVIK_PORT=sim:dut=notch " + TALVIK_TUNE_BIN +
                   " --centre 6M --span 3M --linear'"),
              0);
    wait_for("| sweep 2");
    tmux("send-keys -t tune p");
    wait_for("cursor 6 MHz -40.");
    tmux("send-keys -t tune q");
}

// Zooming out from 2 to 8 MHz stops at the low band's edge and 30 MHz, the
// sweep counter keeps moving, and h brings the band and its reference back.
TEST_F(tune_screen, zooming_out_is_bounded_and_home_brings_the_reference_back) {
    run_options o;
    o.program = TALVIK_TUNE_BIN;
    o.args = {"--start", "2M", "--stop", "8M", "--sweeps", "1", "--save", "ref.txt"};
    o.dir = dir.path;
    ASSERT_EQ(run_talvik(o).status, 0);
    ASSERT_EQ(tmux("new-session -d -s tune -x 80 -y 24 -c " + dir.path + " 'env TALVIK_CAL= TALVIK_PORT=sim " +
                   TALVIK_TUNE_BIN + " --start 2M --stop 8M --ref ref.txt'"),
              0);
    wait_for("2 to 8 MHz, 201 points log | sweep 1");
    tmux("send-keys -t tune - - -");
    wait_for("0.0625 to 30 MHz");
    tmux("send-keys -t tune -");
    auto rows = wait_for("the band is as wide as keys take it");
    size_t count = rows[0].find("| sweep ");
    long before = std::stol(rows[0].substr(count + 8));
    for (int i = 0; i < 100 && std::stol(rows[0].substr(count + 8)) < before + 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        rows = screen();
    }
    EXPECT_GE(std::stol(rows[0].substr(count + 8)), before + 2) << rows[0];
    EXPECT_EQ(rows[0].find("vs ref"), std::string::npos) << "the reference does not cover it";
    tmux("send-keys -t tune h");
    rows = wait_for("2 to 8 MHz, 201 points log");
    EXPECT_NE(rows[0].find("| dB vs ref"), std::string::npos) << rows[0];
    // Dropped on the starting band, it stays dropped there.
    tmux("send-keys -t tune R");
    wait_for("reference dropped");
    tmux("send-keys -t tune - h");
    rows = wait_for("2 to 8 MHz, 201 points log | sweep");
    for (int i = 0; i < 50 && rows[0].find("| dBm") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        rows = screen();
    }
    EXPECT_NE(rows[0].find("| dBm"), std::string::npos) << rows[0];
    // One taken there with r comes back with h.
    wait_for("2 to 8 MHz, 201 points log | sweep");
    tmux("send-keys -t tune r");
    wait_for("reference: the last sweep");
    tmux("send-keys -t tune -");
    wait_for("1 to 16 MHz");
    tmux("send-keys -t tune h");
    rows = wait_for("2 to 8 MHz, 201 points log");
    EXPECT_NE(rows[0].find("| dB vs ref"), std::string::npos) << rows[0];
    tmux("send-keys -t tune q");
    // A band deep in the low band says how long its sweep takes before its
    // first point: five periods of each of 41 frequencies from 10 to 100 Hz.
    double seconds = 0;
    for (int i = 0; i < 41; ++i)
        seconds += 5 / (10 * std::pow(10.0, i / 40.0));
    for (int i = 0; i < 100 && tmux("has-session -t tune 2>/dev/null") == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(tmux("new-session -d -s tune -x 80 -y 24 -c " + dir.path + " 'env TALVIK_CAL= TALVIK_PORT=sim " +
                   TALVIK_TUNE_BIN + " --start 10 --stop 100 --points 41'"),
              0);
    char said[64];
    std::snprintf(said, sizeof said, "this band's sweep takes about %.0f s", seconds);
    wait_for(said);
    tmux("send-keys -t tune q");
}

} // namespace

namespace {

// Time jumps 300 ticks at each look: a wait that sees busy gives up at once.
int32_t jumping_clock() {
    static int32_t now = 0;
    return now += 300;
}
int reads_seen = 0, busy_at = 0;
uint8_t busy_once() { return ++reads_seen == busy_at ? status_busy : 0; }

// A point's reading is the conversion its first exchange started: it is late
// when the first ready wait gave up, not when the second did (that wait is
// for the next point's conversion).
TEST(tune_points, a_point_is_late_by_the_wait_its_reading_depends_on) {
    set_tick_source(jumping_clock);
    for (auto [busy_read, late] : {std::pair{17, true}, {34, false}, {1000, false}}) {
        recording_port::install();
        recording_port::status = busy_once;
        reads_seen = 0;
        busy_at = busy_read; // 16 bits read, then the first wait's poll; again for the second
        EXPECT_EQ(measure_tune_point(429496729, 1).timed_out, late) << busy_read;
        recording_port::uninstall();
    }
    set_tick_source(nullptr);
}

} // namespace
