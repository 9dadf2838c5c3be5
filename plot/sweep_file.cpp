#include "plot/sweep_file.hpp"

#include <cmath>
#include <cstdio>

bool read_sweep(const std::string &path, sweep &out, std::string &error) {
    results_file file;
    if (!read_results(path, file, error))
        return false;
    out.name = path;
    out.points = std::move(file.points);
    out.normalised = file.normalised;
    out.smooth.clear();
    return true;
}

bool normalise(sweep &s, const sweep &ref, std::string &error) {
    if (s.points.empty())
        return true;
    if (ref.points.empty()) {
        error = ref.name + ": no points to normalise against";
        return false;
    }
    // Both print frequencies at one decimal: a twentieth of a hertz is the same point.
    double first = ref.points.front().hz - 0.05, last = ref.points.back().hz + 0.05;
    if (s.points.front().hz < first || s.points.back().hz > last) {
        char text[240];
        std::snprintf(text, sizeof text,
                      " reaches %.1f to %.1f Hz, beyond the reference's %.1f to %.1f Hz: levels "
                      "are never guessed beyond a reference's ends",
                      s.points.front().hz, s.points.back().hz, ref.points.front().hz,
                      ref.points.back().hz);
        error = s.name + text + " (" + ref.name + ")";
        return false;
    }
    size_t at = 0;
    for (auto &p : s.points) {
        double level = 0;
        bool overflow = false;
        reference_at(ref.points, p.hz, &at, &level, &overflow);
        p.level -= level;
        p.overflow = p.overflow || overflow;
    }
    s.normalised = true;
    return true;
}

filter_markers sweep_markers(sweep &s, double raw_quantum, marker_settings settings, int smooth) {
    settings.normalised = s.normalised;
    settings.quantum = raw_quantum;
    settings.noise = sweep_noise(s.points);
    settings.smoothed = smooth;
    if (smooth <= 1)
        return find_markers(s.points, settings);
    s.smooth = smoothed(s.points, smooth);
    settings.noise /= std::sqrt(static_cast<double>(smooth)); // averaged, not estimated again
    return find_markers(s.smooth, settings);
}
