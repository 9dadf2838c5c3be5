// Drawing sweeps and their markers with gnuplot, run as a separate process.
#pragma once
#include "markers/markers.hpp"
#include "markers/mask.hpp"
#include "plot/sweep_file.hpp"

#include <string>
#include <vector>

enum class axis_scale { automatic, linear, logarithmic };

// How the picture looks: its title (the files' names where empty), the file
// it is normalised to, its size in pixels, the level axis's range.
struct picture_settings {
    std::string title;
    std::string reference;
    std::string y_label = "Level (dBm)";
    int width = 900, height = 600;
    bool range_given = false;
    double level_lo = 0, level_hi = 0;
    axis_scale scale = axis_scale::automatic;
    // A limit mask drawn (the region outside it shaded) and the points that
    // fail it marked; none where null.
    const limit_mask *mask = nullptr;
    std::vector<level_point> failing;
};

// The gnuplot script for the sweeps, their markers (one per sweep) and data,
// drawing to gnuplot's standard output in the format output's name ends in
// (.png or .svg). The frequency axis is linear under a decade and
// logarithmic above unless the settings say, with at least four labelled
// tics. Each marker is labelled with its name and frequency beside its point
// where no two labels meet and none leaves the plot, else numbered with a
// table beneath; each trace's results are written beneath the plot in its
// colour.
std::string gnuplot_script(const std::vector<sweep> &sweeps,
                           const std::vector<filter_markers> &markers, const std::string &output,
                           const picture_settings &settings);

// Draws them to output, whole or not at all. TALVIK_GNUPLOT names the gnuplot
// program if it is not "gnuplot" on the PATH.
bool draw_sweeps(const std::vector<sweep> &sweeps, const std::vector<filter_markers> &markers,
                 const std::string &output, const picture_settings &settings,
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
