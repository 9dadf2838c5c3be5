// Drawing sweeps with gnuplot, run as a separate process: the script goes in
// through one pipe, the picture comes back through another.
#pragma once
#include "plot/sweep_file.hpp"

#include <string>
#include <vector>

// Draws every sweep as a trace of level against a logarithmic frequency
// axis, overflowed points marked, to output (.png or .svg). TALVIK_GNUPLOT
// names the gnuplot program if it is not "gnuplot" on the PATH.
bool draw_sweeps(const std::vector<sweep> &sweeps, const std::string &output,
                 const std::string &y_label, std::string &error);

// The gnuplot script for the sweeps, data included, drawing to gnuplot's
// standard output in the format that output's name ends in.
std::string gnuplot_script(const std::vector<sweep> &sweeps, const std::string &output,
                           const std::string &y_label);
