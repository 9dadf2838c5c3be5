#include "cal/fit.hpp"

#include "common/number.hpp"

#include <algorithm>
#include <cmath>

namespace {

struct line {
    double slope = 0; // volts per dB
    double mean_x = 0, mean_y = 0;
};

// Least squares through the points, all but `skip` (n for none).
line fit_line(const std::vector<double> &x, const std::vector<double> &y, size_t skip) {
    line l;
    double n = static_cast<double>(x.size() - (skip < x.size()));
    for (size_t i = 0; i < x.size(); ++i)
        if (i != skip) {
            l.mean_x += x[i] / n;
            l.mean_y += y[i] / n;
        }
    double sxx = 0, sxy = 0;
    for (size_t i = 0; i < x.size(); ++i)
        if (i != skip) {
            sxx += (x[i] - l.mean_x) * (x[i] - l.mean_x);
            sxy += (x[i] - l.mean_x) * (y[i] - l.mean_y);
        }
    l.slope = sxx > 0 ? sxy / sxx : 0;
    return l;
}

} // namespace

bool fit_detector(const std::vector<detector_step> &steps, const double *level,
                  double keep_intercept, detector_fit *fit, std::string *why) {
    size_t n = steps.size();
    if (n < 4) {
        *why = "four steps at least are needed: with fewer, a wrong one could not be told "
               "from the others";
        return false;
    }
    // The true level at each step, or relative to the 0 dB setting.
    std::vector<double> x(n), y(n);
    for (size_t i = 0; i < n; ++i) {
        x[i] = (level ? *level : 0) - steps[i].db;
        y[i] = steps[i].volts;
    }
    line all = fit_line(x, y, n);
    double slope = all.slope;
    if (!(slope > 0.001 && slope < 0.1)) {
        *why = "the detector's volts do not rise with the level (a slope of " +
               std::to_string(slope * 1000) + " mV per dB): is the attenuator in the path?";
        return false;
    }
    fit->slope_mv = slope * 1000;
    fit->intercept_dbm = level ? all.mean_x - all.mean_y / slope : keep_intercept;
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
        fit->worst_db = std::fmax(fit->worst_db, std::fabs(correction));
        fit->linearity.push_back({given[i], correction});
    }
    std::sort(fit->linearity.begin(), fit->linearity.end());
    // A wrong step pulls the whole line towards it, so that the others show
    // residuals too: the step to name is the one without which the others
    // lie closest to a line.
    double best = -1;
    for (size_t i = 0; i < n; ++i) {
        line others = fit_line(x, y, i);
        if (!(others.slope > 0))
            continue;
        auto off = [&](size_t j) {
            return std::fabs(x[j] - others.mean_x - (y[j] - others.mean_y) / others.slope);
        };
        double rest = 0;
        for (size_t j = 0; j < n; ++j)
            if (j != i)
                rest = std::fmax(rest, off(j));
        if (best < 0 || rest < best) {
            best = rest;
            fit->suspect = i;
            fit->suspect_db = off(i);
        }
    }
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
    return steps->size() >= 4;
}
