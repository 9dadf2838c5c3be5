// The detector's calibration from the levels of an attenuator's steps: a
// least-squares line through volts against level, and what is left of each
// step (the linearity).
#pragma once
#include <string>
#include <vector>

struct detector_step {
    double db;    // the attenuator's setting
    double volts; // the detector's, averaged
};

struct detector_fit {
    double slope_mv = 0;       // mV per dB
    double intercept_dbm = 0;  // the level at which the detector gives 0 V
    // Corrections by the level slope and intercept give, rising levels.
    std::vector<std::pair<double, double>> linearity;
    double worst_db = 0;   // the largest correction's size
    size_t suspect = 0;    // the step furthest from the line through the others
    double suspect_db = 0; // how far, in dB
};

// Fits the steps. With a level (the generator's output at the attenuator's
// 0 dB, in dBm) the intercept is measured; without (null), the intercept is
// keep_intercept and the corrections have no mean. False with the reason
// when the steps cannot give a line (fewer than four levels, a flat or
// falling detector).
bool fit_detector(const std::vector<detector_step> &steps, const double *level,
                  double keep_intercept, detector_fit *fit, std::string *why);

// "0,10,20": rising or falling settings in dB, 4 to 64 of them, each 0 to
// 150 and none twice; false otherwise.
bool read_steps(const std::string &text, std::vector<double> *steps);
