// Go/no-go: limit masks read and checked, the Touchstone file read back by a
// reader of its own that follows the format's public description, and the
// JSON document parsed and compared with the text.
#include "markers/mask.hpp"
#include "run_program.hpp"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

TEST(mask, hostile_masks_are_refused_with_their_line) {
    struct {
        std::string text, why;
    } cases[] = {
        {"", "m: no segments: not a mask"},
        {"# only a comment\n", "m: no segments"},
        {"5M 4M upper 0\n", "m, line 1: the start must be below the stop"},
        {"unit dB\n1M 2M upper nan\n", "m, line 2: levels are numbers of dB from -400 to 400"},
        {"1M 2M lower -401\n", "m, line 1: levels are numbers"},
        {"1M 2M lower 0 400.5\n", "m, line 1: levels are numbers"},
        {"1M 2M lower 0x10\n", "m, line 1: levels are numbers"},
        {"1M 2M sideways 0\n", "m, line 1: 'sideways' is neither upper nor lower"},
        {"1M 2M upper\n", "m, line 1: not 'START STOP upper|lower LEVEL [LEVEL2]'"},
        {"1Mhz 2M upper 0\n", "m, line 1: frequencies as 3.5M"},
        {"1M 2G upper 0\n", "m, line 1: frequencies as"},
        {"1M 3M upper 0\n# x\n2M 4M upper -3\n", "m, line 3: upper segments overlap (line 1)"},
        {"1M 2M upper 0\nunit dBm\n", "m, line 2: 'unit' comes once, before the segments"},
        {"unit volts\n", "m, line 1: 'unit dB' (against a reference) or 'unit dBm'"},
        {"1M 2M upper 0\n3M 4M upper 0 \x01\n", "m, line 2: levels are numbers"},
        {std::string("1M 2M upper 0\0", 14), "m, line 1: a NUL byte"},
    };
    for (const auto &c : cases) {
        limit_mask m;
        std::string why;
        EXPECT_FALSE(parse_mask(c.text, "m", &m, &why)) << c.why;
        EXPECT_EQ(why.rfind(c.why, 0), 0u) << why;
    }
    std::string many;
    for (int k = 0; k < 1001; ++k)
        many += std::to_string(k + 1) + "k " + std::to_string(k + 2) + "k upper 0\n";
    limit_mask m;
    std::string why;
    EXPECT_FALSE(parse_mask(many, "m", &m, &why));
    EXPECT_EQ(why, "m, line 1001: more than 1000 segments");
    // What a mask is: upper and lower over one band, touching segments of a
    // kind, a sloped limit, comments after a segment, dBm.
    ASSERT_TRUE(parse_mask("unit dBm\n1M 2M upper -3 -9 # a slope\n2M 3M upper -9\n1M 3M lower -60\n",
                           "m", &m, &why))
        << why;
    EXPECT_FALSE(m.relative);
    ASSERT_EQ(m.segments.size(), 3u);
    EXPECT_DOUBLE_EQ(m.segments[0].limit_at(1.5e6), -6);
    EXPECT_EQ(m.segments[2].line, 4);
}

std::vector<level_point> trace(std::vector<std::pair<double, double>> points) {
    std::vector<level_point> out;
    for (auto [hz, level] : points)
        out.push_back({hz, level, false});
    return out;
}

TEST(mask, every_point_inside_is_checked_and_the_worst_named) {
    limit_mask m;
    std::string why;
    ASSERT_TRUE(parse_mask("1M 3M upper 0 -10\n1M 3M lower -30\n", "m", &m, &why)) << why;
    // The upper limit at 2 MHz is -5 dB: -4 is 1 dB over it.
    auto t = trace({{0.5e6, 20}, {1e6, -1}, {2e6, -4}, {2.5e6, -20}, {3e6, -29}, {4e6, 50}});
    mask_result r = check_mask(t, m);
    EXPECT_EQ(r.verdict, mask_verdict::fail);
    EXPECT_EQ(r.segments[0].checked, 4u) << "the ends count, points outside do not";
    EXPECT_EQ(r.segments[0].failing, 1u);
    EXPECT_DOUBLE_EQ(r.segments[0].worst_hz, 2e6);
    EXPECT_DOUBLE_EQ(r.segments[0].worst_margin, -1);
    EXPECT_EQ(r.segments[1].failing, 0u);
    EXPECT_DOUBLE_EQ(r.segments[1].worst_margin, 1);
    auto lines = mask_lines("f", m, r, "dB");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "f: mask FAIL");
    EXPECT_EQ(lines[1], "f: line 1 (upper 1 MHz to 3 MHz, 0 to -10 dB): 1 of 4 points above the "
                        "limit, worst 2000000.0 Hz at -4.000 dB, 1.000 dB over");
    // Within: PASS with the smallest margin.
    t[2].level = -5.5;
    r = check_mask(t, m);
    EXPECT_EQ(r.verdict, mask_verdict::pass);
    EXPECT_EQ(mask_lines("f", m, r, "dB")[0], "f: mask PASS, worst margin 0.500 dB at 2000000.0 Hz (line 1)");
    // An overflowed point inside: not PASS, as a failing one would be FAIL.
    t[3].overflow = true;
    EXPECT_EQ(check_mask(t, m).verdict, mask_verdict::cannot_tell);
    t[2].level = 0;
    EXPECT_EQ(check_mask(t, m).verdict, mask_verdict::fail);
    // A sweep that stops short of a segment's end by more than its step.
    auto short_sweep = trace({{1e6, -8}, {1.5e6, -8}, {2e6, -8}});
    EXPECT_EQ(check_mask(short_sweep, m).verdict, mask_verdict::cannot_tell);
    short_sweep.push_back({2.5e6, -12, false});
    EXPECT_EQ(check_mask(short_sweep, m).verdict, mask_verdict::cannot_tell)
        << "0.5 MHz short: within its last step, but a quarter of the segment";
    short_sweep.push_back({2.9e6, -15, false});
    EXPECT_EQ(check_mask(short_sweep, m).verdict, mask_verdict::pass)
        << "0.1 MHz short: within its last step and a tenth of the segment";
    // A segment between two points holds none of them: said so.
    ASSERT_TRUE(parse_mask("1.6M 1.7M upper 0\n", "m", &m, &why));
    r = check_mask(short_sweep, m);
    EXPECT_EQ(r.verdict, mask_verdict::cannot_tell);
    EXPECT_EQ(mask_lines("f", m, r, "dB")[1],
              "f: line 1 (upper 1.6 MHz to 1.7 MHz, 0 dB): it falls between two of the sweep's "
              "points: none inside it");
}

// A minimal JSON reader for the test: objects, arrays, strings, numbers,
// true, false, null.
struct json {
    enum kind_t { null, boolean, number, string, array, object } kind = null;
    bool b = false;
    double n = 0;
    std::string s;
    std::vector<json> items;
    std::map<std::string, json> fields;
    const json &operator[](const std::string &k) const {
        static const json none;
        auto it = fields.find(k);
        return it == fields.end() ? none : it->second;
    }
    const json &operator[](size_t i) const { return items.at(i); }
};

struct json_reader {
    const std::string &t;
    size_t at = 0;
    bool ok = true;
    void blank() {
        while (at < t.size() && std::isspace(static_cast<unsigned char>(t[at])))
            ++at;
    }
    bool take(char c) {
        blank();
        if (at < t.size() && t[at] == c) {
            ++at;
            return true;
        }
        return false;
    }
    std::string text() {
        std::string out;
        if (!take('"'))
            return ok = false, out;
        while (at < t.size() && t[at] != '"') {
            char c = t[at++];
            if (c == '\\' && at < t.size()) {
                char e = t[at++];
                if (e == 'u') {
                    out += '?';
                    at += 4;
                } else
                    out += e == 'n' ? '\n' : e == 't' ? '\t' : e;
            } else
                out += c;
        }
        ok = ok && take('"');
        return out;
    }
    json value() {
        json v;
        blank();
        if (at >= t.size())
            return ok = false, v;
        char c = t[at];
        if (c == '{') {
            v.kind = json::object;
            ++at;
            if (take('}'))
                return v;
            do {
                std::string key = text();
                ok = ok && take(':');
                v.fields[key] = value();
            } while (ok && take(','));
            ok = ok && take('}');
        } else if (c == '[') {
            v.kind = json::array;
            ++at;
            if (take(']'))
                return v;
            do
                v.items.push_back(value());
            while (ok && take(','));
            ok = ok && take(']');
        } else if (c == '"') {
            v.kind = json::string;
            v.s = text();
        } else if (t.compare(at, 4, "null") == 0) {
            at += 4;
        } else if (t.compare(at, 4, "true") == 0 || t.compare(at, 5, "false") == 0) {
            v.kind = json::boolean;
            v.b = t[at] == 't';
            at += v.b ? 4 : 5;
        } else {
            v.kind = json::number;
            size_t used = 0;
            try {
                v.n = std::stod(t.substr(at, 40), &used);
            } catch (...) {
                ok = false;
            }
            at += used;
        }
        return v;
    }
};

double number_after(const std::string &text, const std::string &label) {
    size_t at = text.find(label);
    EXPECT_NE(at, std::string::npos) << label << " in " << text;
    return at == std::string::npos ? NAN : std::stod(text.substr(at + label.size()));
}

struct limits_run : ::testing::Test {
    temp_dir dir;
    void SetUp() override {
        for (auto [file, port] : {std::pair{"through.txt", "sim:dut=through"},
                                  {"bp.txt", "sim:dut=bandpass"},
                                  {"noisy.txt", "sim:dut=bandpass,fault=noisy:3"}}) {
            run_options o;
            o.args = {file, "2000000", "7000000", "200"};
            o.env = {std::string("TALVIK_PORT=") + port};
            o.dir = dir.path;
            ASSERT_EQ(run_talvik(o).status, 0) << file;
        }
        // The band-pass moved up 300 kHz, as a trimmer would.
        write_file(dir.file("knob"), "300000");
        run_options o;
        o.args = {"detuned.txt", "2000000", "7000000", "200"};
        o.env = {"TALVIK_PORT=sim:dut=bandpass,knob=" + dir.file("knob")};
        o.dir = dir.path;
        ASSERT_EQ(run_talvik(o).status, 0);
        // The band-pass's mask: its pass band within 1.5 dB, skirts below.
        write_file(dir.file("bp.mask"), "# the simulated band-pass\nunit dB\n"
                                        "3.7M 4.3M lower -1.5\n3.6M 4.4M upper 0.5\n"
                                        "2M 3M upper -10 -6\n5.4M 7M upper -10\n");
    }
    run_result plot(std::vector<std::string> args) {
        run_options o;
        o.program = TALVIK_PLOT_BIN;
        o.args = std::move(args);
        o.dir = dir.path;
        return run_talvik(o);
    }
};

TEST_F(limits_run, the_band_pass_passes_and_a_noisy_or_detuned_one_fails) {
    auto r = plot({"--ref", "through.txt", "--mask", "bp.mask", "bp.txt"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("bp.txt: mask PASS, worst margin "), std::string::npos) << r.out;
    r = plot({"--ref", "through.txt", "--mask", "bp.mask", "bp.txt", "noisy.txt", "detuned.txt"});
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_NE(r.out.find("noisy.txt: mask FAIL\n"), std::string::npos) << r.out;
    // Detuned 300 kHz up: the worst point of the pass band's lower limit is
    // its first, where the model (4 MHz, 1 MHz wide, 4th order, met 300 kHz
    // lower) is 10 log10(1 + x^4) down, x = 4 (f'/4M - 4M/f'), f' = f - 300k;
    // the through's sin(x)/x is the same word's and cancels.
    EXPECT_NE(r.out.find("detuned.txt: mask FAIL\n"), std::string::npos) << r.out;
    size_t line = r.out.find("detuned.txt: line 3 (lower 3.7 MHz to 4.3 MHz, -1.5 dB): ");
    ASSERT_NE(line, std::string::npos) << r.out;
    double hz = number_after(r.out.substr(line), " worst ");
    double f = hz - 300e3, x = 4 * (f / 4e6 - 4e6 / f);
    EXPECT_NEAR(hz, 3.7e6, 0.05 * 3.7e6 / 2) << "the first point in the segment";
    EXPECT_NEAR(number_after(r.out.substr(line), " Hz at -"), 10 * std::log10(1 + std::pow(x, 4)), 0.02);
    // A picture with the mask: whole, drawn.
    r = plot({"--ref", "through.txt", "--mask", "bp.mask", "-o", "fail.png", "detuned.txt"});
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_EQ(read_file(dir.file("fail.png")).substr(1, 3), "PNG");
    // Every point overflowed inside a segment: never PASS.
    run_options o;
    o.args = {"over.txt", "2000000", "7000000", "200"};
    o.env = {"TALVIK_PORT=sim:reply=0x4000"};
    o.dir = dir.path;
    ASSERT_EQ(run_talvik(o).status, 0);
    write_file(dir.file("dbm.mask"), "unit dBm\n3M 4M upper 10\n");
    r = plot({"--mask", "dbm.mask", "over.txt"});
    EXPECT_EQ(r.status, 4) << r.out << r.err;
    EXPECT_NE(r.out.find("over.txt: mask cannot tell\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("points overflowed within it: their levels are not known"), std::string::npos);
}

TEST_F(limits_run, masks_that_cannot_be_used_are_refused_before_anything) {
    auto r = plot({"--mask", "bp.mask", "bp.txt"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("a 'unit dB' mask measures against a reference: give --ref"),
              std::string::npos)
        << r.err;
    write_file(dir.file("dbm.mask"), "unit dBm\n3M 4M upper 10\n");
    r = plot({"--ref", "through.txt", "--mask", "dbm.mask", "bp.txt"});
    EXPECT_EQ(r.status, 2);
    write_file(dir.file("bad.mask"), "3M 4M upper 10\n5M 4M lower 0\n");
    r = plot({"--ref", "through.txt", "--mask", "bad.mask", "bp.txt"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("talvik-plot: bad.mask, line 2: the start must be below the stop\n", 0), 0u)
        << r.err;
    // A million lines: refused by its size, unread.
    write_file(dir.file("huge.mask"), std::string(2 << 20, '#'));
    r = plot({"--ref", "through.txt", "--mask", "huge.mask", "bp.txt"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("huge.mask: more than 1 MiB: not a mask"), std::string::npos) << r.err;
    // Levels of the other kind: a dBm mask on a normalised CSV.
    write_file(dir.file("bpn.csv"), plot({"--ref", "through.txt", "--csv", "bp.txt"}).out);
    r = plot({"--mask", "dbm.mask", "bpn.csv"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("a 'unit dBm' mask checks absolute levels, and bpn.csv holds dB"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(plot({"--mask", "bp.mask", "bpn.csv"}).status, 0) << "a dB mask takes it";
    EXPECT_EQ(plot({"--mask", "", "bp.txt"}).status, 2);
    // A sweep of no points: never PASS, and the JSON still whole.
    write_file(dir.file("empty.txt"), read_file(dir.file("bp.txt")).substr(0, read_file(dir.file("bp.txt")).find('\n') + 1));
    r = plot({"--ref", "through.txt", "--mask", "bp.mask", "bp.txt", "empty.txt"});
    EXPECT_EQ(r.status, 4) << r.out;
    EXPECT_NE(r.out.find("empty.txt: mask cannot tell: no points\n"), std::string::npos) << r.out;
    r = plot({"--ref", "through.txt", "--mask", "bp.mask", "--json", "bp.txt", "empty.txt"});
    json_reader reader{r.out};
    json doc = reader.value();
    ASSERT_TRUE(reader.ok) << r.out;
    EXPECT_EQ(doc["files"].items.size(), 2u);
    EXPECT_EQ(doc["files"][1]["why"].s, "no points");
    EXPECT_EQ(doc["mask"]["verdict"].s, "cannot tell");
    r = plot({"--mask", "missing.mask", "--ref", "through.txt", "bp.txt"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("missing.mask: No such file or directory"), std::string::npos) << r.err;
}

// Touchstone 1.1, as its public description gives it: '!' begins a comment
// anywhere; the option line "# <unit> <parameter> <format> R <n>" is the
// first line that is not one (case does not matter; GHz, S, MA, 50 by
// default); a two-port's data line is the frequency then S11, S21, S12, S22,
// each as two numbers (here magnitude and angle in degrees), frequencies
// rising.
struct s2p_row {
    double hz, v[8];
};
bool read_s2p(const std::string &text, std::vector<s2p_row> *rows, std::string *comments,
              double *unit_hz) {
    std::istringstream in(text);
    bool options = false;
    for (std::string line; std::getline(in, line);) {
        size_t bang = line.find('!');
        if (bang != std::string::npos) {
            *comments += line.substr(bang + 1) + "\n";
            line = line.substr(0, bang);
        }
        std::istringstream words(line);
        std::string first;
        if (!(words >> first))
            continue;
        if (first == "#") {
            if (options)
                continue; // only the first counts
            options = true;
            std::string w, unit = "ghz", param = "s", format = "ma";
            double r = 50;
            while (words >> w) {
                for (auto &c : w)
                    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                if (w == "hz" || w == "khz" || w == "mhz" || w == "ghz")
                    unit = w;
                else if (w == "s" || w == "y" || w == "z" || w == "h" || w == "g")
                    param = w;
                else if (w == "ma" || w == "db" || w == "ri")
                    format = w;
                else if (w == "r")
                    words >> r;
                else
                    return false;
            }
            *unit_hz = unit == "hz" ? 1 : unit == "khz" ? 1e3 : unit == "mhz" ? 1e6 : 1e9;
            if (param != "s" || format != "ma" || r != 50)
                return false;
            continue;
        }
        if (!options)
            return false; // data before the option line
        s2p_row row;
        row.hz = std::stod(first) * *unit_hz;
        for (double &v : row.v)
            if (!(words >> v))
                return false;
        if (!rows->empty() && !(row.hz > rows->back().hz))
            return false;
        rows->push_back(row);
    }
    return options;
}

// The results file's records, read plainly: frequency, level, overflow.
std::vector<level_point> records(const std::string &text) {
    std::vector<level_point> out;
    std::istringstream in(text);
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        double hz = 0, level = 0;
        if (std::sscanf(line.c_str(), "%lf %lf", &hz, &level) == 2)
            out.push_back({hz, level, line.find("Overflow") != std::string::npos});
    }
    return out;
}

TEST_F(limits_run, the_touchstone_file_reads_back) {
    auto r = plot({"--ref", "through.txt", "--s2p", "bp.s2p", "bp.txt"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<s2p_row> rows;
    std::string comments;
    double unit = 0;
    ASSERT_TRUE(read_s2p(read_file(dir.file("bp.s2p")), &rows, &comments, &unit));
    EXPECT_NE(comments.find("only |S21| was measured"), std::string::npos) << comments;
    // Against the files: |S21| = 10^(dB/20) of the sweep less the through,
    // at the same frequencies (the same words: no interpolation).
    auto swept = records(read_file(dir.file("bp.txt"))), through = records(read_file(dir.file("through.txt")));
    ASSERT_EQ(rows.size(), swept.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_NEAR(rows[i].hz, swept[i].hz, 0.05);
        double s21 = std::pow(10.0, (swept[i].level - through[i].level) / 20);
        EXPECT_NEAR(rows[i].v[2], s21, 1e-6 * s21) << rows[i].hz;
        EXPECT_EQ(rows[i].v[4], rows[i].v[2]) << "S12 = S21";
        EXPECT_EQ(rows[i].v[0] + rows[i].v[6], 0) << "S11, S22";
        EXPECT_EQ(rows[i].v[1] + rows[i].v[3] + rows[i].v[5] + rows[i].v[7], 0) << "angles";
    }
    // Overflowed points are left out, and listed.
    std::string text = read_file(dir.file("bp.txt"));
    size_t third = text.find('\n', text.find('\n', text.find('\n') + 1) + 1) + 1;
    std::string record = text.substr(third, text.find('\n', third) - third);
    text.replace(third, record.size(), record.substr(0, record.find('\t', record.find('\t') + 1) + 1) + "Overflow");
    write_file(dir.file("over.txt"), text);
    r = plot({"--ref", "through.txt", "--s2p", "over.s2p", "over.txt"});
    ASSERT_EQ(r.status, 0) << r.err;
    rows.clear();
    comments.clear();
    ASSERT_TRUE(read_s2p(read_file(dir.file("over.s2p")), &rows, &comments, &unit));
    EXPECT_EQ(rows.size(), swept.size() - 1);
    char hz[32];
    std::snprintf(hz, sizeof hz, "%.1f", swept[2].hz);
    EXPECT_NE(comments.find(std::string("1 overflowed points left out")), std::string::npos) << comments;
    EXPECT_NE(comments.find(hz), std::string::npos) << comments;
    // Without a reference there is no S21 to give; never over an input, nor
    // under a name that is not a Touchstone file's; nothing where no level is.
    EXPECT_EQ(plot({"--s2p", "x.s2p", "bp.txt"}).status, 2);
    std::string before = read_file(dir.file("bp.txt"));
    EXPECT_EQ(plot({"--ref", "through.txt", "--s2p", "bp.txt", "bp.txt"}).status, 2);
    EXPECT_EQ(read_file(dir.file("bp.txt")), before);
    write_file(dir.file("copy.s2p"), before);
    EXPECT_EQ(plot({"--ref", "through.txt", "--s2p", "copy.s2p", "copy.s2p"}).status, 2);
    EXPECT_EQ(read_file(dir.file("copy.s2p")), before);
    run_options o;
    o.args = {"allover.txt", "2000000", "7000000", "200"};
    o.env = {"TALVIK_PORT=sim:reply=0x4000"};
    o.dir = dir.path;
    ASSERT_EQ(run_talvik(o).status, 0);
    r = plot({"--ref", "through.txt", "--s2p", "none.s2p", "allover.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("every point overflowed"), std::string::npos) << r.err;
    EXPECT_FALSE(file_exists(dir.file("none.s2p")));
    EXPECT_EQ(plot({"--ref", "through.txt", "--s2p", "BP.S2P", "bp.txt"}).status, 0) << "either case";
    // The JSON of a sweep with no level: nothing measured, and why.
    r = plot({"--json", "allover.txt"});
    json_reader reader{r.out};
    json doc = reader.value();
    ASSERT_TRUE(reader.ok) << r.out;
    EXPECT_EQ(doc["files"][0]["measured_from"].kind, json::null);
    EXPECT_EQ(doc["files"][0]["why"].s, "every point overflowed");
    EXPECT_EQ(doc["files"][0]["peak"].kind, json::null);
    // A low-pass (cutoff 5 MHz): its falling edge is an upper one alone.
    o.args = {"lp.txt", "2000000", "7000000", "200"};
    o.env = {"TALVIK_PORT=sim:dut=lowpass"};
    ASSERT_EQ(run_talvik(o).status, 0);
    r = plot({"--ref", "through.txt", "--json", "lp.txt"});
    json_reader lp{r.out};
    doc = lp.value();
    ASSERT_TRUE(lp.ok) << r.out;
    const json &d3 = doc["files"][0]["drops"][0];
    EXPECT_EQ(d3["lower"].kind, json::null);
    EXPECT_NEAR(d3["upper"]["hz"].n, 5e6, 0.01e6) << r.out;
}

TEST_F(limits_run, the_json_parses_and_agrees_with_the_text) {
    auto text = plot({"--ref", "through.txt", "--mask", "bp.mask", "bp.txt", "detuned.txt"});
    auto r = plot({"--ref", "through.txt", "--mask", "bp.mask", "--json", "bp.txt", "detuned.txt"});
    EXPECT_EQ(r.status, 3);
    json_reader reader{r.out};
    json doc = reader.value();
    ASSERT_TRUE(reader.ok) << r.out;
    ASSERT_EQ(doc["files"].items.size(), 2u);
    EXPECT_EQ(doc["mask"]["verdict"].s, "FAIL");
    for (const json &f : doc["files"].items) {
        std::string name = f["name"].s;
        std::string mine = text.out.substr(text.out.find(name + ": kind"));
        EXPECT_EQ(f["kind"].s, "bandpass");
        EXPECT_NEAR(f["peak"]["hz"].n, number_after(mine, name + ": peak "), 0.05);
        const json &d3 = f["drops"][0];
        EXPECT_EQ(d3["db"].n, 3);
        EXPECT_NEAR(d3["bandwidth_hz"].n, number_after(mine, ", bandwidth "), 0.05);
        EXPECT_NEAR(d3["centre_hz"].n, number_after(mine, ", centre "), 0.05);
        EXPECT_NEAR(d3["q"].n, number_after(mine, ", Q "), 0.005);
        EXPECT_NEAR(d3["lower"]["hz"].n, number_after(mine, "dB: "), 0.05);
        // The -60 dB edges are beyond the sweep: null, and the line's reason.
        const json &d60 = f["drops"][2];
        EXPECT_EQ(d60["lower"]["hz"].kind, json::null);
        EXPECT_NE(mine.find(d60["lower"]["why"].s), std::string::npos) << d60["lower"]["why"].s;
        // The mask's verdict as the text says it, and the lines themselves.
        std::string verdict = f["mask"]["verdict"].s;
        EXPECT_NE(mine.find(name + ": mask " + verdict), std::string::npos) << verdict;
        for (const json &line : f["lines"].items)
            EXPECT_NE(text.out.find(line.s + "\n"), std::string::npos) << line.s;
    }
    EXPECT_EQ(doc["files"][0]["mask"]["verdict"].s, "PASS");
    EXPECT_EQ(doc["files"][1]["mask"]["verdict"].s, "FAIL");
    // --json and another output on standard output: refused.
    EXPECT_EQ(plot({"--json", "--csv", "bp.txt"}).status, 2);
}

// talvik-tune checks the mask after every sweep: a line a sweep without a
// terminal, the verdict last on it.
TEST_F(limits_run, talvik_tune_says_pass_or_fail_after_every_sweep) {
    auto tune = [&](const std::string &port, std::vector<std::string> extra) {
        run_options o;
        o.program = TALVIK_TUNE_BIN;
        o.args = {"--start", "2M", "--stop", "7M", "--sweeps", "2", "--mask", "bp.mask"};
        o.args.insert(o.args.end(), extra.begin(), extra.end());
        o.env = {"TALVIK_PORT=" + port};
        o.dir = dir.path;
        return run_talvik(o);
    };
    auto r = tune("sim:dut=bandpass", {"--ref", "through.txt"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("; mask PASS, worst margin 0.500 dB at "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("sweep 2: "), std::string::npos);
    r = tune("sim:dut=bandpass,knob=" + dir.file("knob"), {"--ref", "through.txt"});
    EXPECT_EQ(r.status, 3) << "the last sweep failed";
    EXPECT_NE(r.out.find("; mask FAIL: worst "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" under at 3.7"), std::string::npos) << r.out;
    // A dB mask and no reference, and no key to take one: refused.
    r = tune("sim:dut=bandpass", {});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("a 'unit dB' mask measures against a reference: give --ref"),
              std::string::npos)
        << r.err;
    write_file(dir.file("bad.mask"), "4M 3M upper 0\n");
    r = tune("sim", {"--mask", "bad.mask"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("bad.mask, line 1: the start must be below the stop"), std::string::npos) << r.err;
}

} // namespace
