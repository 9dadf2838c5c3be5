// A normalised sweep as a two-port Touchstone 1.1 file, in magnitude and
// angle (# Hz S MA R 50). A scalar instrument measures |S21| alone: S12 is
// given as |S21| (a passive filter is reciprocal), S11 and S22 as 0, every
// angle as 0, and comments say so; overflowed points are left out and listed.
#pragma once
#include "plot/sweep_file.hpp"

#include <string>

std::string touchstone_text(const sweep &s, const std::string &reference);
