#include "markers/markers.hpp"

#include <cmath>
#include <cstdio>

namespace {

const char *const kind_names[] = {"bandpass", "notch", "lowpass", "highpass"};

double between(const level_point &a, const level_point &b, double target) {
    if (b.level == a.level)
        return a.hz;
    return a.hz + (target - a.level) * (b.hz - a.hz) / (b.level - a.level);
}

// Walks from point `from` by step (+1 or -1) to the first point at or below
// target (at or above it, with up: a notch's edges climb out of it).
crossing find_crossing(const std::vector<level_point> &p, size_t from, int step, double target,
                       double reference, bool up = false) {
    crossing c;
    for (size_t i = from;;) {
        size_t next = i + static_cast<size_t>(step);
        if (step < 0 ? i == 0 : next >= p.size()) {
            c.end_hz = p[i].hz;
            c.end_down = reference - p[i].level;
            return c;
        }
        if (up ? p[next].level >= target : p[next].level <= target) {
            c.found = true;
            c.hz = step > 0 ? between(p[i], p[next], target) : between(p[next], p[i], target);
            return c;
        }
        i = next;
    }
}

std::string format(const char *pattern, double a, double b = 0, double c = 0) {
    char text[200];
    std::snprintf(text, sizeof text, pattern, a, b, c);
    return text;
}

std::string outside(const crossing &c, const char *side) {
    char text[200];
    std::snprintf(text, sizeof text,
                  "%s outside the sweep: at its %s, %.1f Hz, the level is only %.3f dB down", side,
                  side[0] == 'l' ? "start" : "end", c.end_hz, c.end_down);
    return text;
}

} // namespace

const char *kind_name(filter_kind kind) { return kind_names[static_cast<int>(kind)]; }

bool kind_from_name(const char *text, filter_kind *kind) {
    for (int i = 0; i < 4; ++i)
        if (std::string(text) == kind_names[i]) {
            *kind = static_cast<filter_kind>(i);
            return true;
        }
    return false;
}

namespace {

// The points whose levels can be trusted: an overflowed reading is no level.
std::vector<level_point> levels_of(const std::vector<level_point> &points) {
    std::vector<level_point> out;
    for (const auto &q : points)
        if (!q.overflow)
            out.push_back(q);
    return out;
}

} // namespace

filter_kind kind_of(const std::vector<level_point> &all) {
    std::vector<level_point> p = levels_of(all);
    if (p.empty())
        return filter_kind::lowpass;
    double high = p.front().level, low = p.front().level;
    for (const auto &q : p) {
        high = std::fmax(high, q.level);
        low = std::fmin(low, q.level);
    }
    double first = p.front().level, last = p.back().level;
    double hump = high - std::fmax(first, last); // a peak above both ends
    double dip = std::fmin(first, last) - low;   // a minimum below both ends
    if (hump >= 3 && hump >= dip)
        return filter_kind::bandpass;
    if (dip >= 3)
        return filter_kind::notch;
    return first >= last ? filter_kind::lowpass : filter_kind::highpass;
}

filter_markers find_markers(const std::vector<level_point> &all, filter_kind kind) {
    filter_markers m;
    m.kind = kind;
    std::vector<level_point> p = levels_of(all);
    m.levels = p.size();
    m.left_out = all.size() - p.size();
    if (p.empty())
        return m;
    size_t peak = 0, bottom = 0;
    for (size_t i = 1; i < p.size(); ++i) {
        if (p[i].level > p[peak].level)
            peak = i;
        if (p[i].level < p[bottom].level)
            bottom = i;
    }
    m.peak_hz = p[peak].hz;
    m.peak_level = p[peak].level;
    if (kind == filter_kind::notch) {
        // The bottom between the points either side: the vertex of the
        // parabola through the three, in dB against frequency.
        m.notch_hz = p[bottom].hz;
        m.notch_level = p[bottom].level;
        if (bottom > 0 && bottom + 1 < p.size()) {
            double x0 = p[bottom - 1].hz, x1 = p[bottom].hz, x2 = p[bottom + 1].hz;
            double y0 = p[bottom - 1].level;
            double d01 = (p[bottom].level - y0) / (x1 - x0);
            double d12 = (p[bottom + 1].level - p[bottom].level) / (x2 - x1);
            double a = (d12 - d01) / (x2 - x0);
            double x = (x0 + x1) / 2 - d01 / (2 * a);
            double level = y0 + d01 * (x - x0) + a * (x - x0) * (x - x1);
            // Only a fit through evenly spaced neighbours (within 10 % in
            // log or linear frequency) that stays near the lowest reading is believed;
            // uneven points send a parabola's vertex far below anything real.
            auto within = [](double a, double b) { return std::fabs(a - b) <= 0.1 * std::fmax(a, b); };
            bool even = within(std::log(x1 / x0), std::log(x2 / x1)) || within(x1 - x0, x2 - x1);
            if (a > 0 && x > x0 && x < x2 && even && level >= p[bottom].level - 6) {
                m.notch_hz = x;
                m.notch_level = level;
                m.fitted = true;
            }
        }
        // The band either side: the highest level below and above the notch.
        double below = p[0].level, above = p.back().level;
        for (size_t i = 0; i < bottom; ++i)
            below = std::fmax(below, p[i].level);
        for (size_t i = bottom; i < p.size(); ++i)
            above = std::fmax(above, p[i].level);
        m.reference = (below + above) / 2;
        m.depth = m.reference - m.notch_level;
        // The edges are where the level climbs back to 3 dB below the band.
        m.lower[0] = find_crossing(p, bottom, -1, m.reference - 3, m.reference, true);
        m.upper[0] = find_crossing(p, bottom, 1, m.reference - 3, m.reference, true);
        return m;
    }
    for (size_t i = 0; i < all.size(); ++i)
        if (all[i].hz == m.peak_hz && !all[i].overflow)
            m.peak_by_overflow = (i > 0 && all[i - 1].overflow) ||
                                 (i + 1 < all.size() && all[i + 1].overflow);
    m.reference = m.peak_level;
    for (int k = 0; k < 3; ++k) {
        double target = m.reference - marker_drops[k];
        if (kind != filter_kind::lowpass)
            m.lower[k] = find_crossing(p, peak, -1, target, m.reference);
        if (kind != filter_kind::highpass)
            m.upper[k] = find_crossing(p, peak, 1, target, m.reference);
    }
    return m;
}

std::vector<std::string> marker_lines(const std::string &name, const filter_markers &m,
                                      const char *unit) {
    std::vector<std::string> lines;
    auto add = [&](const std::string &text) { lines.push_back(name + ": " + text); };
    add(std::string("kind ") + kind_name(m.kind));
    if (m.levels == 0) {
        add("no markers: every point overflowed");
        return lines;
    }
    if (m.kind == filter_kind::notch) {
        add(format("notch %.1f Hz, ", m.notch_hz) + format("%.3f ", m.notch_level) + unit +
            format(", depth %.3f dB", m.depth) +
            (m.fitted ? "" : " (the lowest point measured: too few points about it to fit)"));
        const crossing &lo = m.lower[0], &hi = m.upper[0];
        std::string edges = "-3 dB ";
        edges += lo.found ? format("%.1f Hz", lo.hz) : outside(lo, "lower");
        edges += ", ";
        edges += hi.found ? format("%.1f Hz", hi.hz) : outside(hi, "upper");
        if (lo.found && hi.found)
            edges += format(", bandwidth %.1f Hz", hi.hz - lo.hz);
        add(edges);
        if (m.left_out)
            add(format("%.0f overflowed points left out: their levels are unknown", static_cast<double>(m.left_out)));
        return lines;
    }
    add(format("peak %.1f Hz, ", m.peak_hz) + format("%.3f ", m.peak_level) + unit +
        (m.peak_by_overflow ? " (beside an overflowed point: the true peak may lie there)" : ""));
    double widths[3] = {0, 0, 0};
    bool known[3] = {false, false, false};
    for (int k = 0; k < 3; ++k) {
        const crossing &lo = m.lower[k], &hi = m.upper[k];
        std::string text = format("-%g dB ", marker_drops[k]);
        if (m.kind == filter_kind::bandpass) {
            text += lo.found ? format("%.1f Hz", lo.hz) : outside(lo, "lower");
            text += ", ";
            text += hi.found ? format("%.1f Hz", hi.hz) : outside(hi, "upper");
            if (lo.found && hi.found) {
                known[k] = true;
                widths[k] = hi.hz - lo.hz;
                text += format(", bandwidth %.1f Hz", widths[k]);
                if (k == 0) {
                    double centre = std::sqrt(lo.hz * hi.hz);
                    text += format(", centre %.1f Hz, Q %.2f", centre, centre / widths[k]);
                }
            }
        } else {
            const crossing &c = m.kind == filter_kind::lowpass ? hi : lo;
            if (c.found)
                text += format("cutoff %.1f Hz", c.hz);
            else
                text += outside(c, m.kind == filter_kind::lowpass ? "upper" : "lower");
            if (k == 1)
                continue; // -6 dB says little of a low- or high-pass
        }
        add(text);
    }
    if (known[1] && known[2])
        add(format("shape factor %.2f", widths[2] / widths[1]));
    if (m.left_out)
        add(format("%.0f overflowed points left out: their levels are unknown", static_cast<double>(m.left_out)));
    return lines;
}
