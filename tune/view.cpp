#include "tune/view.hpp"

#include "tune/control.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

std::string text_of(const char *format, double a, double b = 0) {
    char text[128];
    std::snprintf(text, sizeof text, format, a, b);
    return text;
}

// A number with at most `decimals` decimals, trailing zeros dropped: "8.999999", "10".
std::string trimmed_number(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", std::clamp(decimals, 0, 9), value);
    std::string out = text;
    if (out.find('.') != std::string::npos) {
        out.erase(out.find_last_not_of('0') + 1);
        if (out.back() == '.')
            out.pop_back();
    }
    return out == "-0" ? "0" : out;
}

// A frequency in the band's unit with the decimals that tell two points
// `resolution` apart and six significant digits of the value.
std::string frequency_text(double value, double resolution) {
    int by_span = static_cast<int>(std::ceil(-std::log10(resolution))) + 1;
    int by_value = value > 0 ? 5 - static_cast<int>(std::floor(std::log10(value))) : 0;
    return trimmed_number(value, std::max(by_span, by_value));
}

struct unit {
    double scale;
    const char *name;
};
unit unit_of(double top_hz) {
    return top_hz >= 1e6 ? unit{1e6, "MHz"} : top_hz >= 1e3 ? unit{1e3, "kHz"} : unit{1, "Hz"};
}

// Frequency to a column of the plot.
struct axis {
    double lo, hi;
    bool log;
    int left, width;
    double x(double hz) const { return log ? std::log(hz) : hz; }
    int column(double hz) const {
        double t = (x(hz) - x(lo)) / (x(hi) - x(lo));
        return left + static_cast<int>(std::lround(t * (width - 1)));
    }
    double hz_at(int column) const {
        double t = static_cast<double>(column - left) / (width - 1);
        double v = x(lo) + t * (x(hi) - x(lo));
        return log ? std::exp(v) : v;
    }
};

// The label a tick shows: the decimals its set's step needs, trailing
// zeros dropped; in hertz (unit 1), with k and M as a wide axis needs them.
std::string tick_label(double hz, double unit_scale, int decimals) {
    if (unit_scale == 1 && hz >= 1e3)
        return trimmed_number(hz / (hz >= 1e6 ? 1e6 : 1e3), decimals + 6) + (hz >= 1e6 ? "M" : "k");
    return trimmed_number(hz / unit_scale, decimals);
}

// Whether hz lies within the sweep's points (within half a step of its ends).
bool within_sweep(const std::vector<level_point> &points, double hz) {
    if (points.size() < 2)
        return !points.empty() && std::fabs(hz - points[0].hz) < 1;
    double first_step = points[1].hz - points[0].hz,
           last_step = points.back().hz - points[points.size() - 2].hz;
    return hz >= points.front().hz - first_step / 2 && hz <= points.back().hz + last_step / 2;
}

// Plots points as c; a point beyond the scale is a ^ or v at the edge it
// left by, never a level drawn along it.
void plot_points(grid *g, const std::vector<level_point> &points, const std::vector<bool> &late,
                 char c, tone t, const axis &a, int top, int rows, double lo, double hi) {
    for (size_t i = 0; i < points.size(); ++i) {
        const auto &p = points[i];
        if (p.hz < a.lo - 1 || p.hz > a.hi + 1)
            continue; // from before a re-span (a band's first word may lie below its start)
        double f = (hi - p.level) / (hi - lo);
        char shown = i < late.size() && late[i] ? '?' : p.overflow ? 'O' : c;
        tone tn = t;
        if (f < -1e-9 || f > 1 + 1e-9) {
            shown = f < 0 ? '^' : 'v';
            tn = tone::alarm;
        }
        int row = top + static_cast<int>(std::lround(std::clamp(f, 0.0, 1.0) * (rows - 1)));
        g->set(row, a.column(p.hz), shown, tn);
    }
}

} // namespace

const char view_keys[] = "q quit  arrows cursor  p peak  n/N next  c centre  M delta  +/- zoom  "
                         "</> move  h home  d/D dB/div  [/] level  a auto  r/R ref  s save  "
                         "m max-hold  space pause";

const double scale_steps[5] = {1, 2, 5, 10, 20};

void view_set_scale(view_state *state, double top, double db_per_division) {
    state->db_per_division = db_per_division;
    state->level_high = top;
    state->level_low = top - 5 * db_per_division;
}

void view_fit_levels(view_state *state, const std::vector<level_point> &points) {
    if (points.empty() || !state->auto_scale)
        return;
    double lo = points[0].level, hi = points[0].level;
    for (const auto &p : points) {
        lo = std::min(lo, p.level);
        hi = std::max(hi, p.level);
    }
    // Round divisions that hold the points: 1, 2, 5, 10 or 20 dB each.
    double top = 0;
    // 1 to 20 dB a division, the steps d and D take; a trace wider than 100 dB
    // runs off the scale at its edge, marked.
    for (double step : scale_steps) {
        top = std::ceil((hi + 0.5) / step) * step;
        state->db_per_division = step;
        if (top - 5 * step <= lo - 0.5)
            break;
    }
    view_set_scale(state, top, state->db_per_division);
}

std::vector<tick> round_ticks(double lo, double hi, bool log, int columns, double unit_scale) {
    // Candidate sets, coarse to fine: on a log axis the decades' 1, 1-2-5
    // and 1-9, then on either axis multiples of a 1, 2 or 5 step.
    std::vector<std::vector<double>> sets;
    std::vector<int> decimals; // each set's labels
    if (log && hi / lo >= 3) {
        for (const std::vector<int> &ms : {std::vector<int>{1}, {1, 2, 5}, {1, 2, 3, 4, 5, 6, 7, 8, 9}}) {
            std::vector<double> ticks;
            for (double decade = std::pow(10, std::floor(std::log10(lo))); decade <= hi; decade *= 10)
                for (int m : ms)
                    if (m * decade >= lo * (1 - 1e-12) && m * decade <= hi * (1 + 1e-12))
                        ticks.push_back(m * decade);
            sets.push_back(ticks);
            decimals.push_back(9);
        }
    }
    size_t decade_sets = sets.size();
    double span = hi - lo;
    std::vector<double> steps;
    for (double decade = std::pow(10, std::ceil(std::log10(span))); decade > span / 200; decade /= 10)
        for (double m : {1.0, 0.5, 0.2})
            steps.push_back(decade * m);
    for (double step : steps) {
        std::vector<double> ticks;
        for (double k = std::ceil(lo / step - 1e-9); k * step <= hi * (1 + 1e-12) && ticks.size() < 200; ++k)
            ticks.push_back(k * step);
        sets.push_back(ticks);
        decimals.push_back(std::max(0, static_cast<int>(std::ceil(-std::log10(step / unit_scale) - 1e-9))));
    }
    // The densest set whose labels stand apart: the gap between two ticks
    // holds the longer label and two blanks. A log axis keeps to its
    // decades' sets while one of them serves.
    axis a{lo, hi, log, 0, columns};
    std::vector<tick> best;
    for (size_t k = 0; k < sets.size(); ++k) {
        const auto &ticks = sets[k];
        if (k == decade_sets && best.size() >= 2)
            break;
        if (ticks.size() < 2 || ticks.size() <= best.size())
            continue;
        std::vector<tick> labelled;
        for (double hz : ticks)
            labelled.push_back({hz, tick_label(hz, unit_scale, decimals[k])});
        bool fits = true;
        for (size_t i = 1; i < ticks.size() && fits; ++i) {
            size_t longest = std::max(labelled[i].label.size(), labelled[i - 1].label.size());
            fits = a.column(ticks[i]) - a.column(ticks[i - 1]) >= static_cast<int>(longest) + 2;
        }
        if (fits)
            best = labelled;
    }
    // Nothing fits: the decades alone, labelled where there is room.
    if (best.size() < 2 && decade_sets > 0)
        for (double hz : sets[0])
            best.push_back({hz, tick_label(hz, unit_scale, decimals[0])});
    return best;
}

// A frequency in its own unit (Hz, kHz or MHz), with the digits that tell
// it from a neighbour `step` away.
std::string frequency_in_unit(double hz, double step) {
    unit u = unit_of(hz);
    return frequency_text(hz / u.scale, std::max(step, 1e-3) / u.scale) + " " + u.name;
}

// A difference of frequencies, six significant digits, in its own unit.
std::string difference_text(double hz) {
    unit u = unit_of(std::fabs(hz));
    double v = std::fabs(hz) / u.scale;
    int decimals = v > 0 ? 5 - static_cast<int>(std::floor(std::log10(v))) : 0;
    return std::string(hz >= 0 ? "+" : "-") + trimmed_number(v, decimals) + " " + u.name;
}

std::string cursor_readout(const view_state &s) {
    const tune_settings &set = *s.settings;
    const char *level_unit = s.against_reference ? "dB" : "dBm";
    if (s.last.empty())
        return "cursor " + frequency_in_unit(s.cursor_hz, (set.stop_hz - set.start_hz) / set.points) +
               ": no sweep yet";
    size_t i = nearest_point(s.last, s.cursor_hz);
    const level_point &p = s.last[i];
    // The step to its neighbour: the digits that tell the two apart.
    double step = s.last.size() < 2 ? 1
                  : i + 1 < s.last.size() ? s.last[i + 1].hz - p.hz
                                          : p.hz - s.last[i - 1].hz;
    std::string text = "cursor " + frequency_in_unit(p.hz, step) + " ";
    bool late = i < s.last_timed_out.size() && s.last_timed_out[i];
    if (p.overflow)
        text += "overflow: no level";
    else if (late)
        text += "late: no level";
    else if (s.against_reference) // the level against the reference is a loss; never "-0.00"
        text += text_of("loss %.2f dB", std::fabs(p.level) < 0.005 ? 0.0 : -p.level);
    else
        text += text_of("%.2f ", p.level) + level_unit;
    if (s.delta) {
        size_t j = nearest_point(s.last, s.delta_hz);
        const level_point &m = s.last[j];
        // Outside the band the marker has no point here: its frequency
        // still gives the difference, its level is not known.
        bool outside = !within_sweep(s.last, s.delta_hz);
        double from_hz = outside ? s.delta_hz : m.hz;
        text += ", delta " + difference_text(p.hz - from_hz);
        bool m_late = j < s.last_timed_out.size() && s.last_timed_out[j];
        if (outside)
            text += ", the marker outside the band: no level";
        else if (p.overflow || late || m.overflow || m_late)
            text += ", no level";
        else
            text += text_of(" %+.2f dB", p.level - m.level);
    }
    return text;
}

void view_render(const view_state &s, grid *g, int rows, int cols) {
    g->reset(rows, cols);
    const tune_settings &set = *s.settings;
    const char *level_unit = s.against_reference ? "dB" : "dBm";
    unit u = unit_of(set.stop_hz);
    double span = (set.stop_hz - set.start_hz) / u.scale;
    std::string status = frequency_text(set.start_hz / u.scale, span) + " to " +
                         frequency_text(set.stop_hz / u.scale, span) + " " + u.name + ", " +
                         std::to_string(set.points) + " points " + (set.linear ? "linear" : "log") +
                         " | sweep " + std::to_string(s.sweeps) + ", " +
                         text_of("%.1f sweeps/s", s.sweeps_per_second) + " | " + level_unit +
                         (s.against_reference ? " vs ref" : "") + (s.calibrated ? " | calibrated" : "") +
                         (s.paused ? " | PAUSED" : "");
    g->put(0, 0, status, tone::bold);
    // The markers on two lines, broken after a comma.
    size_t split = s.markers.size();
    if (static_cast<int>(split) > cols) {
        split = s.markers.rfind(", ", static_cast<size_t>(std::max(cols, 1)) - 1);
        split = split == std::string::npos ? static_cast<size_t>(cols) : split + 2;
    }
    g->put(1, 0, s.markers.substr(0, split));
    g->put(2, 0, s.markers.substr(split));
    // The scale and the cursor.
    double step = s.db_per_division > 0 ? s.db_per_division : 10;
    // The top gridline's label is the reference level.
    g->put(3, 0, trimmed_number(step, 1) + " dB/div | " + cursor_readout(s));

    int top = 4, bottom = rows - 5, left = 8;
    int plot_rows = bottom - top + 1, width = cols - left - 1;
    if (plot_rows >= 3 && width >= 10) {
        axis a{set.start_hz, set.stop_hz, !set.linear, left, width};
        double lo = s.level_low, hi = s.level_high;
        // A gridline and a label at every division.
        for (int k = 0; hi - k * step >= lo - 1e-9; ++k) {
            double level = std::fabs(hi - k * step) < 1e-9 ? 0 : hi - k * step; // never "-0"
            int row = top + static_cast<int>(std::lround((hi - level) / (hi - lo) * (plot_rows - 1)));
            for (int c = left; c < left + width; ++c)
                g->set(row, c, '-', tone::dim);
            g->put(row, 0, text_of(step < 1 ? "%6.1f" : "%6.0f", level), tone::dim, 6);
        }
        // Plain characters: they look the same on every terminal and over SSH.
        for (int r = top; r <= bottom; ++r)
            g->set(r, left - 1, '|');
        for (int c = left; c < left + width; ++c)
            g->set(bottom + 1, c, '-');
        g->set(bottom + 1, left - 1, '+');
        // Ticks at round frequencies, in the unit of the band's top.
        // A log axis over more than three decades reads in hertz, 1k, 1M.
        bool wide = a.log && set.stop_hz / set.start_hz > 1000;
        unit axis_unit = wide ? unit{1, "Hz"} : u;
        std::vector<tick> ticks = round_ticks(set.start_hz, set.stop_hz, a.log, width, axis_unit.scale);
        int free_from = 0;
        g->put(bottom + 2, 0, axis_unit.name, tone::plain, 7);
        free_from = static_cast<int>(std::strlen(axis_unit.name)) + 1;
        for (const tick &t : ticks) {
            int column = a.column(t.hz);
            const std::string &label = t.label;
            int at = std::clamp(column - static_cast<int>(label.size()) / 2, 0,
                                cols - static_cast<int>(label.size()));
            g->set(bottom + 1, column, '+');
            if (at >= free_from) {
                g->put(bottom + 2, at, label);
                free_from = at + static_cast<int>(label.size()) + 1;
            }
            for (int r = top; r <= bottom; ++r)
                if (g->at(r, column).c == ' ')
                    g->set(r, column, ':', tone::dim);
        }
        // The mask's limits behind the traces: '=' along each, clipped to the plot.
        // Only where the levels are what the mask's are: dB against a
        // reference, or dBm.
        if (s.mask && s.mask->relative == s.against_reference)
            for (const auto &seg : s.mask->segments)
                for (int c = left; c < left + width; ++c) {
                    double hz = a.hz_at(c);
                    if (hz < seg.start_hz || hz > seg.stop_hz)
                        continue;
                    double f = (hi - seg.limit_at(hz)) / (hi - lo);
                    if (f >= 0 && f <= 1)
                        g->set(top + static_cast<int>(std::lround(f * (plot_rows - 1))), c, '=', tone::alarm);
                }
        // The last complete sweep, then the one in progress over it, the
        // max-hold trace, then the markers and the cursor on top.
        plot_points(g, s.last, s.last_timed_out, '.', tone::last, a, top, plot_rows, lo, hi);
        plot_points(g, s.current, s.current_timed_out, '*', tone::live, a, top, plot_rows, lo, hi);
        plot_points(g, s.max_hold, {}, '~', tone::hold, a, top, plot_rows, lo, hi);
        auto row_of = [&](double level) {
            double f = std::clamp((hi - level) / (hi - lo), 0.0, 1.0);
            return top + static_cast<int>(std::lround(f * (plot_rows - 1)));
        };
        for (const auto &m : s.marks)
            if (m.hz >= set.start_hz - 1 && m.hz <= set.stop_hz + 1)
                g->set(row_of(m.level), a.column(m.hz), m.c, tone::mark);
        // On the last sweep's point (its first may lie a word below the
        // band's start); on the axis before there is one; not at all for a
        // marker outside the band.
        auto put_cursor = [&](double hz, char c) {
            if (s.last.empty()) {
                if (hz >= set.start_hz && hz <= set.stop_hz)
                    g->set(bottom + 1, a.column(hz), c, tone::cursor);
                return;
            }
            if (!within_sweep(s.last, hz))
                return;
            const level_point &p = s.last[nearest_point(s.last, hz)];
            g->set(row_of(p.level), a.column(p.hz), c, tone::cursor); // where its O is, overflowed
        };
        if (s.delta)
            put_cursor(s.delta_hz, 'M');
        put_cursor(s.cursor_hz, 'X');
    }
    if (plot_rows < 3 || width < 10)
        g->put(std::max(0, rows / 2), 0, "(too small for the plot: make the terminal larger)");
    g->put(rows - 2, 0,
           !s.message.empty()      ? s.message
           : !s.mask_verdict.empty() ? s.mask_verdict
                                     : "*now .last ~hold O overflow ?late P/N peak/notch |-3 dB X "
                                       "cursor M delta ^v off scale",
           s.mask_verdict.rfind("mask FAIL", 0) == 0 && s.message.empty() ? tone::alarm : tone::plain);
    g->put(rows - 1, 0, view_keys);
}

std::vector<view_state::mark> curve_marks(const std::vector<level_point> &points, bool normalised) {
    std::vector<view_state::mark> marks;
    if (points.empty())
        return marks;
    marker_settings settings;
    settings.normalised = normalised;
    filter_markers m = find_markers(points, settings);
    if (!m.levels || m.basis == level_basis::none)
        return marks; // as the lines: nothing measured, nothing marked
    if (m.shape == trace_shape::valley)
        marks.push_back({m.notch_hz, m.notch_level, 'N'});
    else
        marks.push_back({m.peak_hz, m.peak_level, 'P'});
    if (!m.drops.empty())
        for (const crossing *c : {&m.lower[0], &m.upper[0]})
            if (edge_known(*c))
                marks.push_back({c->hz, m.reference - m.drops[0], '|'});
    return marks;
}

std::string tune_mask_verdict(const limit_mask &mask, const std::vector<level_point> &levels,
                              bool against_reference) {
    if (mask.relative && !against_reference)
        return "mask (dB): not checked without a reference: r on a through sweep takes one";
    if (!mask.relative && against_reference)
        return "mask (dBm): not checked against a reference: R drops it";
    if (levels.empty())
        return "";
    mask_result r = check_mask(levels, mask);
    if (r.verdict == mask_verdict::pass)
        return "mask PASS, worst margin " + text_of("%.3f dB", r.segments[r.worst_segment].worst_margin) +
               " at " + short_hz(r.segments[r.worst_segment].worst_hz);
    // The segment that fails by most, or the first that cannot tell.
    size_t worst = r.segments.size();
    for (size_t k = 0; k < r.segments.size(); ++k)
        if (r.segments[k].failing > 0 &&
            (worst == r.segments.size() || r.segments[k].worst_margin < r.segments[worst].worst_margin))
            worst = k;
    if (worst < r.segments.size()) {
        const segment_result &w = r.segments[worst];
        return "mask FAIL: worst " + text_of("%.3f dB", -w.worst_margin) +
               (mask.segments[worst].upper ? " over" : " under") + " at " + short_hz(w.worst_hz) +
               " (line " + std::to_string(mask.segments[worst].line) + ")";
    }
    for (size_t k = 0; k < r.segments.size(); ++k)
        if (r.segments[k].left_out > 0 || r.segments[k].checked == 0 || !r.segments[k].covered)
            return "mask cannot tell: line " + std::to_string(mask.segments[k].line) +
                   (r.segments[k].left_out > 0 ? " holds overflowed points" : " is not swept across");
    return "mask cannot tell";
}
