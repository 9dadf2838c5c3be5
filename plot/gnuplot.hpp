// Drawing sweeps and their markers with gnuplot, run as a separate process.
#pragma once
#include "markers/markers.hpp"
#include "plot/sweep_file.hpp"

#include <string>
#include <vector>

enum class axis_scale { automatic, linear, logarithmic };

// The gnuplot script for the sweeps, their markers (one per sweep) and data,
// drawing to gnuplot's standard output in the format output's name ends in
// (.png or .svg). The frequency axis is linear under a decade and
// logarithmic above unless scale says, with at least four labelled tics.
std::string gnuplot_script(const std::vector<sweep> &sweeps,
                           const std::vector<filter_markers> &markers, const std::string &output,
                           const std::string &y_label, axis_scale scale);

// Draws them to output, whole or not at all. TALVIK_GNUPLOT names the gnuplot
// program if it is not "gnuplot" on the PATH.
bool draw_sweeps(const std::vector<sweep> &sweeps, const std::vector<filter_markers> &markers,
                 const std::string &output, const std::string &y_label, axis_scale scale,
                 std::string &error);

// The program TALVIK_GNUPLOT names, else name in the folders of PATH (split
// at separator, default_path where PATH is unset); a name with a folder mark
// in it is taken as it stands. The first folder mark joins folder and name.
// Empty when none is usable.
std::string find_gnuplot(const char *name, char separator, const char *folder_marks,
                         const char *default_path, bool (*usable)(const std::string &path));

// Whether the first bytes of a file are those of a picture in the format
// output's name ends in: a PNG signature, or an SVG's XML start.
bool is_picture(const std::string &output, const char *head, size_t size);

// Runs gnuplot on the script, its picture written to output, renamed into
// place once whole (one file per platform).
bool run_gnuplot(const std::string &script, const std::string &output, std::string &error);
