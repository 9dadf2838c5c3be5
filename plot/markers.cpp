#include "plot/markers.hpp"

#include <cmath>

namespace {

// Where the level crosses target between points a and b, linear in frequency.
double crossing(const sweep_point &a, const sweep_point &b, double target) {
    if (b.level == a.level)
        return a.hz;
    return a.hz + (target - a.level) * (b.hz - a.hz) / (b.level - a.level);
}

} // namespace

sweep_markers find_markers(const sweep &s) {
    sweep_markers m;
    const auto &p = s.points;
    for (size_t i = 1; i < p.size(); ++i)
        if (p[i].level > p[m.peak].level)
            m.peak = i;
    double target = p[m.peak].level - 3.0;
    for (size_t i = m.peak; i-- > 0;) {
        if (p[i].level <= target) {
            m.lower_found = true;
            m.lower_hz = crossing(p[i], p[i + 1], target);
            break;
        }
    }
    for (size_t i = m.peak + 1; i < p.size(); ++i) {
        if (p[i].level <= target) {
            m.upper_found = true;
            m.upper_hz = crossing(p[i - 1], p[i], target);
            break;
        }
    }
    return m;
}

void print_markers(std::FILE *out, const sweep &s, const char *unit) {
    const char *name = s.name.c_str();
    if (s.points.empty()) {
        std::fprintf(out, "%s: no points\n", name);
        return;
    }
    sweep_markers m = find_markers(s);
    const sweep_point &peak = s.points[m.peak];
    const sweep_point &first = s.points.front();
    const sweep_point &last = s.points.back();
    std::fprintf(out, "%s: peak %.1f Hz, %.3f %s%s\n", name, peak.hz, peak.level, unit,
                 peak.overflow ? " (overflow)" : "");
    if (m.lower_found)
        std::fprintf(out, "%s: lower -3 dB point %.1f Hz\n", name, m.lower_hz);
    else
        std::fprintf(out,
                     "%s: lower -3 dB point outside the sweep: at its start, %.1f Hz, the level "
                     "is only %.3f dB below the peak\n",
                     name, first.hz, peak.level - first.level);
    if (m.upper_found)
        std::fprintf(out, "%s: upper -3 dB point %.1f Hz\n", name, m.upper_hz);
    else
        std::fprintf(out,
                     "%s: upper -3 dB point outside the sweep: at its end, %.1f Hz, the level "
                     "is only %.3f dB below the peak\n",
                     name, last.hz, peak.level - last.level);
    if (m.lower_found && m.upper_found)
        std::fprintf(out, "%s: -3 dB bandwidth %.1f Hz, centre %.1f Hz\n", name,
                     m.upper_hz - m.lower_hz, std::sqrt(m.lower_hz * m.upper_hz));
    else
        std::fprintf(out, "%s: -3 dB bandwidth unknown: a -3 dB point lies outside the sweep\n",
                     name);
}
