// Every figure against the truth: sweeps of the simulated instrument's
// models over many spans and steps, with and without a through reference and
// noise, measured as talvik-plot measures them. The true values come from
// the models' closed forms written out here, never from the marker code.
#include "app/sweep.hpp"
#include "instrument/sim.hpp"
#include "markers/markers.hpp"
#include "plot/sweep_file.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <string>

namespace {

const double pi = 3.14159265358979323846;
// One converter count in dB: 2.46955 V over 16383 counts at 25 mV per dB.
const double count_db = 2.46955 / 16383 / 0.025;

enum model { through, lowpass, bandpass, notch, crystal };

// The documented models: the DDS's sin(x)/x of the output over its 100 MHz
// clock, through the device under test.
double source_db(double hz) {
    double x = pi * hz / 100e6;
    return 20 * std::log10(std::sin(x) / x);
}
double detuning(double hz, double f0, double b) { return (hz / f0 - f0 / hz) * f0 / b; }
double device_db(model m, double hz) {
    switch (m) {
    case lowpass: // 5th-order Butterworth, -3 dB at 5 MHz
        return -10 * std::log10(1 + std::pow(hz / 5e6, 10));
    case bandpass: // 4th-order Butterworth, 4 MHz, 1 MHz wide at -3 dB
        return -10 * std::log10(1 + std::pow(detuning(hz, 4e6, 1e6), 4));
    case notch: { // 6 MHz, 1 MHz wide at -3 dB, 40 dB deep
        double x = detuning(hz, 6e6, 1e6);
        return 10 * std::log10((x * x + 1e-4) / (x * x + 1));
    }
    case crystal: { // 4-pole Chebyshev, 9 MHz, 2.4 kHz at its 0.5 dB ripple
        double x = detuning(hz, 9e6, 2.4e3);
        double t4 = std::cosh(4 * std::acosh(std::fmax(std::fabs(x), 1.0)));
        if (std::fabs(x) < 1)
            t4 = std::cos(4 * std::acos(x));
        return -10 * std::log10(1 + (std::pow(10, 0.05) - 1) * t4 * t4);
    }
    default:
        return 0;
    }
}

struct row {
    const char *name;
    model dut;
    double start, end;
    int divisor;
};

// A sweep as talvik writes it: its words, the converter's counts, one
// decimal of hertz and three of dB.
sweep run_sweep(model dut, double start, double end, int divisor, bool noisy) {
    const double tw_per_hz = static_cast<float>(4294967296.0 / 100000000.0);
    sweep s;
    s.name = "grid";
    uint32_t state = 12345;
    int32_t word = static_cast<int32_t>(start * tw_per_hz), last = static_cast<int32_t>(end * tw_per_hz);
    while (word < last) {
        double hz = word / tw_per_hz;
        double level = sim_level_dbm(static_cast<dut_model>(dut), hz);
        if (noisy) {
            // Each point's first exchange starts the conversion its second
            // reads; the second starts one that is never read.
            level += sim_noise_db(state);
            sim_noise_db(state);
        }
        reading_of_reply r = decode_reply(sim_reply_word(level));
        s.points.push_back({std::round(hz * 10) / 10, std::round(r.level_dbm * 1000) / 1000, r.overflow});
        int64_t next = next_word(word, divisor);
        if (next >= last)
            break;
        word = static_cast<int32_t>(next);
    }
    return s;
}

struct measured {
    filter_markers m;
    std::vector<std::string> lines;
    std::string text;
};

// The markers as talvik-plot gives them.
measured mark(model dut, double start, double end, int divisor, bool with_ref, bool noisy,
              int smooth = 1, marker_settings settings = marker_settings()) {
    static const sweep ref = run_sweep(through, 100000, 30000000, 1000, false);
    sweep s = run_sweep(dut, start, end, divisor, noisy);
    double quantum = sweep_quantum(s.points) + (with_ref ? sweep_quantum(ref.points) : 0);
    std::string error;
    if (with_ref) {
        EXPECT_TRUE(normalise(s, ref, error)) << error;
    }
    measured out;
    out.m = sweep_markers(s, quantum, settings, smooth);
    out.lines = marker_lines("t", out.m, with_ref ? "dB" : "dBm");
    for (const auto &line : out.lines)
        out.text += line + "\n";
    return out;
}

// The true level of a trace, never below the detector's floor (-100 dBm):
// against the through reference, the source's roll-off divides out.
std::function<double(double)> truth_of(model dut, bool with_ref) {
    return [=](double hz) {
        return std::fmax(-100, device_db(dut, hz) + source_db(hz)) - (with_ref ? source_db(hz) : 0);
    };
}

// Where the true trace crosses level nearest to hz, searched within reach.
double true_crossing(const std::function<double(double)> &t, double level, double hz, double reach) {
    double best = NAN;
    const int n = 4000;
    for (int i = 0; i < n; ++i) {
        double a = hz - reach + 2 * reach * i / n, b = hz - reach + 2 * reach * (i + 1) / n;
        if ((t(a) - level) * (t(b) - level) > 0)
            continue;
        for (int k = 0; k < 60; ++k) {
            double mid = (a + b) / 2;
            ((t(a) - level) * (t(mid) - level) <= 0 ? b : a) = mid;
        }
        if (std::isnan(best) || std::fabs(a - hz) < std::fabs(best - hz))
            best = a;
    }
    return best;
}

double slope(const std::function<double(double)> &t, double hz, double step) {
    return std::fabs(t(hz + step / 20) - t(hz - step / 20)) / (step / 10);
}

// Each edge the lines give as a frequency lies within half its step of the
// truth (all of it where the line names the step), widened by what one
// count in each of the sweep and the reference moves it along the slope;
// returns that allowance.
double check_edge(const crossing &c, double level, const std::function<double(double)> &t,
                  bool with_ref, bool noisy, const std::string &where) {
    if (!c.found || c.wanders)
        return NAN;
    double step = c.b_hz - c.a_hz;
    double counts = (with_ref ? 2 : 1) * (count_db / 2 + 0.0005);
    if (noisy) {
        // The noise moves a reading by 3 dB at most: the truth passes within
        // 3 dB of the level there, or between the two points named.
        double low = INFINITY, high = -INFINITY;
        for (int i = 0; i <= 200; ++i) {
            double v = t(c.a_hz + (c.b_hz - c.a_hz) * i / 200);
            low = std::fmin(low, v);
            high = std::fmax(high, v);
        }
        if (c.coarse)
            EXPECT_TRUE(low <= level + 3.05 && high >= level - 3.05) << where;
        else
            EXPECT_LE(std::fabs(t(c.hz) - level), 3.05) << where;
        return NAN;
    }
    double reach = std::fmax(3 * step, 3 * counts / slope(t, c.hz, step)) + 1;
    double truth = true_crossing(t, level, c.hz, reach);
    EXPECT_FALSE(std::isnan(truth)) << where << ": no true crossing near " << c.hz;
    if (std::isnan(truth))
        return NAN;
    double allowed = (c.coarse ? step : step / 2) + counts / slope(t, truth, step) + 1e-6 * truth;
    EXPECT_NEAR(c.hz, truth, allowed) << where << " at " << level << " dB";
    return allowed;
}

std::string describe(const row &r, bool with_ref, bool noisy) {
    char text[200];
    std::snprintf(text, sizeof text, "%s %.0f-%.0f Hz /%d%s%s", r.name, r.start, r.end, r.divisor,
                  with_ref ? " --ref" : "", noisy ? " noisy" : "");
    return text;
}

void check_row(const row &r, bool with_ref, bool noisy) {
    std::string where = describe(r, with_ref, noisy);
    measured out = mark(r.dut, r.start, r.end, r.divisor, with_ref, noisy);
    const filter_markers &m = out.m;
    auto t = truth_of(r.dut, with_ref);
    SCOPED_TRACE(where + "\n" + out.text);
    if (noisy && m.levels >= 20) // fewer cannot tell noise from the trace
        EXPECT_NE(out.text.find("noisy sweep: about "), std::string::npos);
    else
        EXPECT_LT(m.noise, 0.1);
    if (m.basis == level_basis::none) {
        // Nothing measured: the line says why, and points to a level.
        EXPECT_NE(out.lines.back().find("(use --ref or --level)"), std::string::npos);
        return;
    }
    // Every line names the level its figures hang from.
    std::string from = basis_words(m, with_ref ? "dB" : "dBm");
    for (size_t k = 0; k < m.drops.size(); ++k)
        EXPECT_NE(out.text.find(" dB " + from + ": "), std::string::npos) << from;
    double lo_allow[3] = {NAN, NAN, NAN}, hi_allow[3] = {NAN, NAN, NAN};
    for (size_t k = 0; k < m.drops.size() && k < 3; ++k) {
        double level = m.reference - m.drops[k];
        lo_allow[k] = check_edge(m.lower[k], level, t, with_ref, noisy, where + " lower");
        hi_allow[k] = check_edge(m.upper[k], level, t, with_ref, noisy, where + " upper");
        // An edge left out says how far the sweep reached, truly.
        for (const crossing *c : {&m.lower[k], &m.upper[k]})
            if (!c->found && !c->already && c->end_hz > 0 && !noisy) {
                EXPECT_GT(m.reference - t(c->end_hz), -count_db * 2)
                    << "the end at " << c->end_hz << " is above the level";
            }
    }
    double counts = (with_ref ? 2 : 1) * (count_db / 2 + 0.0005);
    if (m.shape == trace_shape::valley) {
        // The true bottom, and what the sweep's step allows a reading of it.
        double bottom = m.notch_hz, step = std::fmax(m.neighbour_gap_hz, r.start / r.divisor);
        double lowest = t(bottom);
        for (int i = -400; i <= 400; ++i)
            lowest = std::fmin(lowest, t(bottom + step * i / 200.0));
        double depth = m.reference - lowest;
        if (noisy) {
            EXPECT_LE(m.depth, depth + 3.05);
        } else if (m.undersampled) {
            EXPECT_NE(out.text.find("depth at least"), std::string::npos);
            EXPECT_LE(m.depth, depth + counts);
        } else {
            double half = m.notch_hz / r.divisor / 2, within = 0;
            for (int i = -50; i <= 50; ++i)
                within = std::fmax(within, t(m.notch_hz + half * i / 50.0) - lowest);
            EXPECT_NEAR(m.depth, depth, within + counts + 0.05) << "depth";
        }
    } else if (m.kind != filter_kind::none || m.shape == trace_shape::peak) {
        // The peak is a reading: the truth at its frequency.
        EXPECT_NEAR(m.peak_level, t(m.peak_hz), noisy ? 3.05 : counts) << "peak";
    }
    if (!std::isnan(m.ripple) && !noisy) {
        double truth = r.dut == crystal ? 0.5 : 0;
        EXPECT_NEAR(m.ripple, truth, m.ripple_uncertainty + counts) << "ripple";
    }
    if (!std::isnan(m.ripple_below) && !noisy && r.dut == crystal) {
        EXPECT_GE(m.ripple_below, 0.5) << "a 0.5 dB ripple said to be below";
    }
    // Bandwidths and the shape factor from the edges' allowances.
    if (m.shape == trace_shape::peak && !noisy) {
        for (size_t k = 0; k < m.drops.size() && k < 3; ++k) {
            if (std::isnan(lo_allow[k]) || std::isnan(hi_allow[k]))
                continue;
            double level = m.reference - m.drops[k];
            double width = true_crossing(t, level, m.upper[k].hz, 3 * hi_allow[k]) -
                           true_crossing(t, level, m.lower[k].hz, 3 * lo_allow[k]);
            EXPECT_NEAR(m.upper[k].hz - m.lower[k].hz, width, lo_allow[k] + hi_allow[k]) << "bandwidth";
        }
    }
}

TEST(markers_grid, every_figure_lies_within_what_its_sweep_resolves) {
    const row rows[] = {
        {"through", through, 100000, 30000000, 20},
        {"low-pass", lowpass, 100000, 30000000, 20},
        {"low-pass", lowpass, 100000, 30000000, 100},
        {"low-pass", lowpass, 100000, 30000000, 1000},
        {"low-pass edge", lowpass, 4000000, 6000000, 5000},
        {"low-pass edge", lowpass, 4000000, 6000000, 100},
        {"band-pass", bandpass, 100000, 30000000, 20},
        {"band-pass", bandpass, 100000, 30000000, 100},
        {"band-pass", bandpass, 1000000, 10000000, 1000},
        {"band-pass", bandpass, 3000000, 5500000, 5000},
        {"band-pass skirt", bandpass, 3520000, 3545000, 100000},
        {"notch", notch, 100000, 30000000, 20},
        {"notch", notch, 100000, 30000000, 100},
        {"notch", notch, 1000000, 15000000, 1000},
        {"notch", notch, 5000000, 7000000, 100},
        {"notch", notch, 5000000, 7000000, 5000},
        {"notch bottom", notch, 5998000, 6002000, 600000},
        {"notch inside", notch, 5950000, 6050000, 20000},
        {"crystal", crystal, 100000, 30000000, 100},
        {"crystal", crystal, 8990000, 9010000, 20000},
        {"crystal", crystal, 8990000, 9010000, 100000},
        {"crystal", crystal, 8980000, 9020000, 1000},
        {"crystal skirt", crystal, 8997000, 8998800, 300000},
    };
    for (const auto &r : rows)
        for (bool with_ref : {false, true})
            for (bool noisy : {false, true})
                check_row(r, with_ref, noisy);
}

// The cases that once printed a wrong figure with confidence.
TEST(markers_grid, the_reported_cases) {
    // A low-pass's edge: from 0 dB, not from the span's top 0.45 dB down.
    measured lp = mark(lowpass, 4000000, 6000000, 5000, true, false);
    EXPECT_EQ(lp.m.kind, filter_kind::none);
    EXPECT_EQ(lp.m.basis, level_basis::reference);
    double cutoff = 5e6 * std::pow(std::pow(10, 0.3) - 1, 0.1); // 4997626 Hz
    EXPECT_NEAR(lp.m.upper[0].hz, cutoff, 2000) << lp.text;
    EXPECT_NE(lp.text.find("a falling edge"), std::string::npos) << lp.text;
    // --level wins over the reference.
    marker_settings at_minus_one;
    at_minus_one.level = -1;
    lp = mark(lowpass, 4000000, 6000000, 5000, true, false, 1, at_minus_one);
    EXPECT_NE(lp.text.find("-3 dB from --level -1 dB: "), std::string::npos) << lp.text;
    EXPECT_NEAR(lp.m.upper[0].hz, 5e6 * std::pow(std::pow(10, 0.4) - 1, 0.1), 2000);

    // A band-pass skirt: a rising edge, its -3 dB point inside the span.
    measured skirt = mark(bandpass, 3520000, 3545000, 100000, true, false);
    EXPECT_EQ(skirt.m.kind, filter_kind::none);
    EXPECT_NE(skirt.text.find("a rising edge"), std::string::npos) << skirt.text;
    double x = std::pow(std::pow(10, 0.3) - 1, 0.25);
    // (a count in each file moves it 350 Hz along this shallow skirt)
    EXPECT_NEAR(skirt.m.lower[0].hz, (-x * 1e6 + std::sqrt(x * x * 1e12 + 4 * 16e12)) / 2, 400);

    // A notch narrower than the step: its depth is a bound, with advice.
    measured n = mark(notch, 100000, 30000000, 100, true, false);
    EXPECT_TRUE(n.m.undersampled);
    EXPECT_NE(n.text.find("depth at least 2"), std::string::npos) << n.text;
    EXPECT_NE(n.text.find("sweep finer near 5.9"), std::string::npos) << n.text;

    // No ripple in a Butterworth band-pass.
    measured bp = mark(bandpass, 3000000, 5500000, 5000, false, false);
    EXPECT_TRUE(std::isnan(bp.m.ripple)) << bp.text;
    EXPECT_NE(bp.text.find("ripple below 0.01"), std::string::npos) << bp.text;

    // The notch's bottom alone: a valley 40 dB below the reference.
    measured bottom = mark(notch, 5998000, 6002000, 600000, true, false);
    EXPECT_EQ(bottom.m.kind, filter_kind::none);
    EXPECT_EQ(bottom.m.shape, trace_shape::valley);
    EXPECT_NEAR(bottom.m.depth, 40, 0.02) << bottom.text;

    // A notch between sloping shoulders: nothing measured, and why.
    measured sloping = mark(notch, 5000000, 7000000, 5000, false, false);
    EXPECT_EQ(sloping.m.basis, level_basis::none);
    EXPECT_NE(sloping.text.find("no flat pass band"), std::string::npos) << sloping.text;
}

TEST(markers_grid, a_noisy_band_pass_smoothed_as_suggested) {
    measured raw = mark(bandpass, 3000000, 5500000, 400, true, true);
    ASSERT_GT(raw.m.noise, 1.4) << raw.text;
    EXPECT_LT(raw.m.noise, 2.1);
    // No -3 dB bandwidth is given from the raw points: the edges wander.
    EXPECT_EQ(raw.text.find("-3 dB from the pass band, " ), raw.text.find("-3 dB from"));
    EXPECT_EQ(raw.text.find("bandwidth", raw.text.find("-3 dB from")),
              raw.text.find("bandwidth", raw.text.find("-6 dB from"))) << raw.text;
    int n = smoothing_for(raw.m.noise, raw.m.levels);
    EXPECT_NE(raw.text.find("try --smooth " + std::to_string(n)), std::string::npos);
    measured smooth = mark(bandpass, 3000000, 5500000, 400, true, true, n);
    ASSERT_TRUE(smooth.m.lower[0].found && smooth.m.upper[0].found) << smooth.text;
    EXPECT_NEAR(smooth.m.upper[0].hz - smooth.m.lower[0].hz, 1e6, 0.05e6) << smooth.text;
}

TEST(markers_grid, the_crystal_filter_ripple_and_shape_factor) {
    marker_settings s;
    s.drops = {3, 60};
    s.sf_narrow = 3;
    s.sf_wide = 60;
    measured c = mark(crystal, 8985000, 9015000, 100000, true, false, 1, s);
    ASSERT_EQ(c.m.kind, filter_kind::bandpass) << c.text;
    EXPECT_NEAR(c.m.ripple, 0.5, c.m.ripple_uncertainty) << c.text;
    EXPECT_LT(c.m.ripple_uncertainty, 0.1);
    // Widths from T4(x) = cosh(4 acosh x) at the two levels.
    auto width = [](double db) {
        double t4 = std::sqrt((std::pow(10, db / 10) - 1) / (std::pow(10, 0.05) - 1));
        return 2400 * std::cosh(std::acosh(t4) / 4);
    };
    double w3 = c.m.upper[0].hz - c.m.lower[0].hz, w60 = c.m.upper[1].hz - c.m.lower[1].hz;
    EXPECT_NEAR(w3, width(3), 90);
    EXPECT_NEAR(w60, width(60), 90);
    EXPECT_NEAR(w60 / w3, width(60) / width(3), 0.15);
    EXPECT_NE(c.text.find("shape factor 60/3 4.0"), std::string::npos) << c.text;
}

} // namespace
