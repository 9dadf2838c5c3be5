// talvik-tune: continuous sweeps for tuning a filter. The settings, the
// points of a sweep and how each is measured, saving and marker summaries;
// the live screen is in view.hpp.
#pragma once
#include "common/number.hpp"
#include "markers/markers.hpp"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct tune_settings {
    double start_hz = 1e6, stop_hz = 10e6;
    int points = 201;
    bool linear = false;
    int average = 1;
    std::string reference; // a results file; empty for none
    std::string save;      // where s (or the end of a run without a screen) saves
    long sweeps = 0;       // sweeps to run; 0: until quit
    double centre_hz = 0;  // --centre as given; 0: none
    std::string mask;      // a limit mask file; empty for none
};


// Reads the command line; false with a one-line reason, or with
// *done set and a status for --help and --version.
bool read_tune_settings(int argc, char **argv, tune_settings *settings, std::string *reason,
                        bool *done);

extern const char tune_usage[];

// One measured point.
struct tune_point {
    int32_t word;
    double hz;    // as talvik shows the word
    double level; // dBm
    bool overflow;
    bool timed_out; // a converter wait gave up
};

// The tuning words of a sweep: evenly spaced in frequency, or in its
// logarithm.
std::vector<int32_t> sweep_words(const tune_settings &settings);

// Whether every word of the sweep is above the one before, and so is its
// frequency as a results file prints it.
bool words_rise(const tune_settings &settings);

// Measures one point as talvik does, averaging `average` readings in the
// detector's volts. A wait abandoned (common/stop.hpp) ends it early: the
// caller, who asked for that, throws the point away.
tune_point measure_tune_point(int32_t word, int average);

// Measures a sweep's points in order into points (sized as words), each as
// measure_tune_point gives it. Where the port streams and one reading makes
// a point, whole points go to the port ahead. each(i), if given, is called
// once points[i] is in; false from it, or a stop, ends the sweep. Returns how
// many points are in.
size_t stream_tune_sweep(const std::vector<int32_t> &words, std::vector<tune_point> &points,
                         int average = 1, const std::function<bool(size_t)> &each = {});

// Levels against a reference: its level at each point's frequency,
// interpolated linearly in frequency, subtracted. A point is overflowed
// where a reference point it uses is.
std::vector<level_point> against(const std::vector<tune_point> &points,
                                 const std::vector<level_point> *reference);

// Whether the reference (named name) reaches from the first word to the
// last; false with the reason. A reference that ends short of the last word
// by no more than its own last step (talvik never measures a band's end
// frequency) covers it, its last level held there: *note says so, and is
// empty otherwise.
bool reference_covers(const std::vector<level_point> &reference, const std::vector<int32_t> &words,
                      const std::string &name, std::string *reason, std::string *note);

// Saves the points as a talvik results file, through a temporary file
// renamed into place; false with the reason.
bool save_sweep(const std::string &name, const std::vector<tune_point> &points,
                std::string *reason);

// The name a save takes without --save: talvik-tune-YYYYmmdd-HHMMSS.txt.
std::string default_save_name();

// name for k = 1, else with -k before its extension: tuned.txt, tuned-2.txt.
std::string numbered_name(const std::string &name, int k);

// Saves the points under the first free name of name, name-2, name-3 ...
// (never over a file, even one made meanwhile); *saved is the name taken.
// False with the reason.
bool save_sweep_new(const std::string &name, const std::vector<tune_point> &points,
                    std::string *saved, std::string *reason);

// Marker lines first to first + count - 1 of a sweep (line 0 names the
// kind), without their "NAME: ", joined by "; ".
std::string marker_summary(const std::vector<level_point> &points, const char *unit, size_t first,
                           size_t count, bool normalised = false);
