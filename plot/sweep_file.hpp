// A results file read back: header, then one record per point.
#pragma once
#include "markers/markers.hpp"

#include <string>
#include <vector>

using sweep_point = level_point; // level in dBm, or dB once normalised

struct sweep {
    std::string name;
    std::vector<sweep_point> points;
    bool normalised = false; // levels are dB against a reference
    std::vector<sweep_point> smooth; // averaged (--smooth): drawn over the points
};

// Reads path: a talvik results file, or talvik-plot's own CSV (CR LF, LF or
// lone CR line ends). A line that is not a record is an error naming the file
// and line ("r.txt:7: ..."); nothing is skipped.
bool read_sweep(const std::string &path, sweep &out, std::string &error);

// Subtracts the reference's level at each frequency, interpolated linearly
// between its points; a sweep that reaches beyond the reference's span is
// refused whole. A point is overflowed where a reference point it used was.
bool normalise(sweep &s, const sweep &ref, std::string &error);

// The markers of a sweep as talvik-plot prints them: the readings' quantum
// (raw_quantum: the file's own, plus the reference's where normalised), its
// noise, and with smooth above 1 each level averaged over that many points
// first (kept in s.smooth for the picture).
filter_markers sweep_markers(sweep &s, double raw_quantum, marker_settings settings, int smooth);
