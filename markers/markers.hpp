// Filter markers from a swept trace: what people measure on a band-pass,
// a notch, a low-pass or a high-pass. Plain computation on points in rising
// frequency; it knows nothing of files or plotting.
//
// Levels are measured against a level that is known: the one the user states
// (--level, or 0 dB on a normalised sweep), or the pass band's own where the
// span shows one. Where the span does not show what a marker needs, the
// markers say so in words instead of measuring from a wrong level.
#pragma once
#include <cmath>
#include <cstddef>
#include <string>
#include <vector>

struct level_point {
    double hz;
    double level; // dBm, or dB against a reference
    bool overflow;
};

// none: the span does not show which it is.
enum class filter_kind { bandpass, notch, lowpass, highpass, none };

const char *kind_name(filter_kind kind);
// False when text names no kind.
bool kind_from_name(const char *text, filter_kind *kind);

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
    std::vector<double> delta; // --delta: two frequencies
};

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
};

struct read_level {
    double hz = 0, level = 0;
    bool inside = false; // within the sweep (a level is read only there)
};

struct filter_markers {
    filter_kind kind = filter_kind::bandpass;
    std::string cannot;   // why the span does not show what the markers need
    size_t levels = 0;    // points whose levels were used: none when all overflowed
    size_t left_out = 0;  // overflowed points, whose levels are unknown
    double left_from = 0, left_to = 0; // where they lie
    bool peak_by_overflow = false;     // an overflowed point lies beside the peak
    double reference = 0; // the level the dB-down points are measured from
    bool stated = false;  // reference is the user's (or 0 dB normalised)
    // band-pass, low-pass, high-pass: the highest point
    double peak_hz = 0, peak_level = 0;
    double loss = NAN;   // the peak's distance below the stated level
    double ripple = NAN; // peak to lowest point between the first drop's points
    // notch: the minimum, interpolated where a fit is sound (fitted), else
    // the lowest point; and its depth below the band
    double notch_hz = 0, notch_level = 0, depth = 0;
    bool fitted = false;
    // The drops' points below and above in frequency (low-pass: only the
    // upper side; high-pass: only the lower; a notch: its first drop only).
    std::vector<double> drops;
    std::vector<crossing> lower, upper;
    double sf_narrow = 6, sf_wide = 60;
    std::vector<read_level> at;
    std::vector<read_level> delta;
};

// Needs at least one point.
filter_markers find_markers(const std::vector<level_point> &points,
                            const marker_settings &settings = marker_settings());
// The markers of a kind named, with the other settings' defaults.
filter_markers find_markers(const std::vector<level_point> &points, filter_kind kind);

// The markers as lines "NAME: what value unit, ..."; unit is "dBm" or "dB".
std::vector<std::string> marker_lines(const std::string &name, const filter_markers &m,
                                      const char *unit);

// The level at a frequency, interpolated between the points either side;
// not inside where the sweep does not reach it.
read_level level_at(const std::vector<level_point> &points, double hz);
