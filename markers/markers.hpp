// Filter markers from a swept trace: what people measure on a band-pass,
// a notch, a low-pass or a high-pass. Plain computation on points in rising
// frequency; it knows nothing of files or plotting.
//
// Every figure is measured from a level that is named with it: the one the
// user states (--level), 0 dB on a normalised sweep, or the pass band's own
// where the span shows it. Where the span does not show what a figure needs,
// or the sweep cannot resolve it, the results say so instead of a number.
#pragma once
#include "results/results.hpp"

#include <cmath>
#include <cstddef>
#include <string>
#include <vector>


// none: the span does not show which it is ("unknown").
enum class filter_kind { bandpass, notch, lowpass, highpass, none };

const char *kind_name(filter_kind kind);
// False when text names no kind.
bool kind_from_name(const char *text, filter_kind *kind);

// The trace's shape in words, whatever the kind: what an unknown kind is
// measured as when a level is stated.
enum class trace_shape { peak, valley, falling, rising };
const char *shape_words(trace_shape shape); // "a peak", "a valley", ...

// What the figures are measured from.
enum class level_basis {
    none,      // nothing known: no figure
    peak,      // a band-pass's highest point
    pass_band, // a low- or high-pass's flat part
    shoulders, // a notch's flat band either side
    reference, // 0 dB of a normalised sweep
    stated,    // --level
};

// What the user says: the pass band's (or a notch's shoulders') level, the
// bandwidth levels, the shape factor's two, the kind, and frequencies to read.
struct marker_settings {
    double level = NAN; // NaN: taken from the span, where it shows one
    bool normalised = false; // levels are dB against a reference: 0 dB is the band
    std::vector<double> drops = {3, 6, 60};
    double sf_narrow = 6, sf_wide = 60;
    bool kind_given = false;
    filter_kind kind = filter_kind::bandpass;
    std::vector<double> at;    // --marker: levels read at these frequencies
    std::vector<double> delta; // --delta: pairs of frequencies, one after the other
    // The sweep's reading quantum and noise (standard deviation), dB; NaN:
    // estimated from the points. A normalised or smoothed trace passes the
    // raw sweep's.
    double quantum = NAN, noise = NAN;
    int smoothed = 0; // points the trace was averaged over (said, not done here)
    const char *smooth_option = "--smooth"; // how the program averages, for advice
};

// The smallest nonzero difference between two readings (0: none); under
// 20 readings, the results format's thousandth of a dB.
double sweep_quantum(const std::vector<level_point> &points);
// The noise's standard deviation, from the scatter of fourth differences
// (a median, so that edges and curvature do not count); 0 under 20 points.
double sweep_noise(const std::vector<level_point> &points);
// Each level the mean of n neighbouring points' (overflowed points neither
// taken nor given a level).
std::vector<level_point> smoothed(const std::vector<level_point> &points, int n);
// An averaging length that brings noise of this size to about 0.35 dB.
int smoothing_for(double noise, size_t points);

// The kind the trace's shape shows, by the rules of find_markers; none,
// with the reason in why, where the span cannot tell. Overflowed points are
// never taken as levels.
filter_kind kind_of(const std::vector<level_point> &points, std::string *why = nullptr);

// Where the level first reaches a number of dB below a reference, walking
// out from a point towards one end of the sweep, interpolated linearly in
// frequency between the two points either side. When the sweep ends first,
// the end and how far down it reaches are given instead.
struct crossing {
    bool found = false;
    double hz = 0;
    double end_hz = 0;   // when not found: the sweep's end on that side
    double end_down = 0; // and how far below the reference it is, dB
    bool already = false; // the walk's start is already past the level
    // When found: the two points either side and how far the true edge may
    // lie from hz (half their distance; all of it where they differ by more
    // than 3 dB, or the stretch where the level wanders through the noise).
    double a_hz = 0, b_hz = 0, step_db = 0;
    double uncertainty = 0;
    bool coarse = false;  // the points differ by more than 3 dB
    bool wanders = false; // noise: the level crosses back and forth there
    double wander_from = 0, wander_to = 0;
    bool placed = false; // that stretch is short enough to give its middle as the edge
    // Not found because the two points either side have an overflowed one
    // between them: no line is drawn across a reading that is not there.
    double overflow_hz = 0;
};

// An edge given as a frequency: found, and where the level wanders through
// it in the noise, placed within a short enough stretch; else only the
// stretch it lies in is said.
bool edge_known(const crossing &c);
// How far an edge may lie from where it is given, as its line names it (0
// where the line names no doubt).
double edge_doubt_hz(const crossing &c, double noise);
// Why an edge is not given as a frequency, in its marker line's words
// ("upper outside the sweep: ..."); empty where it is.
std::string edge_reason(const crossing &c, const char *side, double drop);

struct read_level {
    double hz = 0, level = 0;
    bool inside = false; // within the sweep (a level is read only there)
    double gap_hz = 0, step_db = 0; // the points either side: how far apart in each
    // Within the sweep, but on or next to a point whose level is unknown
    // (overflowed): no level is read across it, and inside stays false.
    bool overflowed = false;
    double overflow_hz = 0;
};

struct filter_markers {
    filter_kind kind = filter_kind::bandpass;
    trace_shape shape = trace_shape::peak; // what the figures are measured as
    std::string cannot;   // why the span does not show what the markers need
    size_t levels = 0;    // points whose levels were used: none when all overflowed
    size_t left_out = 0;  // overflowed points, whose levels are unknown
    double left_from = 0, left_to = 0; // where they lie
    bool peak_by_overflow = false;     // an overflowed point lies beside the peak
    // The sweep itself: its reading quantum, noise, and the smallest
    // difference it resolves (two quanta or three times the noise).
    double quantum = 0, noise = 0, resolution = 0;
    int smoothed = 0;
    const char *smooth_option = "--smooth";
    level_basis basis = level_basis::none;
    double reference = 0; // the level the dB-down points are measured from
    bool stated = false;  // reference is the user's (or 0 dB normalised)
    // band-pass, low-pass, high-pass: the highest point
    double peak_hz = 0, peak_level = 0;
    double loss = NAN;   // the peak's distance below the stated level
    // Ripple: the deepest valley between two peaks that each rise above it
    // by more than the resolution, within the first drop's points; NaN with
    // ripple_below set where none does (with enough points to tell).
    double ripple = NAN, ripple_uncertainty = 0, ripple_below = NAN;
    size_t ripple_points = 0; // neither: so few points across the band

    // notch: the minimum, interpolated where a fit is sound (fitted), else
    // the lowest point; and its depth below the band
    double notch_hz = 0, notch_level = 0, depth = 0, depth_uncertainty = 0;
    bool fitted = false;
    size_t bottom_run = 1; // readings within the resolution of the lowest
    // The extreme (peak or notch) has both neighbours more than 6 dB away:
    // its level is a bound ("at least"), never a fit.
    bool undersampled = false;
    double neighbour_db[2] = {0, 0}, neighbour_gap_hz = 0;
    // The drops' points below and above in frequency (low-pass: only the
    // upper side; high-pass: only the lower; a notch: its first drop only).
    std::vector<double> drops;
    std::vector<crossing> lower, upper;
    double sf_narrow = 6, sf_wide = 60;
    std::vector<read_level> at;
    std::vector<read_level> delta; // pairs
};

// Needs at least one point.
filter_markers find_markers(const std::vector<level_point> &points,
                            const marker_settings &settings = marker_settings());
// The markers of a kind named, with the other settings' defaults.
filter_markers find_markers(const std::vector<level_point> &points, filter_kind kind);

// What a figure is measured from, in words: "from the peak, -0.446 dB",
// "from 0 dB (the reference)", "from --level -10 dB".
std::string basis_words(const filter_markers &m, const char *unit);
// A frequency in a few digits with its unit: "60 kHz", "6.1 MHz".
std::string short_hz(double hz);

// The markers as lines "NAME: what value unit, ..."; unit is "dBm" or "dB".
std::vector<std::string> marker_lines(const std::string &name, const filter_markers &m,
                                      const char *unit);

// The level at a frequency, interpolated between the points either side;
// not inside where the sweep does not reach it.
read_level level_at(const std::vector<level_point> &points, double hz);
