#include "tune/control.hpp"

#include "measure/words.hpp"

#include <algorithm>
#include <cmath>

namespace {

constexpr double top_hz = 30e6;

band zoomed(const tune_settings &s, double anchor, double factor) {
    if (s.linear)
        return {anchor - (anchor - s.start_hz) * factor, anchor + (s.stop_hz - anchor) * factor};
    return {anchor * std::pow(s.start_hz / anchor, factor),
            anchor * std::pow(s.stop_hz / anchor, factor)};
}

// Moved (keeping its span on its axis) to lie within the limits, then cut
// to them where it still does not.
band within(band b, bool linear, const band_limits &l) {
    if (b.start_hz < l.lowest_hz) {
        double by = linear ? l.lowest_hz - b.start_hz : l.lowest_hz / b.start_hz;
        b = linear ? band{b.start_hz + by, b.stop_hz + by} : band{b.start_hz * by, b.stop_hz * by};
    }
    if (b.stop_hz > l.highest_hz) {
        double by = linear ? b.stop_hz - l.highest_hz : b.stop_hz / l.highest_hz;
        b = linear ? band{b.start_hz - by, b.stop_hz - by} : band{b.start_hz / by, b.stop_hz / by};
    }
    b.start_hz = std::max(b.start_hz, l.lowest_hz);
    b.stop_hz = std::min({b.stop_hz, l.highest_hz, b.start_hz + l.widest_hz});
    return b;
}

} // namespace

band_limits limits_of(const tune_settings &home) {
    double low_band_hz = word_hz(low_band_word);
    band_limits l;
    l.lowest_hz = home.start_hz < low_band_hz ? 1 : low_band_hz;
    l.highest_hz = top_hz;
    l.widest_hz = std::min(10 * (home.stop_hz - home.start_hz), l.highest_hz - l.lowest_hz);
    return l;
}

double band_middle(const tune_settings &s) {
    return s.linear ? (s.start_hz + s.stop_hz) / 2 : std::sqrt(s.start_hz * s.stop_hz);
}

band zoom_about(const tune_settings &now, double anchor, double factor, const band_limits &l) {
    anchor = std::clamp(anchor, now.start_hz, now.stop_hz);
    if (factor <= 1)
        return within(zoomed(now, anchor, factor), now.linear, l);
    // Out: cut at the limits, as an instrument's zoom stops at its band's
    // edge (moving the band there would take the anchor with it), and only
    // as far as the widest span: the factor that reaches it.
    auto cut = [&](double f) {
        band b = zoomed(now, anchor, f);
        return band{std::max(b.start_hz, l.lowest_hz), std::min(b.stop_hz, l.highest_hz)};
    };
    band b = cut(factor);
    if (b.stop_hz - b.start_hz > l.widest_hz) {
        double lo = 1, hi = factor;
        for (int k = 0; k < 60; ++k) {
            double mid = (lo + hi) / 2;
            band m = cut(mid);
            (m.stop_hz - m.start_hz > l.widest_hz ? hi : lo) = mid;
        }
        b = cut(lo);
    }
    return b;
}

band centred_on(const tune_settings &now, double hz, const band_limits &l) {
    double middle = band_middle(now);
    band b = now.linear ? band{now.start_hz + hz - middle, now.stop_hz + hz - middle}
                        : band{now.start_hz * hz / middle, now.stop_hz * hz / middle};
    return within(b, now.linear, l);
}

band shifted(const tune_settings &now, double tenths, const band_limits &l) {
    double move = (now.stop_hz - now.start_hz) * tenths / 10;
    return within({now.start_hz + move, now.stop_hz + move}, now.linear, l);
}

size_t nearest_point(const std::vector<level_point> &points, double hz) {
    auto after = std::lower_bound(points.begin(), points.end(), hz,
                                  [](const level_point &p, double f) { return p.hz < f; });
    if (after == points.end())
        return points.empty() ? 0 : points.size() - 1;
    size_t i = static_cast<size_t>(after - points.begin());
    return i > 0 && hz - points[i - 1].hz < points[i].hz - hz ? i - 1 : i;
}

long extreme_point(const std::vector<level_point> &points, bool notch) {
    long best = -1;
    for (size_t i = 0; i < points.size(); ++i) {
        if (points[i].overflow)
            continue;
        double level = points[i].level, held = best < 0 ? 0 : points[static_cast<size_t>(best)].level;
        if (best < 0 || (notch ? level < held : level > held))
            best = static_cast<long>(i);
    }
    return best;
}

long next_peak(const std::vector<level_point> &points, size_t from, int direction, bool notch) {
    if (from >= points.size())
        return -1;
    double sign = notch ? -1 : 1;
    auto level = [&](size_t i) { return sign * points[i].level; };
    // From where it stands, the trace must first fall (a dip of the
    // excursion), then the peak is the top of the rise after it, confirmed
    // by a fall of the excursion or the end of the trace.
    double low = points[from].overflow ? HUGE_VAL : level(from);
    double high = -HUGE_VAL;
    long at = -1;
    bool rising = false;
    for (long i = static_cast<long>(from) + direction; i >= 0 && i < static_cast<long>(points.size());
         i += direction) {
        size_t k = static_cast<size_t>(i);
        if (points[k].overflow)
            continue;
        double v = level(k);
        if (!rising) {
            low = std::min(low, v);
            if (v >= low + peak_excursion_db) {
                rising = true;
                high = v;
                at = i;
            }
        } else if (v > high) {
            high = v;
            at = i;
        } else if (v <= high - peak_excursion_db) {
            return at;
        }
    }
    // A rise that runs to the trace's end is no peak the trace shows.
    return -1;
}
