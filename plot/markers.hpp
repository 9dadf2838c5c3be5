// Peak and -3 dB points of a sweep.
#pragma once
#include "plot/sweep_file.hpp"

#include <cstdio>

struct sweep_markers {
    size_t peak = 0;                   // index of the highest level
    bool lower_found = false;          // the level falls 3 dB below the peak...
    bool upper_found = false;          // ...below it and above it within the sweep
    double lower_hz = 0, upper_hz = 0; // interpolated -3 dB frequencies
};

// Needs at least one point.
sweep_markers find_markers(const sweep &s);

// Writes the markers as lines "NAME: ..."; unit is "dBm" or "dB".
void print_markers(std::FILE *out, const sweep &s, const char *unit);
