#include "markers/markers.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

const char *const kind_names[] = {"bandpass", "notch", "lowpass", "highpass", "unknown"};

// Within the two points, never beyond them.
double between(const level_point &a, const level_point &b, double target) {
    if (b.level == a.level)
        return a.hz;
    double t = std::clamp((target - a.level) / (b.level - a.level), 0.0, 1.0);
    return a.hz + t * (b.hz - a.hz);
}

// Walks from point `from` by step (+1 or -1) to the first point at or below
// target (at or above it, with up: a notch's edges climb out of it).
crossing find_crossing(const std::vector<level_point> &p, size_t from, int step, double target,
                       double reference, bool up = false) {
    crossing c;
    // A start already past the level (a peak below a stated level): there is
    // no crossing to find, only how far off it is.
    if (up ? p[from].level >= target : p[from].level <= target) {
        c.already = true;
        c.end_hz = p[from].hz;
        c.end_down = reference - p[from].level;
        return c;
    }
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
    char text[240];
    std::snprintf(text, sizeof text, pattern, a, b, c);
    return text;
}

std::string outside(const crossing &c, const char *side) {
    char text[200];
    if (c.already) {
        std::snprintf(text, sizeof text,
                      "%s: never reached: at %.1f Hz, where the walk starts, the level is "
                      "already %.3f dB down",
                      side, c.end_hz, c.end_down);
        return text;
    }
    std::snprintf(text, sizeof text,
                  "%s outside the sweep: at its %s, %.1f Hz, the level is only %.3f dB down", side,
                  side[0] == 'l' ? "start" : "end", c.end_hz, c.end_down);
    return text;
}

// The points whose levels can be trusted: an overflowed reading is no level.
std::vector<level_point> levels_of(const std::vector<level_point> &points) {
    std::vector<level_point> out;
    for (const auto &q : points)
        if (!q.overflow)
            out.push_back(q);
    return out;
}

// The spread of the levels over the first (or last) tenth of the span.
double spread_of_tenth(const std::vector<level_point> &p, bool at_start, double *level) {
    double span = p.back().hz - p.front().hz;
    double lo = INFINITY, hi = -INFINITY;
    for (const auto &q : p) {
        bool in = at_start ? q.hz <= p.front().hz + span / 10 : q.hz >= p.back().hz - span / 10;
        if (in) {
            lo = std::fmin(lo, q.level);
            hi = std::fmax(hi, q.level);
        }
    }
    *level = hi;
    return hi - lo;
}

// The shape, by the rules: a band-pass rises and falls at least 3 dB; a
// notch has flat shoulders within 1 dB of each other; a low- or high-pass
// has a flat tenth of the span and falls 3 dB from it.
filter_kind shape_of(const std::vector<level_point> &p, std::string *why, filter_kind *leaning) {
    auto say = [&](const std::string &text) {
        if (why)
            *why = text;
        return filter_kind::none;
    };
    if (p.size() < 3) {
        *leaning = filter_kind::lowpass;
        return say("too few points to tell a filter's shape");
    }
    double high = p.front().level, low = p.front().level;
    for (const auto &q : p) {
        high = std::fmax(high, q.level);
        low = std::fmin(low, q.level);
    }
    double first = p.front().level, last = p.back().level;
    double hump = high - std::fmax(first, last); // a peak above both ends
    double dip = std::fmin(first, last) - low;   // a minimum below both ends
    *leaning = hump >= 3 && hump >= dip ? filter_kind::bandpass
               : dip >= 3              ? filter_kind::notch
               : first >= last         ? filter_kind::lowpass
                                       : filter_kind::highpass;
    if (high - low < 3)
        return say(std::string("no edge on this span: the level ") +
                   (last >= first ? "rises " : "falls ") + format("%.1f", high - low) +
                   " dB over it; no pass band here (use --ref or --level)");
    if (*leaning == filter_kind::bandpass)
        return filter_kind::bandpass;
    if (*leaning == filter_kind::notch) {
        double start, end;
        bool flat = spread_of_tenth(p, true, &start) <= 1 && spread_of_tenth(p, false, &end) <= 1;
        if (flat && std::fabs(start - end) <= 1)
            return filter_kind::notch;
        return say(format("notch deeper than %.1f dB: the band lies outside this span (use --ref "
                          "or --level)",
                          dip));
    }
    bool falling = *leaning == filter_kind::lowpass;
    double band;
    double spread = spread_of_tenth(p, falling, &band);
    double fall = band - (falling ? last : first);
    if (spread <= 1 && fall >= 3)
        return *leaning;
    return say(std::string(falling ? "upper skirt only: falls " : "lower skirt only: rises ") +
               format("%.1f dB over the span; no pass band here (use --ref or --level)",
                      high - low));
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

filter_kind kind_of(const std::vector<level_point> &all, std::string *why) {
    std::vector<level_point> p = levels_of(all);
    filter_kind leaning;
    if (p.empty()) {
        if (why)
            *why = "every point overflowed";
        return filter_kind::none;
    }
    return shape_of(p, why, &leaning);
}

read_level level_at(const std::vector<level_point> &all, double hz) {
    std::vector<level_point> p = levels_of(all);
    read_level r;
    r.hz = hz;
    for (size_t i = 0; i + 1 < p.size() && !r.inside; ++i)
        if (p[i].hz <= hz && hz <= p[i + 1].hz) {
            r.inside = true;
            r.level = p[i].level + (p[i + 1].level - p[i].level) * (hz - p[i].hz) /
                                       (p[i + 1].hz - p[i].hz);
        }
    if (p.size() == 1 && p[0].hz == hz)
        r = {hz, p[0].level, true};
    return r;
}

filter_markers find_markers(const std::vector<level_point> &all, const marker_settings &s) {
    filter_markers m;
    std::vector<level_point> p = levels_of(all);
    m.levels = p.size();
    m.left_out = all.size() - p.size();
    for (const auto &q : all)
        if (q.overflow) {
            m.left_from = m.left_from == 0 ? q.hz : m.left_from;
            m.left_to = q.hz;
        }
    m.drops = s.drops;
    m.sf_narrow = s.sf_narrow;
    m.sf_wide = s.sf_wide;
    m.lower.assign(s.drops.size(), crossing());
    m.upper.assign(s.drops.size(), crossing());
    for (double hz : s.at)
        m.at.push_back(level_at(all, hz));
    for (double hz : s.delta)
        m.delta.push_back(level_at(all, hz));
    if (p.empty()) {
        m.kind = filter_kind::none;
        m.cannot = "every point overflowed";
        return m;
    }
    double stated = s.normalised && std::isnan(s.level) ? 0 : s.level;
    m.stated = !std::isnan(stated);
    filter_kind leaning;
    std::string why;
    filter_kind shown = shape_of(p, &why, &leaning);
    m.kind = s.kind_given ? s.kind : shown;
    if (m.kind == filter_kind::none && m.stated)
        m.kind = leaning; // a stated level: the direction says which edge this is
    if (m.kind == filter_kind::none) {
        m.cannot = why;
        return m;
    }
    size_t peak = 0, bottom = 0;
    for (size_t i = 1; i < p.size(); ++i) {
        if (p[i].level > p[peak].level)
            peak = i;
        if (p[i].level < p[bottom].level)
            bottom = i;
    }
    m.peak_hz = p[peak].hz;
    m.peak_level = p[peak].level;
    for (size_t i = 0; i < all.size(); ++i)
        if (all[i].hz == m.peak_hz && !all[i].overflow)
            m.peak_by_overflow = (i > 0 && all[i - 1].overflow) ||
                                 (i + 1 < all.size() && all[i + 1].overflow);
    if (m.kind == filter_kind::notch) {
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
            // log or linear frequency) that stays near the lowest reading is
            // believed; uneven points send a parabola's vertex far below
            // anything real.
            auto within = [](double u, double v) { return std::fabs(u - v) <= 0.1 * std::fmax(u, v); };
            bool even = within(std::log(x1 / x0), std::log(x2 / x1)) || within(x1 - x0, x2 - x1);
            if (a > 0 && x > x0 && x < x2 && even && level >= p[bottom].level - 6) {
                m.notch_hz = x;
                m.notch_level = level;
                m.fitted = true;
            }
        }
        if (m.stated) {
            m.reference = stated;
        } else {
            // The band either side: the highest level below and above the notch.
            double below = p[0].level, above = p.back().level;
            for (size_t i = 0; i < bottom; ++i)
                below = std::fmax(below, p[i].level);
            for (size_t i = bottom; i < p.size(); ++i)
                above = std::fmax(above, p[i].level);
            m.reference = (below + above) / 2;
        }
        m.depth = m.reference - m.notch_level;
        // The edges are where the level climbs back to the first drop below the band.
        if (!s.drops.empty()) {
            m.lower[0] = find_crossing(p, bottom, -1, m.reference - s.drops[0], m.reference, true);
            m.upper[0] = find_crossing(p, bottom, 1, m.reference - s.drops[0], m.reference, true);
        }
        return m;
    }
    // A stated level: the bandwidths hang from the peak where normalised
    // (the loss is the peak's distance from 0 dB), from the level otherwise.
    m.reference = m.stated && !s.normalised ? stated : m.peak_level;
    if (m.stated)
        m.loss = stated - m.peak_level;
    for (size_t k = 0; k < s.drops.size(); ++k) {
        double target = m.reference - s.drops[k];
        if (m.kind != filter_kind::lowpass)
            m.lower[k] = find_crossing(p, peak, -1, target, m.reference);
        if (m.kind != filter_kind::highpass)
            m.upper[k] = find_crossing(p, peak, 1, target, m.reference);
    }
    if (m.kind == filter_kind::bandpass && !s.drops.empty() && m.lower[0].found &&
        m.upper[0].found) {
        // The deepest valley of the pass band: a point lower than both its
        // neighbours, between the first drop's points. None: no ripple.
        double lowest = m.peak_level;
        for (size_t i = 1; i + 1 < p.size(); ++i)
            if (p[i].hz > m.lower[0].hz && p[i].hz < m.upper[0].hz &&
                p[i].level < p[i - 1].level && p[i].level <= p[i + 1].level)
                lowest = std::fmin(lowest, p[i].level);
        m.ripple = m.peak_level - lowest;
    }
    return m;
}

filter_markers find_markers(const std::vector<level_point> &points, filter_kind kind) {
    marker_settings s;
    s.kind_given = true;
    s.kind = kind;
    return find_markers(points, s);
}

std::vector<std::string> marker_lines(const std::string &name, const filter_markers &m,
                                      const char *unit) {
    std::vector<std::string> lines;
    auto add = [&](const std::string &text) { lines.push_back(name + ": " + text); };
    add(std::string("kind ") + kind_name(m.kind));
    auto tail = [&]() {
        for (const auto &r : m.at)
            add(r.inside ? format("marker %.1f Hz: ", r.hz) + format("%.3f ", r.level) + unit
                         : format("marker %.1f Hz: outside the sweep", r.hz));
        if (m.delta.size() == 2) {
            const read_level &a = m.delta[0], &b = m.delta[1];
            if (a.inside && b.inside)
                add(format("delta %.1f Hz to ", a.hz) + format("%.1f Hz: ", b.hz) +
                    format("%.1f Hz, %.3f dB", b.hz - a.hz, b.level - a.level));
            else
                add(format("delta %.1f Hz to ", a.hz) +
                    format("%.1f Hz: outside the sweep", b.hz));
        }
        if (m.left_out)
            add(format("%.0f overflowed points left out (", static_cast<double>(m.left_out)) +
                format("%.1f to %.1f Hz): their levels are unknown", m.left_from, m.left_to));
    };
    if (m.kind == filter_kind::none) {
        if (m.levels == 0)
            add("no markers: every point overflowed");
        else
            add(m.cannot);
        tail();
        return lines;
    }
    if (m.kind == filter_kind::notch) {
        add(format("notch %.1f Hz, ", m.notch_hz) + format("%.3f ", m.notch_level) + unit +
            format(", depth %.3f dB", m.depth) +
            (m.fitted ? "" : " (the lowest point measured: too few points about it to fit)"));
        if (!m.drops.empty()) {
            const crossing &lo = m.lower[0], &hi = m.upper[0];
            std::string edges = format("-%g dB ", m.drops[0]);
            edges += lo.found ? format("%.1f Hz", lo.hz) : outside(lo, "lower");
            edges += ", ";
            edges += hi.found ? format("%.1f Hz", hi.hz) : outside(hi, "upper");
            if (lo.found && hi.found)
                edges += format(", bandwidth %.1f Hz", hi.hz - lo.hz);
            add(edges);
        }
        tail();
        return lines;
    }
    add(format("peak %.1f Hz, ", m.peak_hz) + format("%.3f ", m.peak_level) + unit +
        (std::isnan(m.loss) ? "" : format(", loss %.3f dB", m.loss)) +
        (m.peak_by_overflow ? " (beside an overflowed point: the true peak may lie there)" : ""));
    std::vector<double> widths(m.drops.size(), 0);
    std::vector<bool> known(m.drops.size(), false);
    for (size_t k = 0; k < m.drops.size(); ++k) {
        const crossing &lo = m.lower[k], &hi = m.upper[k];
        std::string text = format("-%g dB ", m.drops[k]);
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
        }
        add(text);
    }
    if (m.kind == filter_kind::bandpass) {
        if (!std::isnan(m.ripple))
            add(format("ripple %.3f dB", m.ripple));
        // The shape factor: the wider bandwidth over the narrower.
        int narrow = -1, wide = -1;
        for (size_t k = 0; k < m.drops.size(); ++k) {
            if (m.drops[k] == m.sf_narrow)
                narrow = static_cast<int>(k);
            if (m.drops[k] == m.sf_wide)
                wide = static_cast<int>(k);
        }
        if (narrow >= 0 && wide >= 0) {
            std::string label = format("shape factor %g/%g", m.sf_wide, m.sf_narrow);
            if (known[narrow] && known[wide]) {
                add(label + format(" %.2f", widths[wide] / widths[narrow]));
            } else {
                const crossing &lo = m.lower[known[narrow] ? wide : narrow];
                const crossing &hi = m.upper[known[narrow] ? wide : narrow];
                double reached = std::fmin(lo.found ? INFINITY : lo.end_down,
                                           hi.found ? INFINITY : hi.end_down);
                add(label + format(": the sweep falls only %.1f dB, %.1f dB short of ", reached,
                                   m.drops[known[narrow] ? wide : narrow] - reached) +
                    format("-%g dB", m.drops[known[narrow] ? wide : narrow]));
            }
        }
    }
    tail();
    return lines;
}
