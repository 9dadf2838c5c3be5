#include "plot/markers.hpp"

#include <cmath>

namespace {

// Where the level crosses target between points a and b, linear in frequency.
double crossing(const sweep_point &a, const sweep_point &b, double target) {
    if (b.level == a.level)
        return a.hz;
    return a.hz + (target - a.level) * (b.hz - a.hz) / (b.level - a.level);
}

// One -3 dB point, or where the sweep stopped short of it.
void print_edge(std::FILE *out, const char *name, const char *side, bool found, double hz,
                const char *end_name, const sweep_point &end, double peak_level) {
    if (found)
        std::fprintf(out, "%s: %s -3 dB point %.1f Hz\n", name, side, hz);
    else
        std::fprintf(out,
                     "%s: %s -3 dB point outside the sweep: at its %s, %.1f Hz, the level is "
                     "only %.3f dB below the peak\n",
                     name, side, end_name, end.hz, peak_level - end.level);
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
    print_edge(out, name, "lower", m.lower_found, m.lower_hz, "start", first, peak.level);
    print_edge(out, name, "upper", m.upper_found, m.upper_hz, "end", last, peak.level);
    if (m.lower_found && m.upper_found)
        std::fprintf(out, "%s: -3 dB bandwidth %.1f Hz, centre %.1f Hz\n", name,
                     m.upper_hz - m.lower_hz, std::sqrt(m.lower_hz * m.upper_hz));
    else
        std::fprintf(out, "%s: -3 dB bandwidth unknown: a -3 dB point lies outside the sweep\n",
                     name);
}
