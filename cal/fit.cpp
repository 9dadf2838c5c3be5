#include "cal/fit.hpp"

#include "common/number.hpp"

#include <algorithm>
#include <cmath>

bool fit_detector(const std::vector<detector_step> &steps, const double *level,
                  double keep_intercept, detector_fit *fit, std::string *why) {
    size_t n = steps.size();
    if (n < 2) {
        *why = "two steps at least are needed for a slope";
        return false;
    }
    // The true level at each step, or relative to the 0 dB setting.
    std::vector<double> x(n), y(n);
    double mx = 0, my = 0;
    for (size_t i = 0; i < n; ++i) {
        x[i] = (level ? *level : 0) - steps[i].db;
        y[i] = steps[i].volts;
        mx += x[i] / static_cast<double>(n);
        my += y[i] / static_cast<double>(n);
    }
    double sxx = 0, sxy = 0;
    for (size_t i = 0; i < n; ++i) {
        sxx += (x[i] - mx) * (x[i] - mx);
        sxy += (x[i] - mx) * (y[i] - my);
    }
    double slope = sxx > 0 ? sxy / sxx : 0; // volts per dB
    if (!(slope > 0.001 && slope < 0.1)) {
        *why = "the detector's volts do not rise with the level (a slope of " +
               std::to_string(slope * 1000) + " mV per dB): is the attenuator in the path?";
        return false;
    }
    fit->slope_mv = slope * 1000;
    fit->intercept_dbm = level ? mx - my / slope : keep_intercept;
    // What slope and intercept give at each step, and what is left.
    std::vector<double> given(n), left(n);
    double mean = 0;
    for (size_t i = 0; i < n; ++i) {
        given[i] = y[i] / slope + fit->intercept_dbm;
        left[i] = x[i] - given[i];
        mean += left[i] / static_cast<double>(n);
    }
    fit->linearity.clear();
    fit->worst_db = 0;
    for (size_t i = 0; i < n; ++i) {
        double correction = level ? left[i] : left[i] - mean;
        if (std::fabs(correction) >= fit->worst_db) {
            fit->worst_db = std::fabs(correction);
            fit->worst = i;
        }
        fit->linearity.push_back({given[i], correction});
    }
    std::sort(fit->linearity.begin(), fit->linearity.end());
    return true;
}

bool read_steps(const std::string &text, std::vector<double> *steps) {
    steps->clear();
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = std::min(text.find(',', start), text.size());
        double db = 0;
        if (!parse_decimal(text.substr(start, comma - start).c_str(), 0, 150, &db) ||
            std::find(steps->begin(), steps->end(), db) != steps->end() || steps->size() == 64)
            return false;
        steps->push_back(db);
        start = comma + 1;
    }
    return steps->size() >= 2;
}
