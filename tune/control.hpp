// What talvik-tune's keys do to the band and the cursor, apart from the
// screen: zoom about a frequency, centre on it, move the band, bounded so
// that a key never takes the sweep where it would stall; the cursor's point,
// the peak and the next peak either side.
#pragma once
#include "results/results.hpp"
#include "tune/tune.hpp"

#include <cstddef>
#include <vector>

struct band {
    double start_hz, stop_hz;
};

// How far keys may take the band from the one a run started with: no wider
// than ten times its span (nor the whole band), and into the low band
// (below 62.5 kHz, where every point waits periods of its frequency) only
// where the starting band was in it.
struct band_limits {
    double lowest_hz, highest_hz, widest_hz;
};
band_limits limits_of(const tune_settings &home);

// The band zoomed by factor (0.5 in, 2 out) about anchor_hz, which keeps its
// place on the axis (linear or logarithmic); within the limits.
band zoom_about(const tune_settings &now, double anchor_hz, double factor, const band_limits &l);
// The band moved so that hz is its middle on the axis; within the limits.
band centred_on(const tune_settings &now, double hz, const band_limits &l);
// The band moved by tenths of its span; within the limits.
band shifted(const tune_settings &now, double tenths, const band_limits &l);

// The middle of the band on its axis: the arithmetic or geometric mean.
double band_middle(const tune_settings &s);

// The index of the point nearest hz (points rising); 0 where there are none.
size_t nearest_point(const std::vector<level_point> &points, double hz);
// The highest point (lowest with notch) that is not overflowed; -1 where
// every point is.
long extreme_point(const std::vector<level_point> &points, bool notch);
// The next peak (notch: the next dip) from `from` in direction +1 or -1: the
// highest point of the next rise that stands peak_excursion_db out of what
// lies between and falls as far again after it; -1 where there is none.
// Overflowed points are passed over.
constexpr double peak_excursion_db = 1.0;
long next_peak(const std::vector<level_point> &points, size_t from, int direction, bool notch);
