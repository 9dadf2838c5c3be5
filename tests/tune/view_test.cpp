// talvik-tune's keys and view apart from a terminal: the band the zoom,
// centre and move keys give, bounded; the cursor's peaks; the cells the view
// draws (round ticks, the scale, clipped levels, the cursor's readout).
#include "measure/words.hpp"
#include "markers/mask.hpp"
#include "tune/console_cells.hpp"
#include "tune/screen.hpp"
#include "tune/control.hpp"
#include "tune/view.hpp"

#include <cmath>
#include <gtest/gtest.h>

namespace {

tune_settings band_of(double start, double stop, bool linear) {
    tune_settings s;
    s.start_hz = start;
    s.stop_hz = stop;
    s.linear = linear;
    return s;
}

// Where hz falls across the band's axis, 0 to 1.
double place(const tune_settings &s, double hz) {
    return s.linear ? (hz - s.start_hz) / (s.stop_hz - s.start_hz)
                    : std::log(hz / s.start_hz) / std::log(s.stop_hz / s.start_hz);
}

TEST(tune_keys, zoom_keeps_its_anchor_in_place_and_stays_within_bounds) {
    for (bool linear : {true, false}) {
        tune_settings home = band_of(2.5e6, 5.5e6, linear); // --centre 4M --span 3M
        band_limits l = limits_of(home);
        tune_settings now = home;
        // In twice about 4 MHz: it stays where it was on the axis.
        for (int k = 0; k < 2; ++k) {
            band b = zoom_about(now, 4e6, 0.5, l);
            tune_settings next = band_of(b.start_hz, b.stop_hz, linear);
            EXPECT_NEAR(place(next, 4e6), place(home, 4e6), 1e-9) << linear;
            now = next;
        }
        EXPECT_NEAR(now.stop_hz - now.start_hz,
                    linear ? 0.75e6 : 4e6 * (std::pow(5.5 / 4, 0.25) - std::pow(2.5 / 4, 0.25)), 1e-3);
        // Out as far as it goes: 30 MHz ten times the starting span, the
        // band is 62.5 kHz (the low band's edge) to 30 MHz.
        for (int k = 0; k < 12; ++k) {
            band b = zoom_about(now, 4e6, 2, l);
            now = band_of(b.start_hz, b.stop_hz, linear);
        }
        EXPECT_DOUBLE_EQ(now.start_hz, word_hz(low_band_word)) << "never into the low band";
        EXPECT_DOUBLE_EQ(now.stop_hz, 30e6);
    }
    // A narrow band goes out to ten times its span, about its anchor.
    tune_settings home = band_of(4e6, 4.1e6, true);
    band b = zoom_about(home, 4.05e6, 8, limits_of(home));
    b = zoom_about(band_of(b.start_hz, b.stop_hz, true), 4.05e6, 8, limits_of(home));
    EXPECT_NEAR(b.start_hz, 3.55e6, 1e-3);
    EXPECT_NEAR(b.stop_hz, 4.55e6, 1e-3);
    // A band that starts in the low band may go back to it.
    tune_settings low = band_of(10e3, 50e3, true);
    EXPECT_EQ(limits_of(low).lowest_hz, 1);
    EXPECT_EQ(limits_of(low).widest_hz, 400e3);
    b = zoom_about(low, 30e3, 2, limits_of(low));
    EXPECT_EQ(b.start_hz, 1);
    EXPECT_EQ(b.stop_hz, 70e3);
}

TEST(tune_keys, centre_and_move_keep_the_span_on_its_axis) {
    tune_settings s = band_of(3e6, 5e6, true);
    band_limits l = limits_of(s);
    band b = centred_on(s, 4.5e6, l);
    EXPECT_DOUBLE_EQ(b.start_hz, 3.5e6);
    EXPECT_DOUBLE_EQ(b.stop_hz, 5.5e6);
    b = shifted(s, -1, l);
    EXPECT_DOUBLE_EQ(b.start_hz, 2.8e6);
    // Log: the ratio kept about the new middle.
    s = band_of(1e6, 16e6, false);
    b = centred_on(s, 8e6, limits_of(s));
    // 2 to 32 MHz moved down whole to end at 30 MHz.
    EXPECT_NEAR(b.start_hz, 1.875e6, 1e-6);
    EXPECT_NEAR(b.stop_hz, 30e6, 1e-6);
    // Against the top: moved down whole, not squeezed.
    s = band_of(20e6, 29e6, true);
    b = centred_on(s, 28e6, limits_of(s));
    EXPECT_DOUBLE_EQ(b.stop_hz, 30e6);
    EXPECT_DOUBLE_EQ(b.start_hz, 21e6);
}

std::vector<level_point> trace(std::vector<double> levels) {
    std::vector<level_point> out;
    for (size_t i = 0; i < levels.size(); ++i)
        out.push_back({1e6 * static_cast<double>(i + 1), levels[i], false});
    return out;
}

TEST(tune_keys, peaks_stand_out_by_the_excursion_and_overflow_is_passed_over) {
    //                      0    1   2    3   4    5     6    7   8    9
    auto t = trace({-10, -5, -20, -8, -8.5, -7.8, -30, -2, -40, -41});
    EXPECT_EQ(extreme_point(t, false), 7);
    EXPECT_EQ(extreme_point(t, true), 9);
    // From the start: 1, then 5 (3 to 5 rise less than 1 dB apart: one
    // hump, its top), then 7; none after it.
    EXPECT_EQ(next_peak(t, 0, 1, false), 1);
    EXPECT_EQ(next_peak(t, 1, 1, false), 5);
    EXPECT_EQ(next_peak(t, 5, 1, false), 7);
    EXPECT_EQ(next_peak(t, 7, 1, false), -1);
    EXPECT_EQ(next_peak(t, 7, -1, false), 5);
    EXPECT_EQ(next_peak(t, 2, -1, false), 1);
    EXPECT_EQ(next_peak(t, t.size(), 1, false), -1) << "from past the end";
    // A rise that runs into the trace's end shows no peak.
    EXPECT_EQ(next_peak(trace({-10, -20, -5}), 0, 1, false), -1);
    // Dips for a notch: from 0 the next is 2, then 6.
    EXPECT_EQ(next_peak(t, 0, 1, true), 2);
    EXPECT_EQ(next_peak(t, 2, 1, true), 6);
    // An overflowed point is no level: the peak is the next best.
    t[7].overflow = true;
    EXPECT_EQ(extreme_point(t, false), 1);
    EXPECT_EQ(next_peak(t, 5, 1, false), -1);
    for (auto &p : t)
        p.overflow = true;
    EXPECT_EQ(extreme_point(t, false), -1);
    EXPECT_EQ(nearest_point(t, 2.4e6), 1u);
    EXPECT_EQ(nearest_point(t, 2.6e6), 2u);
    EXPECT_EQ(nearest_point(t, 99e6), 9u);
}

TEST(tune_view, ticks_are_round_and_their_labels_stand_apart) {
    auto labels = [](double lo, double hi, bool log, int columns) {
        std::string text;
        for (const tick &t : round_ticks(lo, hi, log, columns, 1e6))
            text += t.label + " ";
        return text;
    };
    EXPECT_EQ(labels(1e6, 10e6, true, 71), "1 2 5 10 ");
    EXPECT_EQ(labels(1e6, 3e6, true, 71), "1 2 3 ") << "a ratio of 3 still reads in decades";
    EXPECT_EQ(labels(2.5e6, 5.5e6, true, 71), "2.5 3 3.5 4 4.5 5 5.5 ");
    EXPECT_EQ(labels(3e6, 5e6, false, 71), "3 3.2 3.4 3.6 3.8 4 4.2 4.4 4.6 4.8 5 ");
    EXPECT_EQ(labels(2.93e6, 4.01e6, false, 71), "3 3.1 3.2 3.3 3.4 3.5 3.6 3.7 3.8 3.9 4 ");
    EXPECT_EQ(labels(8999999, 9000001, false, 71), "8.999999 8.9999995 9 9.0000005 9.000001 ");
    EXPECT_EQ(labels(100e3, 30e6, true, 71), "0.1 0.2 0.5 1 2 5 10 20 ");
    // Eight decades in hertz: the decades, even where their labels need room.
    std::string wide;
    for (const tick &t : round_ticks(1, 30e6, true, 71, 1))
        wide += t.label + " ";
    EXPECT_EQ(wide, "1 10 100 1k 10k 100k 1M 10M ");
}

struct drawn : ::testing::Test {
    tune_settings set = band_of(1e6, 10e6, false);
    view_state view;
    grid g;
    void SetUp() override {
        view.settings = &set;
        for (int i = 0; i < 201; ++i) {
            double hz = 1e6 * std::pow(10.0, i / 200.0);
            double x = (hz / 4e6 - 4e6 / hz) * 4;
            view.last.push_back({hz, -10 * std::log10(1 + x * x * x * x), false});
        }
    }
    // In the plot (rows 4 to 19 at 24 rows, right of the level labels).
    int count(char c) {
        int n = 0;
        for (int r = 4; r <= 19; ++r)
            for (int k = 8; k < g.cols; ++k)
                n += g.at(r, k).c == c;
        return n;
    }
};

TEST_F(drawn, the_scale_and_the_cursor_read_out_and_levels_off_the_scale_are_marked) {
    view_set_scale(&view, 0, 5);
    view.cursor_hz = 4e6;
    // Markers too long for a line go on to the next, broken after a comma.
    view.markers = std::string(60, 'a') + ", " + std::string(30, 'b');
    view_render(view, &g, 24, 80);
    EXPECT_EQ(g.row_text(0).find("calibrated"), std::string::npos) << "none in force";
    EXPECT_EQ(g.row_text(2).substr(0, 30), std::string(30, 'b'));
    EXPECT_EQ(cursor_readout(view).find("delta"), std::string::npos) << "no delta marker yet";
    EXPECT_EQ(g.row_text(3).substr(0, 33), "5 dB/div | cursor 3.98107 MHz -0.");
    EXPECT_EQ(g.row_text(4).substr(0, 9), "     0 |-") << "the top gridline: the reference level";
    // The model's skirts leave the bottom (-25 dBm) at both ends: marked v
    // on the bottom row of the plot, never drawn as a level along it.
    int bottom = 24 - 5;
    EXPECT_GT(count('v'), 10);
    for (int c = 8; c < 79; ++c)
        if (g.at(bottom, c).c == 'v') {
            EXPECT_EQ(g.at(bottom, c).t, tone::alarm);
        }
    EXPECT_EQ(count('^'), 0);
    EXPECT_EQ(count('X'), 1);
    // On the band's first point, whose word lies a little below the start.
    view.last[0].hz = 1e6 - 0.02;
    view.cursor_hz = 1e6;
    view_render(view, &g, 24, 80);
    EXPECT_EQ(count('X'), 1);
    view.cursor_hz = 4e6;
    // No "-0" on a gridline however the divisions add up.
    view_set_scale(&view, 0.3 * 3, 0.3);
    view_render(view, &g, 24, 80);
    for (int r = 4; r <= 19; ++r)
        EXPECT_EQ(g.row_text(r).find("-0 |"), std::string::npos) << g.row_text(r);
    view_set_scale(&view, 0, 5);
    // A reference: the loss; a delta marker: the difference to it.
    view.against_reference = true;
    view.delta = true;
    view.delta_hz = 1e6;
    std::string readout = cursor_readout(view);
    EXPECT_NE(readout.find("MHz loss 0.00 dB, delta +2.98107 MHz +"), std::string::npos) << readout;
    view.last[nearest_point(view.last, 4e6)].overflow = true;
    readout = cursor_readout(view);
    EXPECT_NE(readout.find("overflow: no level, delta +2.98107 MHz, no level"), std::string::npos) << readout;
    // Close together on a wide log band: the difference in its own unit.
    view.delta_hz = view.last[nearest_point(view.last, 4e6) - 1].hz;
    readout = cursor_readout(view);
    EXPECT_NE(readout.find("delta +45.571 kHz"), std::string::npos) << readout; // 1 MHz x (10^0.6 - 10^0.595)
    EXPECT_NE(readout.find(" kHz, no level"), std::string::npos) << readout;
    // A marker left outside the band by a zoom: the frequency difference
    // still, no level (never the band's first point's).
    view.delta_hz = 0.5e6;
    readout = cursor_readout(view);
    EXPECT_NE(readout.find("delta +3.48107 MHz, the marker outside the band: no level"),
              std::string::npos)
        << readout;
    view_render(view, &g, 24, 80);
    EXPECT_EQ(count('M'), 0);
    view.delta_hz = 1e6;
    view.calibrated = true;
    view_render(view, &g, 24, 80);
    EXPECT_NE(g.row_text(0).find("| dB vs ref | calibrated"), std::string::npos) << g.row_text(0);
    EXPECT_EQ(count('M'), 1);
    // A mask's limit drawn along its band, at its level's row: -10 dB over
    // 2 to 5 MHz on a log axis, 5 dB a division from 0 (rows 4 to 19).
    limit_mask m;
    std::string why;
    ASSERT_TRUE(parse_mask("2M 5M upper -10\n", "m", &m, &why)) << why;
    view.mask = &m;
    view.message = "";
    view.mask_verdict = tune_mask_verdict(m, view.last, true);
    view_set_scale(&view, 0, 5);
    view.auto_scale = false;
    view_render(view, &g, 24, 80);
    int row = 4 + static_cast<int>(std::lround(10.0 / 25 * 15));
    int from = 8 + static_cast<int>(std::lround(std::log10(2.0) * 70)),
        to = 8 + static_cast<int>(std::lround(std::log10(5.0) * 70));
    int drawn = 0;
    for (int c = from; c <= to; ++c)
        drawn += g.at(row, c).c == '=';
    EXPECT_GT(drawn, (to - from) / 2) << g.row_text(row); // the trace crosses it in places
    EXPECT_EQ(g.at(row, from - 2).c == '=', false);
    EXPECT_EQ(g.row_text(22).rfind("mask FAIL: worst ", 0), 0u) << g.row_text(22);
    // Of two failing segments, the one failed by most is named.
    // (-31 dB at 2 MHz: 9 dB over -40; the peak 20 dB over -20.)
    ASSERT_TRUE(parse_mask("1M 2M upper -40\n3M 5M upper -20\n", "m", &m, &why)) << why;
    std::string verdict = tune_mask_verdict(m, view.last, true);
    EXPECT_EQ(verdict.rfind("mask FAIL: worst 20.000 dB over at ", 0), 0u) << verdict;
    EXPECT_NE(verdict.find("(line 2)"), std::string::npos) << verdict;
    EXPECT_EQ(tune_mask_verdict(m, view.last, false).rfind("mask (dB): not checked", 0), 0u);
    // No point over, one overflowed: it cannot tell, and says where.
    ASSERT_TRUE(parse_mask("3M 5M upper 5\n", "m", &m, &why)) << why;
    view.last[nearest_point(view.last, 4e6)].overflow = true;
    EXPECT_EQ(tune_mask_verdict(m, view.last, true), "mask cannot tell: line 1 holds overflowed points");
}

// The Windows console's key events and colours as the screen takes them.
TEST(tune_view, console_keys_and_colours) {
    EXPECT_EQ(console_key(0x25, 0, false), key_left);
    EXPECT_EQ(console_key(0x27, 0, false), key_right);
    EXPECT_EQ(console_key(0x25, 0, true), key_far_left);
    EXPECT_EQ(console_key(0x27, 0, true), key_far_right);
    EXPECT_EQ(console_key(0x22, 0, false), key_far_left);  // Page Down
    EXPECT_EQ(console_key(0x21, 0, false), key_far_right); // Page Up
    EXPECT_EQ(console_key(0x50, 'p', false), 'p');
    EXPECT_EQ(console_key(0x4D, 'M', true), 'M');
    EXPECT_EQ(console_key(0x0D, '\r', false), '\n');
    EXPECT_EQ(console_key(0x10, 0, true), -1) << "Shift alone";
    EXPECT_EQ(console_key(0x1B, 0x1B, false), -1);
    EXPECT_EQ(console_key(0x2E, 0x7F, false), -1) << "DEL is no key here";
    EXPECT_EQ(console_key(0x20, ' ', false), ' ');
    EXPECT_EQ(console_key(0xC0, '~', false), '~');
    // Nothing but printable ASCII reaches a terminal from the grid.
    grid g;
    g.reset(1, 4);
    g.set(0, 0, '\x7f');
    g.set(0, 1, '~');
    g.set(0, 2, '\x1b');
    g.set(0, 3, 'x');
    g.set(0, 3, ' ');
    g.set(0, 9, 'x'); // outside: nothing
    EXPECT_EQ(g.row_text(0), "?~? ");
    // Over a blue background (0x10) with grey text: the background kept.
    EXPECT_EQ(console_attribute(tone::plain, 0x17), 0x17);
    EXPECT_EQ(console_attribute(tone::bold, 0x17), 0x1F);
    EXPECT_EQ(console_attribute(tone::live, 0x17), 0x1E);  // bright yellow
    EXPECT_EQ(console_attribute(tone::last, 0x17), 0x13);  // cyan
    EXPECT_EQ(console_attribute(tone::alarm, 0x07), 0x0C); // bright red
    EXPECT_EQ(console_attribute(tone::cursor, 0x07), 0x400E);
    EXPECT_EQ(console_attribute(tone::plain, 0x4017), 0x17) << "no reverse video left over";
}

} // namespace
