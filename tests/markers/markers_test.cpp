// The marker library on small hand-made traces with known answers.
#include "markers/markers.hpp"

#include <algorithm>
#include <gtest/gtest.h>

namespace {

std::vector<level_point> trace(std::vector<std::pair<double, double>> points) {
    std::vector<level_point> out;
    for (auto [hz, level] : points)
        out.push_back({hz, level, false});
    return out;
}

TEST(markers, the_shape_decides_the_kind) {
    EXPECT_EQ(kind_of(trace({{1, -20}, {2, 0}, {3, -20}})), filter_kind::bandpass);
    EXPECT_EQ(kind_of(trace({{1, 0}, {2, -40}, {3, -1}})), filter_kind::notch);
    EXPECT_EQ(kind_of(trace({{1, 0}, {2, -1}, {3, -30}})), filter_kind::lowpass);
    EXPECT_EQ(kind_of(trace({{1, -30}, {2, -1}, {3, 0}})), filter_kind::highpass);
    std::string why;
    EXPECT_EQ(kind_of(trace({{1, -5}}), &why), filter_kind::none); // one point: nothing to see
    EXPECT_EQ(why, "too few points to tell a filter's shape (use --ref or --level)");
}

TEST(markers, band_pass_points_bandwidths_q_and_shape_factor) {
    // Symmetric in frequency: -3 dB at 3 and 5, -6 dB at 2.5 and 5.5, -60 dB
    // at 1.5 and 6.5 (all halfway between points).
    auto p = trace({{1, -70}, {2, -50}, {3, -3}, {4, 0}, {5, -3}, {6, -50}, {7, -70}});
    p[2].level = -3.0;
    auto m = find_markers(p, filter_kind::bandpass);
    EXPECT_EQ(m.peak_hz, 4);
    ASSERT_TRUE(m.lower[0].found && m.upper[0].found);
    EXPECT_DOUBLE_EQ(m.lower[0].hz, 3);
    EXPECT_DOUBLE_EQ(m.upper[0].hz, 5);
    EXPECT_DOUBLE_EQ(m.lower[2].hz, 1.5);
    auto lines = marker_lines("bp", m, "dB");
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[0], "bp: kind bandpass");
    EXPECT_EQ(lines[1], "bp: peak 4.0 Hz, 0.000 dB");
    EXPECT_EQ(lines[2], "bp: -3 dB from the peak, 0.000 dB: 3.0 Hz, 5.0 Hz, bandwidth 2.0 Hz, "
                        "centre 3.9 Hz, Q 1.94");
    // Points 20 dB apart either side of an edge: it lies anywhere between them.
    EXPECT_EQ(lines[4], "bp: -60 dB from the peak, 0.000 dB: 1.5 Hz, 6.5 Hz, bandwidth 5.0 Hz "
                        "(within 2 Hz); lower edge uncertain by up to 1 Hz: points 1 Hz apart "
                        "differ by 20.0 dB: sweep finer near 1.5 Hz; upper edge uncertain by up to "
                        "1 Hz: points 1 Hz apart differ by 20.0 dB: sweep finer near 6.5 Hz");
    EXPECT_EQ(lines[5], "bp: ripple not known: 1 point across the pass band is too few to show "
                        "it (sweep finer)");
    EXPECT_EQ(lines[6].rfind("bp: shape factor 60/6 2.3", 0), 0u) << lines[6];
}

TEST(markers, edges_beyond_the_sweep_say_how_far_down_its_end_is) {
    marker_settings s;
    s.kind_given = true;
    s.level = 0;
    auto m = find_markers(trace({{1e6, 0}, {2e6, -1}, {3e6, -10}}), s);
    auto lines = marker_lines("lp", m, "dBm");
    EXPECT_EQ(lines[2], "lp: -3 dB from --level 0 dBm: lower outside the sweep: at its start, "
                        "1000000.0 Hz, the level is only 0.000 dB down, 2222222.2 Hz; upper edge "
                        "uncertain by up to 1 MHz: points 1 MHz apart differ by 9.0 dB: sweep "
                        "finer near 2.222 MHz");
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[5], "lp: shape factor 60/6: the sweep falls only 0.0 dB, 6.0 dB short of "
                        "-6 dB");
    // Without a level, a band-pass named but not shown is not measured.
    m = find_markers(trace({{1e6, 0}, {2e6, -1}, {3e6, -10}}), filter_kind::bandpass);
    EXPECT_EQ(m.basis, level_basis::none);
    EXPECT_EQ(marker_lines("lp", m, "dBm").back(),
              "lp: a peak that does not both rise and fall 3 dB (0.0 dB and 10.0 dB): no pass "
              "band here (use --ref or --level)");
    // A single point: everything outside, nothing invented.
    m = find_markers(trace({{5e6, -7}}), s);
    EXPECT_FALSE(m.lower[0].found || m.upper[0].found);
    EXPECT_EQ(m.upper[0].end_down, 7);
}

TEST(markers, notch_bottom_depth_and_edges) {
    // A parabola's vertex between sampled points: bottom at 6.25, level -40.
    auto p = trace({{3, 0}, {4, -1}, {4.5, -4}, {5, -33.75}, {5.5, -37.75}, {6, -39.75},
                    {6.5, -39.75}, {7, -37.75}, {7.5, -33.75}, {8, -4}, {8.5, -1}, {9.5, 0}});
    auto m = find_markers(p, filter_kind::notch);
    EXPECT_NEAR(m.notch_hz, 6.25, 0.01);
    EXPECT_NEAR(m.notch_level, -40, 1e-9); // deeper than either sample
    EXPECT_NEAR(m.depth, 40, 1e-9);
    ASSERT_TRUE(m.lower[0].found && m.upper[0].found);
    EXPECT_DOUBLE_EQ(m.lower[0].hz, 4 + 0.5 * (2.0 / 3.0)); // -3 between -1 and -4
    EXPECT_DOUBLE_EQ(m.upper[0].hz, 8 + 0.5 * (1.0 / 3.0));
    auto lines = marker_lines("n", m, "dBm");
    // The bottom's doubt: half the larger step to a neighbour, and a
    // thousandth of a dB of the results format.
    EXPECT_EQ(lines[1], "n: notch 6.2 Hz, -40.000 dBm, depth 40.000 dB from the shoulders, 0.000 "
                        "dBm (within 1.00 dB: the bottom falls between points)");
    EXPECT_EQ(lines[2], "n: -3 dB from the shoulders, 0.000 dBm: 4.3 Hz, 8.2 Hz, bandwidth 3.8 Hz");
    // The same notch with its bottom fallen between two points 30 dB below
    // their neighbours: a bound and advice, never a fit.
    p = trace({{3, 0}, {4, -1}, {4.5, -4}, {5, -5}, {6, -36}, {6.5, -36}, {7.5, -5}, {8, -4},
               {8.5, -1}, {9.5, 0}});
    m = find_markers(p, filter_kind::notch);
    EXPECT_TRUE(m.undersampled);
    EXPECT_FALSE(m.fitted);
    EXPECT_EQ(marker_lines("n", m, "dBm")[1],
              "n: notch 6.0 Hz, -36.000 dBm, depth at least 36.000 dB from the shoulders, 0.000 "
              "dBm (both neighbours lie 31.0 and 31.0 dB above it: sweep finer near 6 Hz)");
}

TEST(markers, low_and_high_pass_cutoffs) {
    auto m = find_markers(trace({{1, 0}, {2, -2}, {3, -4}, {4, -70}}), filter_kind::lowpass);
    ASSERT_TRUE(m.upper[0].found);
    EXPECT_DOUBLE_EQ(m.upper[0].hz, 2.5);
    EXPECT_FALSE(m.lower[0].found);
    auto lines = marker_lines("lp", m, "dBm");
    EXPECT_EQ(lines[2], "lp: -3 dB from the pass band, 0.000 dBm: cutoff 2.5 Hz");
    EXPECT_EQ(lines[4].rfind("lp: -60 dB from the pass band, 0.000 dBm: cutoff 3.8", 0), 0u)
        << lines[4];
    m = find_markers(trace({{1, -10}, {2, -1}, {3, 0}}), filter_kind::highpass);
    ASSERT_TRUE(m.lower[0].found);
    EXPECT_NEAR(m.lower[0].hz, 1 + 7.0 / 9.0, 1e-12);
    EXPECT_EQ(marker_lines("hp", m, "dBm")[4],
              "hp: -60 dB from the pass band, 0.000 dBm: lower outside the sweep: at its start, "
              "1.0 Hz, the level is only 10.000 dB down");
}

TEST(markers, a_notch_is_never_reported_below_what_was_measured_without_a_sound_fit) {
    // Uneven neighbours: a parabola would dive to -45 dB; the lowest point stands.
    auto p = trace({{5e6, 0}, {5.9e6, -38}, {6e6, -40.05}, {6.5e6, -36}, {7e6, 0}});
    auto m = find_markers(p, filter_kind::notch);
    EXPECT_FALSE(m.fitted);
    EXPECT_EQ(m.notch_level, -40.05);
    EXPECT_EQ(m.notch_hz, 6e6);
    EXPECT_NE(marker_lines("n", m, "dBm")[1].find("(the lowest point measured"), std::string::npos);
    // Evenly spaced, but a vertex 9.7 dB below the lowest point.
    m = find_markers(trace({{1e6, 0}, {2e6, -30}, {4e6, -29}}), filter_kind::notch);
    EXPECT_EQ(m.notch_level, -30);
    // Overflowed points are no levels: neither the bottom nor the band.
    p = trace({{1, 0}, {2, -10}, {3, -80}, {4, -10}, {5, -0.5}, {6, 0}});
    p[2].overflow = true;
    p[5].level = 5;
    p[5].overflow = true;
    m = find_markers(p, filter_kind::notch);
    EXPECT_GT(m.notch_level, -20);
    EXPECT_EQ(m.reference, -0.25); // the shoulders 0 and -0.5, not the overflowed +5
    EXPECT_EQ(marker_lines("n", m, "dB").back(),
              "n: 2 overflowed points left out (3.0 to 6.0 Hz): their levels are unknown");
    // A band-pass whose top overflowed: the peak found is said to be suspect.
    p = trace({{1, -20}, {2, -5}, {3, 10}, {4, -6}, {5, -20}});
    p[2].overflow = true;
    m = find_markers(p, filter_kind::bandpass);
    EXPECT_NE(marker_lines("bp", m, "dBm")[1].find("beside an overflowed point"), std::string::npos);
    p = trace({{1, 0}});
    p[0].overflow = true;
    EXPECT_EQ(marker_lines("o", find_markers(p, kind_of(p)), "dBm")[1],
              "o: no markers: every point overflowed");
}

TEST(markers, a_notch_between_uneven_shoulders_is_measured_from_their_mean) {
    auto m = find_markers(trace({{1, 0}, {2, -1}, {3, -30}, {4, -5}, {5, -0.8}}), filter_kind::notch);
    EXPECT_DOUBLE_EQ(m.reference, -0.4); // the highest on each side: 0 and -0.8
    EXPECT_DOUBLE_EQ(m.depth, m.reference - m.notch_level);
}

TEST(markers, a_stated_level_above_the_trace_is_never_extrapolated_from) {
    marker_settings s;
    s.level = 0;
    auto m = find_markers(trace({{1e6, -30}, {2e6, -20}, {3e6, -30}}), s);
    ASSERT_EQ(m.kind, filter_kind::bandpass);
    for (size_t k = 0; k < m.drops.size(); ++k)
        EXPECT_FALSE(m.lower[k].found || m.upper[k].found) << m.drops[k];
    auto lines = marker_lines("bp", m, "dBm");
    EXPECT_EQ(lines[2], "bp: -3 dB from --level 0 dBm: lower: never reached: at 2000000.0 Hz, where the walk starts, "
                        "the level is already 20.000 dB down, upper: never reached: at 2000000.0 "
                        "Hz, where the walk starts, the level is already 20.000 dB down");
    EXPECT_NE(lines[1].find("loss at most 20.000 dB from --level 0 dBm"), std::string::npos)
        << lines[1]; // the peak falls between points 10 dB below it
}

TEST(markers, the_sweeps_own_quantum_noise_and_smoothing) {
    // Readings on a 6-millidecibel grid show that step; under 20 readings
    // only the results format's thousandth.
    std::vector<level_point> p;
    for (int i = 0; i < 40; ++i)
        p.push_back({1e6 + i * 1e3, -0.006 * (i / 2) - 10, false});
    EXPECT_NEAR(sweep_quantum(p), 0.006, 1e-9);
    EXPECT_EQ(sweep_quantum(std::vector<level_point>(p.begin(), p.begin() + 19)), 0.001);
    // A coarse sweep of a steep skirt is shape, not noise; a scatter of
    // -3 to +3 dB (1.73 dB standard deviation) is noise.
    std::vector<level_point> skirt, noisy;
    uint32_t state = 1;
    for (int i = 0; i < 400; ++i) {
        double hz = 1e6 * std::pow(1.05, i / 10.0);
        skirt.push_back({hz, -80 * std::log10(1 + std::pow(hz / 2e6, 4)), false});
        state = state * 1103515245u + 12345u;
        noisy.push_back({hz, ((state >> 16) % 601) / 100.0 - 3, false});
    }
    EXPECT_LT(sweep_noise(skirt), 0.05);
    EXPECT_NEAR(sweep_noise(noisy), 1.73, 0.35); // (a median reads an even spread a little high)
    EXPECT_EQ(sweep_noise(std::vector<level_point>(noisy.begin(), noisy.begin() + 19)), 0);
    // Averages over n neighbours, overflowed points neither taken nor given.
    auto t = trace({{1, 0}, {2, 3}, {3, 6}, {4, 9}, {5, 12}});
    t[3].overflow = true;
    auto sm = smoothed(t, 3);
    EXPECT_EQ(sm[0].level, 1.5);
    EXPECT_EQ(sm[1].level, 3);
    EXPECT_EQ(sm[2].level, 4.5);
    EXPECT_EQ(sm[3].level, 9);
    EXPECT_EQ(sm[4].level, 12);
    EXPECT_EQ(smoothed(t, 1)[1].level, 3);
    EXPECT_EQ(smoothing_for(1.73, 3000), 25);
}

TEST(markers, in_noise_a_flat_part_may_slope_by_four_times_the_noise) {
    // A low-pass whose first tenth steps 0.47 dB between its halves: flat
    // with 0.11 dB of noise only up to 0.44 dB.
    std::vector<level_point> p;
    for (int i = 0; i < 100; ++i) {
        double hz = 1 + i;
        p.push_back({hz, hz <= 5.95 ? 0 : hz <= 10.9 ? -0.47 : -0.47 - (hz - 10.9), false});
    }
    marker_settings s;
    s.noise = 0.11;
    filter_markers m = find_markers(p, s);
    EXPECT_EQ(m.basis, level_basis::none);
    EXPECT_NE(m.cannot.find("no flat pass band"), std::string::npos) << m.cannot;
    s.noise = 0.12; // flat within 0.48 dB
    EXPECT_EQ(find_markers(p, s).kind, filter_kind::lowpass);
}

TEST(markers, ripple_names_the_doubt_of_sampled_extremes) {
    // A valley 1 dB deep between peaks; each extreme's larger step to a
    // neighbour is 1 dB: the doubt is two quanta (0.002 dB, the results
    // format's) and a quarter of the steps, 0.5 dB.
    auto m = find_markers(trace({{1, -30}, {2, -1}, {3, 0}, {4, -1}, {5, -1}, {6, 0}, {7, -1},
                                 {8, -30}}),
                          filter_kind::bandpass);
    ASSERT_TRUE(m.lower[0].found && m.upper[0].found);
    EXPECT_EQ(m.ripple, 1);
    EXPECT_NEAR(m.ripple_uncertainty, 0.002 + (1 + 1) / 4.0, 1e-12);
}

TEST(markers, one_like_neighbour_still_lets_the_bottom_be_fitted) {
    // The reading before the lowest is within the resolution of it; the one
    // after is 2 dB up: the parabola through the three still places it.
    auto m = find_markers(trace({{3, 0}, {4, -1}, {4.5, -4}, {5, -33.75}, {5.5, -39.7495},
                                 {6, -39.75}, {6.5, -37.75}, {7, -33.75}, {8, -4}, {8.5, -1},
                                 {9.5, 0}}),
                          filter_kind::notch);
    EXPECT_TRUE(m.fitted);
    EXPECT_EQ(m.bottom_run, 1u);
}

} // namespace

namespace {

TEST(markers, no_level_is_read_across_an_overflowed_point) {
    auto p = trace({{1e6, -10}, {2e6, -20}, {3e6, 0}, {4e6, -40}, {5e6, -50}});
    p[2].overflow = true;
    EXPECT_TRUE(level_at(p, 3e6).overflowed);
    EXPECT_FALSE(level_at(p, 3e6).inside);
    EXPECT_EQ(level_at(p, 2.5e6).overflow_hz, 3e6);
    EXPECT_EQ(level_at(p, 3.5e6).overflow_hz, 3e6);
    // Either side of it, and on its neighbours, levels stand.
    EXPECT_DOUBLE_EQ(level_at(p, 2e6).level, -20);
    EXPECT_DOUBLE_EQ(level_at(p, 4.5e6).level, -45);
    EXPECT_TRUE(level_at(p, 1.5e6).inside);
    marker_settings s;
    s.at = {3e6, 2.5e6, 4e6};
    s.delta = {2e6, 3.5e6, 2e6, 4e6};
    std::vector<std::string> lines = marker_lines("f", find_markers(p, s), "dBm");
    auto has = [&](const std::string &line) {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    };
    EXPECT_TRUE(has("f: marker 3000000.0 Hz: unknown: overflowed at 3000000.0 Hz"));
    EXPECT_TRUE(has("f: marker 2500000.0 Hz: unknown: overflowed at 3000000.0 Hz"));
    // On a point the reading is the point's, whatever the gap beside it.
    EXPECT_TRUE(has("f: marker 4000000.0 Hz: -40.000 dBm"));
    EXPECT_TRUE(has("f: delta 2000000.0 Hz to 3500000.0 Hz: unknown: overflowed at 3000000.0 Hz"));
    // Two points read either side of it are two readings.
    EXPECT_TRUE(has("f: delta 2000000.0 Hz to 4000000.0 Hz: 2000000.0 Hz, -20.000 dB"));
    // Nor is an edge placed across it.
    auto bp = trace({{1e6, -40}, {2e6, -10}, {3e6, 0}, {3.5e6, -1}, {4e6, 0}, {4.5e6, -1},
                     {5e6, -2}, {6e6, -20}, {7e6, -40}});
    bp[2].overflow = true;
    auto m = find_markers(bp, filter_kind::bandpass);
    EXPECT_FALSE(m.lower[0].found);
    EXPECT_TRUE(m.upper[0].found);
    std::string text;
    for (const auto &line : marker_lines("bp", m, "dBm"))
        text += line + "\n";
    EXPECT_NE(text.find("lower edge unknown: overflowed at 3000000.0 Hz"), std::string::npos) << text;
}

} // namespace

namespace {

TEST(markers, kind_names_read_back) {
    for (filter_kind k : {filter_kind::bandpass, filter_kind::notch, filter_kind::lowpass,
                          filter_kind::highpass}) {
        filter_kind read = filter_kind::none;
        EXPECT_TRUE(kind_from_name(kind_name(k), &read)) << kind_name(k);
        EXPECT_EQ(read, k);
    }
    filter_kind read = filter_kind::bandpass;
    EXPECT_FALSE(kind_from_name("unknown", &read)) << "a shape, not a kind to ask for";
    EXPECT_FALSE(kind_from_name("Notch", &read));
}

} // namespace
