// A results file read back: header, then one record per point.
#pragma once
#include "markers/markers.hpp"

#include <string>
#include <vector>

using sweep_point = level_point; // level in dBm, or dB once normalised

struct sweep {
    std::string name;
    std::vector<sweep_point> points;
};

// Reads path (CR LF or LF line ends). A line that is not a record is an
// error naming the file and line ("r.txt:7: ..."); nothing is skipped.
bool read_sweep(const std::string &path, sweep &out, std::string &error);

// Subtracts the reference's level at each frequency; the frequencies must be
// the same, point for point. A point is overflowed if either was.
bool normalise(sweep &s, const sweep &ref, std::string &error);
