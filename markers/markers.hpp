// Filter markers from a swept trace: what people measure on a band-pass,
// a notch, a low-pass or a high-pass. Plain computation on points in rising
// frequency; it knows nothing of files or plotting.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

struct level_point {
    double hz;
    double level; // dBm, or dB against a reference
    bool overflow;
};

enum class filter_kind { bandpass, notch, lowpass, highpass };

const char *kind_name(filter_kind kind);
// False when text names no kind.
bool kind_from_name(const char *text, filter_kind *kind);

// The kind the trace's shape shows: a hump above both ends is a band-pass, a
// dip below both ends a notch, otherwise a fall or a rise. Overflowed points
// are never taken as levels, here or by find_markers.
filter_kind kind_of(const std::vector<level_point> &points);

// Where the level first falls to a number of dB below a reference, walking
// out from a point towards one end of the sweep, interpolated linearly in
// frequency between the two points either side. When the sweep ends first,
// the end and how far down it reaches are given instead.
struct crossing {
    bool found = false;
    double hz = 0;
    double end_hz = 0;   // when not found: the sweep's end on that side
    double end_down = 0; // and how far below the reference it is, dB
};

struct filter_markers {
    filter_kind kind = filter_kind::bandpass;
    size_t levels = 0;    // points whose levels were used: none when all overflowed
    size_t left_out = 0;  // overflowed points, whose levels are unknown
    bool peak_by_overflow = false; // an overflowed point lies beside the peak
    double reference = 0; // the level the dB-down points are measured from
    // band-pass, low-pass, high-pass: the highest point
    double peak_hz = 0, peak_level = 0;
    // notch: the minimum, interpolated where a fit is sound (fitted), else
    // the lowest point; and the band's level either side
    double notch_hz = 0, notch_level = 0, depth = 0;
    bool fitted = false;
    // -3, -6 and -60 dB below the reference: below and above in frequency.
    // Low-pass: only the upper side; high-pass: only the lower side.
    crossing lower[3], upper[3];
};
inline constexpr double marker_drops[3] = {3, 6, 60};

// Needs at least one point.
filter_markers find_markers(const std::vector<level_point> &points, filter_kind kind);

// The markers as lines "NAME: what value unit, ..."; unit is "dBm" or "dB".
std::vector<std::string> marker_lines(const std::string &name, const filter_markers &m,
                                      const char *unit);
