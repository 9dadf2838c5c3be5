#include "markers/markers.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

const char *const kind_names[] = {"bandpass", "notch", "lowpass", "highpass", "unknown"};

// Points either side of a crossing this far apart in level leave the edge
// anywhere between them; an extreme this far from both neighbours may lie
// far beyond what was read.
const double coarse_db = 3, undersampled_db = 6;
const double flat_db = 0.1; // a pass band is flat within this over a tenth of the span
// Points across a pass band that would show a few ripples' valleys: fewer
// may all fall on its peaks.
const size_t ripple_points = 16;

// Values that print as zero print without a sign.
double unsigned_zero(double v) { return std::fabs(v) < 5e-4 ? 0.0 : v; }

std::string format(const char *pattern, double a, double b = 0, double c = 0) {
    a = unsigned_zero(a);
    b = unsigned_zero(b);
    c = unsigned_zero(c);
    char text[240];
    std::snprintf(text, sizeof text, pattern, a, b, c);
    return text;
}

// Within the two points, never beyond them.
double between(const level_point &a, const level_point &b, double target) {
    if (b.level == a.level)
        return a.hz;
    double t = std::clamp((target - a.level) / (b.level - a.level), 0.0, 1.0);
    return a.hz + t * (b.hz - a.hz);
}

bool past(double level, double target, bool up) { return up ? level >= target : level <= target; }

// Where the level wanders back and forth through the target about the
// crossing between points i and next, the edge lies anywhere in that stretch.
void check_wander(const std::vector<level_point> &p, size_t from, size_t i, size_t next,
                  int step, double target, double noise, bool up, crossing *c) {
    if (noise <= flat_db)
        return;
    double band = 2 * noise;
    // The stretch from the first reading within the noise of the target to
    // the last, along the walk: the true edge lies anywhere in it.
    size_t inner = i, outer = next;
    for (size_t k = i;; k -= static_cast<size_t>(step)) {
        if (p[k].level < target + band && !up)
            inner = k;
        if (p[k].level > target - band && up)
            inner = k;
        if (k == from || (step > 0 ? k == 0 : k + 1 >= p.size()))
            break;
    }
    for (size_t k = next; k < p.size(); k += static_cast<size_t>(step)) {
        if (std::fabs(p[k].level - target) < band)
            outer = k;
        if (step < 0 && k == 0)
            break;
    }
    bool back_and_forth = inner != i || outer != next;
    if (!back_and_forth)
        return;
    c->wanders = true;
    c->wander_from = std::fmin(p[inner].hz, p[outer].hz);
    c->wander_to = std::fmax(p[inner].hz, p[outer].hz);
    // Through a straight stretch of slope the readings within the noise of
    // the level lie evenly about the edge: it is the stretch's middle, to
    // half its width, where that stretch is short beside the walk to it.
    double width = c->wander_to - c->wander_from;
    c->hz = (c->wander_from + c->wander_to) / 2;
    c->uncertainty = width / 2 + (c->b_hz - c->a_hz) / 2;
    c->placed = width <= std::fabs(c->hz - p[from].hz) / 3;
}

// Walks from point `from` by step (+1 or -1) to the first point at or below
// target (at or above it, with up: a notch's edges climb out of it).
crossing find_crossing(const std::vector<level_point> &p, size_t from, int step, double target,
                       double reference, double noise, double resolution, bool up = false) {
    crossing c;
    // A start already past the level (a peak below a stated level): there is
    // no crossing to find, only how far off it is.
    if (past(p[from].level, target, up)) {
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
        if (past(p[next].level, target, up)) {
            c.found = true;
            const level_point &a = step > 0 ? p[i] : p[next], &b = step > 0 ? p[next] : p[i];
            c.hz = between(a, b, target);
            c.a_hz = a.hz;
            c.b_hz = b.hz;
            c.step_db = std::fabs(b.level - a.level);
            // (in noise, only a difference the noise cannot make)
            c.coarse = c.step_db > coarse_db + (noise > flat_db ? 2 * resolution : 0);
            // Half the step, or all of it; and what the readings' own
            // resolution moves the level by, along the slope between them.
            c.uncertainty = (b.hz - a.hz) / (c.coarse ? 1 : 2);
            if (c.step_db > 0)
                c.uncertainty += noise > flat_db
                                     ? resolution * (b.hz - a.hz) / c.step_db
                                     : std::fmin(b.hz - a.hz,
                                                 resolution / 2 * (b.hz - a.hz) / c.step_db);
            check_wander(p, from, i, next, step, target, noise, up, &c);
            return c;
        }
        i = next;
    }
}

// An edge found between two levels with an overflowed point between them is
// not an edge the sweep shows.
void across_overflow(const std::vector<level_point> &all, crossing *c) {
    for (const auto &q : all)
        if (c->found && q.overflow && c->a_hz < q.hz && q.hz < c->b_hz) {
            c->found = false;
            c->overflow_hz = q.hz;
        }
}

// The points whose levels can be trusted: an overflowed reading is no level.
std::vector<level_point> levels_of(const std::vector<level_point> &points) {
    std::vector<level_point> out;
    for (const auto &q : points)
        if (!q.overflow)
            out.push_back(q);
    return out;
}

// The spread of the levels over the first (or last) tenth of the span, and
// the highest of them.
// In noise, the tenth's mean is its level and the difference between its
// halves' means its slope: the highest and lowest readings are the noise's.
double spread_of_tenth(const std::vector<level_point> &p, bool at_start, bool noisy,
                       double *level) {
    double span = p.back().hz - p.front().hz;
    double lo = INFINITY, hi = -INFINITY, sum[2] = {0, 0};
    int count[2] = {0, 0};
    for (const auto &q : p) {
        double from = at_start ? p.front().hz : p.back().hz - span / 10;
        bool in = q.hz >= from && q.hz <= from + span / 10;
        if (in) {
            lo = std::fmin(lo, q.level);
            hi = std::fmax(hi, q.level);
            int half = q.hz > from + span / 20 ? 1 : 0;
            sum[half] += q.level;
            ++count[half];
        }
    }
    if (!noisy || !count[0] || !count[1]) {
        *level = hi;
        return hi - lo;
    }
    *level = (sum[0] + sum[1]) / (count[0] + count[1]);
    return std::fabs(sum[0] / count[0] - sum[1] / count[1]);
}

trace_shape shape_of_kind(filter_kind kind) {
    switch (kind) {
    case filter_kind::notch:
        return trace_shape::valley;
    case filter_kind::lowpass:
        return trace_shape::falling;
    case filter_kind::highpass:
        return trace_shape::rising;
    default:
        return trace_shape::peak;
    }
}

// What the trace shows: its extremes, its leaning shape, and for each kind
// whether the span shows that kind's pass band (with the reason where not).
struct trace_facts {
    size_t peak = 0, bottom = 0;
    double first = 0, last = 0, high = 0, low = 0;
    trace_shape leaning = trace_shape::peak;
    double flat = flat_db; // the flatness allowed, widened by noise
    double edge = 3;       // the smallest edge, widened by noise
    double start_band = 0, end_band = 0, start_spread = 0, end_spread = 0;
};

trace_facts facts_of(const std::vector<level_point> &p, double noise) {
    trace_facts f;
    for (size_t i = 1; i < p.size(); ++i) {
        if (p[i].level > p[f.peak].level)
            f.peak = i;
        if (p[i].level < p[f.bottom].level)
            f.bottom = i;
    }
    f.first = p.front().level;
    f.last = p.back().level;
    f.high = p[f.peak].level;
    f.low = p[f.bottom].level;
    double hump = f.high - std::fmax(f.first, f.last); // a peak above both ends
    double dip = std::fmin(f.first, f.last) - f.low;   // a minimum below both ends
    double tilt = std::fabs(f.last - f.first);
    // Three dB above both ends is a peak's shape whatever else the span
    // holds; under that, the largest of the three movements says.
    double least = 3 + 3 * noise;
    if (hump >= least && hump >= dip)
        f.leaning = trace_shape::peak;
    else if (dip >= least || (dip > hump && dip > tilt))
        f.leaning = trace_shape::valley;
    else if (hump > tilt)
        f.leaning = trace_shape::peak;
    else
        f.leaning = f.first >= f.last ? trace_shape::falling : trace_shape::rising;
    f.flat = std::fmax(flat_db, 4 * noise);
    f.edge = 3 + 3 * noise; // a 3 dB edge, beyond what the noise makes
    f.start_spread = spread_of_tenth(p, true, noise > flat_db, &f.start_band);
    f.end_spread = spread_of_tenth(p, false, noise > flat_db, &f.end_band);
    return f;
}

// Whether the span shows this kind's pass band; where not, why (without the
// advice, which depends on what else the user gave).
bool shows_band(const std::vector<level_point> &p, const trace_facts &f, filter_kind kind,
                std::string *why) {
    auto say = [&](const std::string &text) {
        *why = text;
        return false;
    };
    if (p.size() < 3)
        return say("too few points to tell a filter's shape");
    if (f.high - f.low < f.edge)
        return say(std::string(shape_words(f.leaning)) +
                   format(" of only %.1f dB over the span: no %.3g dB edge, no pass band here",
                          f.high - f.low, f.edge));
    auto not_flat = [&](const char *where, double spread) {
        return format("the level moves %.3f dB over the ", spread) + where +
               format(" tenth of the span, more than %.3g dB: no flat pass band there", f.flat);
    };
    switch (kind) {
    case filter_kind::bandpass:
        if (f.high - f.first >= f.edge && f.high - f.last >= f.edge)
            return true;
        return say(format("a peak that does not both rise and fall %.3g dB (", f.edge) +
                   format("%.1f dB and %.1f dB): no pass band here", f.high - f.first,
                          f.high - f.last));
    case filter_kind::notch: {
        double dip = std::fmin(f.first, f.last) - f.low;
        if (dip < f.edge)
            return say(format("no valley %.3g dB deep on this span ", f.edge) +
                       format("(%.1f dB)", dip));
        if (f.start_spread > f.flat)
            return say(format("a valley at least %.1f dB deep, but ", dip) +
                       not_flat("first", f.start_spread));
        if (f.end_spread > f.flat)
            return say(format("a valley at least %.1f dB deep, but ", dip) +
                       not_flat("last", f.end_spread));
        if (std::fabs(f.start_band - f.end_band) > 1)
            return say(format("a valley at least %.1f dB deep between shoulders ", dip) +
                       format("%.1f dB apart: the band's level is unknown",
                              std::fabs(f.start_band - f.end_band)));
        return true;
    }
    case filter_kind::lowpass:
    case filter_kind::highpass: {
        bool low = kind == filter_kind::lowpass;
        double spread = low ? f.start_spread : f.end_spread;
        double band = low ? f.start_band : f.end_band;
        double fall = band - (low ? f.last : f.first);
        if (spread > f.flat)
            return say(std::string(low ? "a falling edge: " : "a rising edge: ") +
                       not_flat(low ? "first" : "last", spread));
        if (fall < f.edge)
            return say(format("a flat band that then moves only %.1f dB: no edge here", fall));
        return true;
    }
    default:
        return false;
    }
}

filter_kind kind_shown(const std::vector<level_point> &p, const trace_facts &f, std::string *why) {
    filter_kind candidate = f.leaning == trace_shape::peak     ? filter_kind::bandpass
                            : f.leaning == trace_shape::valley ? filter_kind::notch
                            : f.leaning == trace_shape::falling ? filter_kind::lowpass
                                                                : filter_kind::highpass;
    return shows_band(p, f, candidate, why) ? candidate : filter_kind::none;
}

// The largest level difference between a point and its neighbours.
double neighbour_step(const std::vector<level_point> &p, size_t i) {
    double d = 0;
    if (i > 0)
        d = std::fabs(p[i].level - p[i - 1].level);
    if (i + 1 < p.size())
        d = std::fmax(d, std::fabs(p[i].level - p[i + 1].level));
    return d;
}

// An extreme whose neighbours both lie more than 6 dB from it, or a pair of
// like readings at the extreme (the feature fell between them) whose outer
// neighbours do: the true extreme may lie anywhere beyond what was read.
void check_undersampled(const std::vector<level_point> &p, size_t i, filter_markers *m) {
    if (i == 0 || i + 1 >= p.size())
        return;
    auto apart = [&](size_t a, size_t b) { return std::fabs(p[a].level - p[b].level); };
    size_t first = i, last = i;
    if (apart(i - 1, i) <= undersampled_db || apart(i + 1, i) <= undersampled_db) {
        // the nearer neighbour in level joins the extreme
        if (apart(i - 1, i) <= apart(i + 1, i))
            first = i - 1;
        else
            last = i + 1;
        if (first == 0 || last + 1 >= p.size())
            return;
    }
    // from the one of the pair nearer the outside's level
    size_t inner = apart(first, first - 1) < apart(last, first - 1) ? first : last;
    double a = apart(first - 1, inner), b = apart(last + 1, inner);
    if (a > undersampled_db && b > undersampled_db &&
        apart(first - 1, last) > undersampled_db && apart(last + 1, first) > undersampled_db) {
        m->undersampled = true;
        m->neighbour_db[0] = apart(first - 1, i);
        m->neighbour_db[1] = apart(last + 1, i);
        m->neighbour_gap_hz = p[last + 1].hz - p[first - 1].hz;
    }
}

void find_notch(const std::vector<level_point> &p, size_t bottom, filter_markers *m) {
    // The bottom between the points either side: the vertex of the parabola
    // through the three, in dB against frequency.
    m->notch_hz = p[bottom].hz;
    m->notch_level = p[bottom].level;
    // Readings the sweep cannot tell from the lowest: the bottom is their
    // middle, not a fit through differences the readings do not resolve.
    size_t first = bottom, last = bottom;
    double like = p[bottom].level + m->resolution / 2;
    while (first > 0 && p[first - 1].level <= like)
        --first;
    while (last + 1 < p.size() && p[last + 1].level <= like)
        ++last;
    // (with both neighbours among them; one like neighbour still bends a fit)
    if (first < bottom && last > bottom) {
        m->bottom_run = last - first + 1;
        m->notch_hz = (p[first].hz + p[last].hz) / 2;
    }
    // A bottom between points lies below the lowest by up to half its
    // larger step to a neighbour (a V's; a parabola's is less).
    m->depth_uncertainty = neighbour_step(p, bottom) / 2 + m->resolution / 2;
    check_undersampled(p, bottom, m);
    if (bottom > 0 && bottom + 1 < p.size() && !m->undersampled && m->bottom_run == 1) {
        double x0 = p[bottom - 1].hz, x1 = p[bottom].hz, x2 = p[bottom + 1].hz;
        double y0 = p[bottom - 1].level;
        double d01 = (p[bottom].level - y0) / (x1 - x0);
        double d12 = (p[bottom + 1].level - p[bottom].level) / (x2 - x1);
        double a = (d12 - d01) / (x2 - x0);
        double x = (x0 + x1) / 2 - d01 / (2 * a);
        double level = y0 + d01 * (x - x0) + a * (x - x0) * (x - x1);
        // Only a fit through evenly spaced neighbours (within 10 % in log or
        // linear frequency) that stays near the lowest reading is believed;
        // uneven points send a parabola's vertex far below anything real.
        auto within = [](double u, double v) { return std::fabs(u - v) <= 0.1 * std::fmax(u, v); };
        bool even = within(std::log(x1 / x0), std::log(x2 / x1)) || within(x1 - x0, x2 - x1);
        if (a > 0 && x > x0 && x < x2 && even && level >= p[bottom].level - 6) {
            m->notch_hz = x;
            m->notch_level = level;
            m->fitted = true;
        }
    }
}

void find_ripple(const std::vector<level_point> &p, filter_markers *m) {
    // Each point's valley: how far the lower of the highest points either
    // side (within the band) rises above it. Equal readings make none.
    std::vector<size_t> band;
    for (size_t i = 0; i < p.size(); ++i)
        if (p[i].hz > m->lower[0].hz && p[i].hz < m->upper[0].hz)
            band.push_back(i);
    double best = 0;
    size_t valley = 0, top = 0;
    for (size_t k = 0; k < band.size(); ++k) {
        size_t left = band[k], right = band[k];
        for (size_t j = 0; j < k; ++j)
            if (p[band[j]].level > p[left].level)
                left = band[j];
        for (size_t j = k + 1; j < band.size(); ++j)
            if (p[band[j]].level > p[right].level)
                right = band[j];
        size_t lower_top = p[left].level < p[right].level ? left : right;
        double depth = p[lower_top].level - p[band[k]].level;
        if (depth > best) {
            best = depth;
            valley = band[k];
            top = lower_top;
        }
    }
    // Sampled extremes fall short of the true ones by at most a quarter of
    // their larger step to a neighbour (a parabola's), plus what the sweep
    // cannot resolve.
    // In noise both the valley and the peak may each be off by the noise's
    // three deviations.
    double doubt = (m->noise > flat_db ? 2 : 1) * m->resolution +
                   (neighbour_step(p, valley) + neighbour_step(p, top)) / 4;
    if (best > m->resolution && doubt < best) {
        m->ripple = best;
        m->ripple_uncertainty = doubt;
    } else if (best > m->resolution) {
        m->ripple_below = best + doubt; // a valley, but no more than a bound on it
    } else if (band.size() >= ripple_points) {
        m->ripple_below = m->resolution;
    } else {
        m->ripple_points = band.size(); // too few to have seen ripple between them
    }
}

std::string outside(const crossing &c, const char *side) {
    char text[200];
    if (c.overflow_hz > 0) {
        std::snprintf(text, sizeof text, "%s edge unknown: overflowed at %.1f Hz", side,
                      c.overflow_hz);
        return text;
    }
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

// The level measured from is the peak's, or the noisy band's about it.
bool from_peak(const filter_markers &m) {
    return m.basis == level_basis::peak ||
           (m.basis == level_basis::pass_band && m.shape == trace_shape::peak);
}


std::string edge_text(const crossing &c, const char *side, double drop, int suggest,
                      const char *smooth_option, const char *pattern = "%.1f Hz") {
    if (!c.found)
        return outside(c, side);
    if (c.wanders && c.placed)
        return format(pattern, c.hz) + " (within " + short_hz(c.uncertainty) + " in the noise)";
    if (!c.wanders)
        return format(pattern, c.hz);
    return std::string(side) + " edge somewhere from " + short_hz(c.wander_from) + " to " +
           short_hz(c.wander_to) +
           format(" (the level wanders through -%g dB in the noise", drop) +
           (suggest > 1 ? ": try " + std::string(smooth_option) + format(" %.0f)", suggest)
                        : ")");
}

std::string unresolved(double drop, double resolution) {
    return format("not measured: %g dB is within what this sweep resolves ", drop) +
           format("(%.3f dB)", resolution);
}

// How far an edge may lie from where it is given, where its line says so.
double named_doubt(const crossing &c, double noise) {
    return c.coarse || c.wanders || noise > flat_db ? c.uncertainty : 0;
}

// Why an edge is uncertain, in words, or nothing where it is not.
std::string edge_doubt(const crossing &c, const char *which, double noise = 0) {
    if (edge_known(c) && !c.coarse && !c.wanders && noise > flat_db)
        return std::string("; ") + which + (*which ? " " : "") + "edge within " +
               short_hz(c.uncertainty) + " in the noise";
    if (!edge_known(c) || !c.coarse)
        return "";
    return std::string("; ") + which + (*which ? " " : "") + "edge uncertain by up to " + short_hz(c.uncertainty) +
           ": points " + short_hz(c.b_hz - c.a_hz) + " apart differ by " +
           format("%.1f dB: sweep finer near ", c.step_db) + short_hz(c.hz);
}

} // namespace

const char *kind_name(filter_kind kind) { return kind_names[static_cast<int>(kind)]; }

bool edge_known(const crossing &c) { return c.found && (!c.wanders || c.placed); }

bool kind_from_name(const char *text, filter_kind *kind) {
    for (int i = 0; i < 4; ++i)
        if (std::string(text) == kind_names[i]) {
            *kind = static_cast<filter_kind>(i);
            return true;
        }
    return false;
}

const char *shape_words(trace_shape shape) {
    static const char *const words[] = {"a peak", "a valley", "a falling edge", "a rising edge"};
    return words[static_cast<int>(shape)];
}

std::string short_hz(double hz) {
    double a = std::fabs(hz);
    if (a >= 1e6)
        return format("%.4g MHz", hz / 1e6);
    if (a >= 1e3)
        return format("%.4g kHz", hz / 1e3);
    return format("%.4g Hz", hz);
}

double sweep_quantum(const std::vector<level_point> &points) {
    std::vector<double> levels;
    for (const auto &q : points)
        if (!q.overflow)
            levels.push_back(q.level);
    // Few readings do not show the instrument's step: then only the
    // results format's own, a thousandth of a dB.
    if (levels.size() < 20)
        return levels.size() > 1 ? 0.001 : 0;
    std::sort(levels.begin(), levels.end());
    double quantum = 0;
    for (size_t i = 1; i < levels.size(); ++i) {
        double d = levels[i] - levels[i - 1];
        if (d > 5e-4 && (quantum == 0 || d < quantum)) // under half the printed digit: equal
            quantum = d;
    }
    return quantum;
}

double sweep_noise(const std::vector<level_point> &points) {
    std::vector<level_point> p = levels_of(points);
    if (p.size() < 20) // fewer cannot tell noise from the trace's own shape
        return 0;
    // Fourth differences take out a level, a slope, a curvature and its
    // change, so that a coarse sweep of a steep skirt is not taken for
    // noise; white noise of deviation s gives them a deviation of s * sqrt(70).
    std::vector<double> d;
    for (size_t i = 0; i + 4 < p.size(); ++i)
        d.push_back(p[i + 4].level - 4 * p[i + 3].level + 6 * p[i + 2].level -
                    4 * p[i + 1].level + p[i].level);
    auto median = [](std::vector<double> v) {
        std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
        return v[v.size() / 2];
    };
    double centre = median(d);
    for (double &x : d)
        x = std::fabs(x - centre);
    return 1.4826 * median(d) / std::sqrt(70.0);
}

std::vector<level_point> smoothed(const std::vector<level_point> &points, int n) {
    std::vector<level_point> out = points;
    if (n <= 1)
        return out;
    size_t before = static_cast<size_t>(n - 1) / 2, after = static_cast<size_t>(n) / 2;
    for (size_t i = 0; i < points.size(); ++i) {
        if (points[i].overflow)
            continue;
        double sum = 0;
        int count = 0;
        for (size_t k = i >= before ? i - before : 0; k <= i + after && k < points.size(); ++k)
            if (!points[k].overflow) {
                sum += points[k].level;
                ++count;
            }
        out[i].level = sum / count;
    }
    return out;
}

int smoothing_for(double noise, size_t points) {
    int n = static_cast<int>(std::ceil(noise * noise / (0.35 * 0.35))) | 1;
    int most = std::max(3, static_cast<int>(points / 8) | 1);
    return std::clamp(n, 3, most);
}

filter_kind kind_of(const std::vector<level_point> &all, std::string *why) {
    std::vector<level_point> p = levels_of(all);
    if (p.empty()) {
        if (why)
            *why = "every point overflowed";
        return filter_kind::none;
    }
    std::string reason;
    filter_kind kind = kind_shown(p, facts_of(p, sweep_noise(p)), &reason);
    if (why)
        *why = reason.empty() ? reason : reason + " (use --ref or --level)";
    return kind;
}

read_level level_at(const std::vector<level_point> &all, double hz) {
    read_level r;
    r.hz = hz;
    // A point that overflowed has no level to read, nor one to draw a line
    // through: a marker on it or between it and its neighbour is unknown.
    auto unknown_at = [&](double at) {
        r.overflowed = true;
        r.overflow_hz = at;
        return r;
    };
    bool on_a_level = false, on_overflow = false;
    for (const auto &q : all)
        if (q.hz == hz)
            (q.overflow ? on_overflow : on_a_level) = true;
    if (on_overflow && !on_a_level)
        return unknown_at(hz);
    for (size_t i = 0; i + 1 < all.size() && !on_a_level; ++i)
        if (all[i].hz < hz && hz < all[i + 1].hz && (all[i].overflow || all[i + 1].overflow))
            return unknown_at(all[i].overflow ? all[i].hz : all[i + 1].hz);
    std::vector<level_point> p = levels_of(all);
    for (size_t i = 0; i + 1 < p.size() && !r.inside; ++i)
        if (p[i].hz <= hz && hz <= p[i + 1].hz) {
            r.inside = true;
            r.level = p[i].level + (p[i + 1].level - p[i].level) * (hz - p[i].hz) /
                                       (p[i + 1].hz - p[i].hz);
            // On a point, its reading: no step to doubt.
            bool on_point = hz == p[i].hz || hz == p[i + 1].hz;
            r.gap_hz = on_point ? 0 : p[i + 1].hz - p[i].hz;
            r.step_db = on_point ? 0 : std::fabs(p[i + 1].level - p[i].level);
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
    for (size_t k = 0; k + 1 < s.delta.size(); k += 2) {
        m.delta.push_back(level_at(all, s.delta[k]));
        m.delta.push_back(level_at(all, s.delta[k + 1]));
    }
    m.smoothed = s.smoothed;
    m.smooth_option = s.smooth_option;
    m.quantum = std::isnan(s.quantum) ? sweep_quantum(p) : s.quantum;
    m.noise = std::isnan(s.noise) ? sweep_noise(p) : s.noise;
    m.resolution = std::fmax(2 * m.quantum, 3 * m.noise);
    if (p.empty()) {
        m.kind = filter_kind::none;
        m.cannot = "every point overflowed";
        return m;
    }
    trace_facts f = facts_of(p, m.noise);
    std::string why;
    filter_kind shown = kind_shown(p, f, &why);
    m.kind = s.kind_given ? s.kind : shown;
    bool band = m.kind != filter_kind::none && (m.kind == shown || shows_band(p, f, m.kind, &why));
    m.shape = m.kind != filter_kind::none ? shape_of_kind(m.kind) : f.leaning;
    m.peak_hz = p[f.peak].hz;
    m.peak_level = p[f.peak].level;
    for (size_t i = 0; i < all.size(); ++i)
        if (all[i].hz == m.peak_hz && !all[i].overflow)
            m.peak_by_overflow = (i > 0 && all[i - 1].overflow) ||
                                 (i + 1 < all.size() && all[i + 1].overflow);
    double stated = !std::isnan(s.level) ? s.level : s.normalised ? 0 : NAN;
    m.stated = !std::isnan(stated);
    if (m.stated)
        m.loss = stated - m.peak_level;
    m.cannot = why;
    bool valley = m.shape == trace_shape::valley;
    if (valley)
        find_notch(p, f.bottom, &m);
    else if (m.shape == trace_shape::peak)
        check_undersampled(p, f.peak, &m);

    // --level always wins; then the pass band's own level where the span
    // shows it; then 0 dB of a normalised sweep; else nothing is measured.
    if (!std::isnan(s.level)) {
        m.basis = level_basis::stated;
        m.reference = s.level;
    } else if (band) {
        m.basis = valley                         ? level_basis::shoulders
                  : m.shape == trace_shape::peak ? level_basis::peak
                                                 : level_basis::pass_band;
        if (valley) {
            // The band either side: the highest level below and above the notch.
            double below = p[0].level, above = p.back().level;
            for (size_t i = 0; i < f.bottom; ++i)
                below = std::fmax(below, p[i].level);
            for (size_t i = f.bottom; i < p.size(); ++i)
                above = std::fmax(above, p[i].level);
            m.reference = m.noise > flat_db ? (f.start_band + f.end_band) / 2 : (below + above) / 2;
        } else {
            m.reference = m.basis == level_basis::peak ? m.peak_level
                          : m.shape == trace_shape::falling ? f.start_band
                                                            : f.end_band;
            if (m.basis == level_basis::peak && m.noise > flat_db) {
                // The highest reading of a noisy sweep stands above its band
                // by the noise: the band is the mean of the stretch about the
                // peak that lies within the noise of it.
                size_t a = f.peak, b = f.peak;
                while (a > 0 && p[a - 1].level >= m.peak_level - m.resolution)
                    --a;
                while (b + 1 < p.size() && p[b + 1].level >= m.peak_level - m.resolution)
                    ++b;
                double sum = 0;
                for (size_t i = a; i <= b; ++i)
                    sum += p[i].level;
                m.reference = sum / static_cast<double>(b - a + 1);
                m.basis = level_basis::pass_band;
            }
        }
    } else if (s.normalised) {
        m.basis = level_basis::reference;
        m.reference = 0;
    } else {
        m.basis = level_basis::none;
        m.cannot = why + " (use --ref or --level)";
        return m;
    }
    if (band)
        m.cannot.clear();
    if (m.stated && m.basis == level_basis::pass_band)
        m.loss = stated - m.reference; // the band's own loss, not a reading's

    if (valley) {
        m.depth = m.reference - m.notch_level;
        // The edges are where the level climbs back to the first drop below the band.
        if (!s.drops.empty() && s.drops[0] > 2 * m.quantum) {
            double target = m.reference - s.drops[0];
            m.lower[0] = find_crossing(p, f.bottom, -1, target, m.reference, m.noise, m.resolution, true);
            m.upper[0] = find_crossing(p, f.bottom, 1, target, m.reference, m.noise, m.resolution, true);
            across_overflow(all, &m.lower[0]);
            across_overflow(all, &m.upper[0]);
        }
        return m;
    }
    // A peak read only as a bound is no level to measure from.
    bool bound = from_peak(m) && m.undersampled;
    for (size_t k = 0; k < s.drops.size() && !bound; ++k) {
        if (s.drops[k] <= 2 * m.quantum)
            continue; // finer than the readings tell apart: its line says so
        double target = m.reference - s.drops[k];
        if (m.shape != trace_shape::falling)
            m.lower[k] = find_crossing(p, f.peak, -1, target, m.reference, m.noise, m.resolution);
        if (m.shape != trace_shape::rising)
            m.upper[k] = find_crossing(p, f.peak, 1, target, m.reference, m.noise, m.resolution);
        across_overflow(all, &m.lower[k]);
        across_overflow(all, &m.upper[k]);
    }
    if (m.shape == trace_shape::peak && !s.drops.empty() && m.lower[0].found && m.upper[0].found)
        find_ripple(p, &m);
    return m;
}

filter_markers find_markers(const std::vector<level_point> &points, filter_kind kind) {
    marker_settings s;
    s.kind_given = true;
    s.kind = kind;
    return find_markers(points, s);
}

std::string basis_words(const filter_markers &m, const char *unit) {
    switch (m.basis) {
    case level_basis::peak:
        return format("from the peak, %.3f ", m.reference) + unit;
    case level_basis::pass_band:
        return format("from the pass band, %.3f ", m.reference) + unit;
    case level_basis::shoulders:
        return format("from the shoulders, %.3f ", m.reference) + unit;
    case level_basis::reference:
        return "from 0 dB (the reference)";
    case level_basis::stated:
        return format("from --level %g ", m.reference) + unit;
    default:
        return "";
    }
}

double edge_doubt_hz(const crossing &c, double noise) { return named_doubt(c, noise); }

std::string edge_reason(const crossing &c, const char *side, double drop) {
    return edge_known(c) ? std::string() : edge_text(c, side, drop, 0, "--smooth");
}

std::vector<std::string> marker_lines(const std::string &name, const filter_markers &m,
                                      const char *unit) {
    std::vector<std::string> lines;
    auto add = [&](const std::string &text) { lines.push_back(name + ": " + text); };
    add(std::string("kind ") + kind_name(m.kind));
    int suggest = smoothing_for(m.noise, m.levels);
    if (m.smoothed > 1)
        add(format("smoothed over %.0f points: about %.2f dB of noise remains", m.smoothed,
                   m.noise));
    else if (m.noise > flat_db)
        add(format("noisy sweep: about %.1f dB standard deviation; edges where the level wanders "
                   "are uncertain (try ",
                   m.noise) +
            m.smooth_option + format(" %.0f)", suggest));
    if (m.smoothed > 1)
        suggest = 0;
    auto tail = [&]() {
        // A level read between points far apart in level, or in noise, says so.
        auto doubt = [&](const read_level &r) {
            std::string text;
            if (r.step_db > coarse_db)
                text += " (between points " + short_hz(r.gap_hz) +
                        format(" apart that differ by %.1f dB: sweep finer near ", r.step_db) +
                        short_hz(r.hz) + ")";
            if (m.noise > flat_db)
                text += format(" (within about %.1f dB in the noise)", m.resolution);
            return text;
        };
        auto unknown = [&](const read_level &r) {
            return format("unknown: overflowed at %.1f Hz", r.overflow_hz);
        };
        for (const auto &r : m.at)
            add(r.overflowed ? format("marker %.1f Hz: ", r.hz) + unknown(r)
                : r.inside   ? format("marker %.1f Hz: ", r.hz) + format("%.3f ", r.level) + unit +
                                   doubt(r)
                             : format("marker %.1f Hz: outside the sweep", r.hz));
        for (size_t k = 0; k + 1 < m.delta.size(); k += 2) {
            const read_level &a = m.delta[k], &b = m.delta[k + 1];
            if (a.overflowed || b.overflowed)
                add(format("delta %.1f Hz to ", a.hz) + format("%.1f Hz: ", b.hz) +
                    unknown(a.overflowed ? a : b));
            else if (a.inside && b.inside)
                add(format("delta %.1f Hz to ", a.hz) + format("%.1f Hz: ", b.hz) +
                    format("%.1f Hz, %.3f dB", b.hz - a.hz, b.level - a.level) +
                    (a.step_db > coarse_db || b.step_db > coarse_db || m.noise > flat_db
                         ? " (an end's level is uncertain: see its marker)"
                         : ""));
            else
                add(format("delta %.1f Hz to ", a.hz) +
                    format("%.1f Hz: outside the sweep", b.hz));
        }
        if (m.left_out)
            add(format("%.0f overflowed points left out (", static_cast<double>(m.left_out)) +
                format("%.1f to %.1f Hz): their levels are unknown", m.left_from, m.left_to));
    };
    if (m.levels == 0 || m.basis == level_basis::none) {
        add(m.levels == 0 ? "no markers: every point overflowed" : m.cannot);
        tail();
        return lines;
    }
    std::string from = basis_words(m, unit);
    if (m.kind == filter_kind::none)
        add(m.cannot + "; measured " + from);
    auto finer = [&](double hz) {
        return format(" (both neighbours lie %.1f and %.1f dB ", m.neighbour_db[0],
                      m.neighbour_db[1]) +
               (m.shape == trace_shape::valley ? "above" : "below") + " it: sweep finer near " +
               short_hz(hz) + ")";
    };
    if (m.shape == trace_shape::valley) {
        add(format(m.kind == filter_kind::notch ? "notch %.1f Hz, " : "valley %.1f Hz, ",
                   m.notch_hz) +
            format("%.3f ", m.notch_level) + unit +
            format(m.undersampled ? ", depth at least %.3f dB " : ", depth %.3f dB ", m.depth) +
            from +
            (m.undersampled ? finer(m.notch_hz)
             : m.fitted     ? ""
             : m.bottom_run > 1
                 ? format(" (the middle of %.0f readings the sweep cannot tell apart)",
                          static_cast<double>(m.bottom_run))
                 : " (the lowest point measured: too few points about it to fit)") +
            (!m.undersampled && m.depth_uncertainty >= 0.05
                 ? format(" (within %.2f dB: the bottom falls between points)", m.depth_uncertainty)
                 : ""));
        if (!m.drops.empty() && m.drops[0] <= 2 * m.quantum) {
            add(format("-%g dB ", m.drops[0]) + from + ": " +
                unresolved(m.drops[0], 2 * m.quantum));
        } else if (!m.drops.empty()) {
            const crossing &lo = m.lower[0], &hi = m.upper[0];
            std::string edges = format("-%g dB ", m.drops[0]) + from + ": ";
            edges += edge_text(lo, "lower", m.drops[0], suggest, m.smooth_option) + ", " +
                     edge_text(hi, "upper", m.drops[0], suggest, m.smooth_option);
            if (edge_known(lo) && edge_known(hi))
                edges += format(", bandwidth %.1f Hz", hi.hz - lo.hz);
            add(edges + edge_doubt(lo, "lower", m.noise) + edge_doubt(hi, "upper", m.noise));
        }
        tail();
        return lines;
    }
    bool edge_only = m.kind == filter_kind::none && m.shape != trace_shape::peak;
    if (!edge_only) {
        bool loss = !std::isnan(m.loss);
        add(format("peak %.1f Hz, ", m.peak_hz) +
            format(m.undersampled ? "at least %.3f " : "%.3f ", m.peak_level) + unit +
            (loss ? format(m.loss < 0     ? ", gain %.3f dB "
                           : m.undersampled ? ", loss at most %.3f dB "
                                            : ", loss %.3f dB ",
                           std::fabs(m.loss)) +
                        (m.basis == level_basis::stated ? from : "from 0 dB (the reference)")
                  : "") +
            (m.undersampled ? finer(m.peak_hz) : "") +
            (m.noise > flat_db ? format(" (each within about %.1f dB in the noise)", m.resolution)
                               : "") +
            (m.peak_by_overflow ? " (beside an overflowed point: the true peak may lie there)"
                                : ""));
    }
    bool two_sided = m.shape == trace_shape::peak;
    std::vector<double> widths(m.drops.size(), 0);
    std::vector<bool> known(m.drops.size(), false);
    for (size_t k = 0; k < m.drops.size(); ++k) {
        const crossing &lo = m.lower[k], &hi = m.upper[k];
        std::string text = format("-%g dB ", m.drops[k]) + from + ": ";
        if (m.drops[k] <= 2 * m.quantum) {
            add(text + unresolved(m.drops[k], 2 * m.quantum));
            continue;
        }
        if (from_peak(m) && m.undersampled) {
            add(text + "not measured: the peak is only a bound (sweep finer near " +
                short_hz(m.peak_hz) + ")");
            continue;
        }
        if (two_sided) {
            text += edge_text(lo, "lower", m.drops[k], suggest, m.smooth_option) + ", " +
                    edge_text(hi, "upper", m.drops[k], suggest, m.smooth_option);
            if (edge_known(lo) && edge_known(hi)) {
                known[k] = true;
                widths[k] = hi.hz - lo.hz;
                // Edges that name their doubt pass it on.
                double doubt = named_doubt(lo, m.noise) + named_doubt(hi, m.noise);
                text += format(", bandwidth %.1f Hz", widths[k]) +
                        (doubt > 0 ? " (within " + short_hz(doubt) + ")" : "");
                if (k == 0) {
                    double centre = std::sqrt(lo.hz * hi.hz), q = centre / widths[k];
                    text += format(", centre %.1f Hz", centre) +
                            (doubt > 0 ? " (within " + short_hz(doubt / 2) + ")" : "") +
                            format(", Q %.2f", q) +
                            (doubt > 0 ? format(" (within %.2g)", q * doubt / widths[k]) : "");
                }
            }
            text += edge_doubt(lo, "lower", m.noise) + edge_doubt(hi, "upper", m.noise);
        } else {
            bool falling = m.shape == trace_shape::falling;
            const crossing &c = falling ? hi : lo;
            text += edge_text(c, falling ? "upper" : "lower", m.drops[k], suggest, m.smooth_option,
                              edge_only ? "%.1f Hz" : "cutoff %.1f Hz") +
                    edge_doubt(c, "", m.noise);
        }
        add(text);
    }
    if (two_sided) {
        if (!std::isnan(m.ripple))
            add(format("ripple %.3f dB (within %.3f dB)", m.ripple, m.ripple_uncertainty));
        else if (!std::isnan(m.ripple_below))
            add(format("ripple below %.3f dB (what this sweep resolves)", m.ripple_below));
        else if (edge_known(m.lower[0]) && edge_known(m.upper[0]))
            add(format(m.ripple_points == 1 ? "ripple not known: %.0f point across the pass band "
                                              "is too few to show it (sweep finer)"
                                            : "ripple not known: %.0f points across the pass band "
                                              "are too few to show it (sweep finer)",
                       static_cast<double>(m.ripple_points)));
        // The shape factor: the wider bandwidth over the narrower.
        int narrow = -1, wide = -1;
        for (size_t k = 0; k < m.drops.size(); ++k) {
            if (m.drops[k] == m.sf_narrow)
                narrow = static_cast<int>(k);
            if (m.drops[k] == m.sf_wide)
                wide = static_cast<int>(k);
        }
        if (narrow >= 0 && wide >= 0 && !(from_peak(m) && m.undersampled)) {
            std::string label = format("shape factor %g/%g", m.sf_wide, m.sf_narrow);
            if (known[narrow] && known[wide]) {
                add(label + format(" %.2f", widths[wide] / widths[narrow]));
            } else if (m.lower[narrow].wanders || m.upper[narrow].wanders ||
                       m.lower[wide].wanders || m.upper[wide].wanders) { // found, not placed
                add(label + ": an edge lies in the noise");
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
