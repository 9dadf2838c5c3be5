#include "plot/gnuplot.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

bool ends_with(const std::string &text, const std::string &end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// User text (file names, titles) as a gnuplot string constant, never as
// program text: single quotes, in which gnuplot substitutes neither
// backquotes nor escapes, with ' doubled. A line end would still end the
// string and start a command, so every control character becomes '?'.
// Shown as it is where used with noenhanced.
std::string quoted(const std::string &text) {
    std::string out = "'";
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F)
            out += '?';
        else if (c == '\'')
            out += "''";
        else
            out += c;
    }
    return out + "'";
}

std::string number(const char *format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// The unit a frequency axis reaching hi is labelled in.
double unit_of(double hi, const char **name) {
    *name = hi >= 1e6 ? "MHz" : hi >= 1e3 ? "kHz" : "Hz";
    return hi >= 1e6 ? 1e6 : hi >= 1e3 ? 1e3 : 1;
}

std::string frequency_text(double hz) {
    const char *unit;
    double scale = unit_of(hz, &unit);
    return number("%.6g ", hz / scale) + unit;
}

std::string tic(double v, double unit, const char *unit_name, int decimals) {
    char text[96];
    std::snprintf(text, sizeof text, "'%.*f %s' %.6f", decimals, v / unit, unit_name, v);
    return text;
}

// The largest step of 1, 2 or 5 times a power of ten that puts at least four
// tics inside the span (three on a small picture).
std::string linear_tics(double lo, double hi, bool small) {
    double least = small ? 3 : 4;
    const char *unit_name;
    double unit = unit_of(hi, &unit_name);
    double step = std::pow(10.0, std::ceil(std::log10(hi - lo)));
    const double down[] = {0.5, 0.4, 0.5}; // 10 -> 5 -> 2 -> 1
    for (int i = 0; std::floor(hi / step) - std::ceil(lo / step) + 1 < least; ++i)
        step *= down[i % 3];
    int decimals = std::max(0, static_cast<int>(std::ceil(-std::log10(step / unit) - 1e-9)));
    std::string text;
    for (double k = std::ceil(lo / step); k * step <= hi * (1 + 1e-12); k += 1)
        text += (text.empty() ? "" : ", ") + tic(k * step, unit, unit_name, decimals);
    return text;
}

// Tics at 1, 2 and 5 of each decade, more where that gives fewer than four;
// on a span too narrow for those, evenly spaced ones. One precision for all:
// enough decimals for the finest. A small picture takes decades alone where
// they give three. The axis's end is labelled too where the last tic falls
// short of it.
std::string log_tics(double lo, double hi, bool small, double end_room) {
    const char *unit_name;
    double unit = unit_of(hi, &unit_name);
    std::vector<std::vector<double>> choices = {{1, 2, 5}, {1, 1.5, 2, 3, 4, 5, 6, 7, 8, 9}};
    if (small)
        choices.insert(choices.begin(), {1});
    for (const auto &mantissas : choices) {
        std::vector<double> at;
        for (int k = static_cast<int>(std::floor(std::log10(lo))); k <= std::ceil(std::log10(hi));
             ++k)
            for (double m : mantissas) {
                double v = m * std::pow(10.0, k);
                if (v >= lo * 0.9999 && v <= hi * 1.0001)
                    at.push_back(v);
            }
        if (at.size() >= (mantissas.size() == 1 ? 3u : 4u)) {
            int decimals = 0;
            for (double v : at) {
                // the decimals this value needs in the unit
                int d = 0;
                while (d < 6 && std::fabs(v / unit * std::pow(10.0, d) -
                                          std::round(v / unit * std::pow(10.0, d))) > 1e-6)
                    ++d;
                decimals = std::max(decimals, d);
            }
            std::string text;
            for (double v : at)
                text += (text.empty() ? "" : ", ") + tic(v, unit, unit_name, decimals);
            char end[96];
            int length = std::snprintf(end, sizeof end, "%.3g %s", hi / unit, unit_name);
            // (a label centred on the axis's end needs half its width beyond it)
            if (at.back() < hi / 2 && length / 2.0 <= end_room) {
                std::snprintf(end, sizeof end, ", '%.3g %s' %.6f", hi / unit, unit_name, hi);
                text += end;
            }
            return text;
        }
    }
    return linear_tics(lo, hi, small);
}

void append_points(std::string &script, const sweep &s, bool overflow_only) {
    char line[64];
    for (const auto &p : s.points) {
        if (overflow_only && !p.overflow)
            continue;
        std::snprintf(line, sizeof line, "%.1f %.3f\n", p.hz, p.level);
        script += line;
    }
    script += "e\n";
}

bool any_overflow(const sweep &s) {
    return std::any_of(s.points.begin(), s.points.end(),
                       [](const sweep_point &p) { return p.overflow; });
}

} // namespace

namespace {

// A label's box, in pixels, y upwards.
struct box {
    double x0, y0, x1, y1;
    bool meets(const box &o) const { return x0 < o.x1 && o.x0 < x1 && y0 < o.y1 && o.y0 < y1; }
};

// The labels' font: 9 points. Estimated generously, so that boxes that do
// not meet here do not meet in the picture.
constexpr double base_char_w = 7.5, base_char_h = 15;

struct placed_marker {
    double hz, level;
    std::string text; // "-3 dB 3.5315 MHz"
    int colour;
};

std::string marker_text(const char *name, double hz) { return std::string(name) + " " + frequency_text(hz); }

bool measured(const filter_markers &m) { return m.levels > 0 && m.basis != level_basis::none; }

// The markers of one trace, as labels to place: the figures, then the
// levels read where the user asked and the deltas' two ends.
void markers_of(const filter_markers &m, int colour, const char *unit,
                std::vector<placed_marker> &out) {
    if (measured(m)) {
        bool valley = m.shape == trace_shape::valley;
        if (valley)
            out.push_back({m.notch_hz, m.notch_level,
                           marker_text(m.kind == filter_kind::notch ? "notch" : "valley",
                                       m.notch_hz),
                           colour});
        else
            out.push_back({m.peak_hz, m.peak_level, marker_text("peak", m.peak_hz), colour});
        size_t drops = valley ? std::min<size_t>(1, m.drops.size()) : m.drops.size();
        for (size_t k = 0; k < drops; ++k) {
            double level = m.reference - m.drops[k];
            std::string name = number("-%g dB", m.drops[k]);
            for (const crossing *c : {&m.lower[k], &m.upper[k]})
                if (edge_known(*c))
                    out.push_back({c->hz, level, marker_text(name.c_str(), c->hz), colour});
        }
    }
    for (const auto &r : m.at)
        if (r.inside)
            out.push_back(
                {r.hz, r.level, frequency_text(r.hz) + number(", %.2f ", r.level) + unit, colour});
    for (size_t k = 0; k + 1 < m.delta.size(); k += 2) {
        const read_level &a = m.delta[k], &b = m.delta[k + 1];
        if (!a.inside || !b.inside)
            continue;
        std::string name = "D" + std::to_string(k / 2 + 1);
        out.push_back({a.hz, a.level, name, colour});
        out.push_back({b.hz, b.level,
                       name + ": " + (b.hz >= a.hz ? "+" : "-") +
                           frequency_text(std::fabs(b.hz - a.hz)) +
                           number(", %+.2f dB", b.level - a.level),
                       colour});
    }
}

// The results of one trace, on a line of their own beneath the plot, each
// with the level its figures are measured from.
std::string results_of(const std::string &name, const filter_markers &m, const char *unit) {
    if (m.levels == 0)
        return name + ": every point overflowed";
    if (!measured(m))
        return name + ": " + m.cannot;
    std::string text = name + ": " + kind_name(m.kind);
    if (m.kind == filter_kind::none)
        text += std::string(", ") + shape_words(m.shape);
    text += ", " + basis_words(m, unit);
    auto edge = [](const crossing &c) { return edge_known(c); };
    if (m.shape == trace_shape::valley) {
        text += ", notch " + frequency_text(m.notch_hz) + number(" %.2f ", m.notch_level) + unit +
                number(m.undersampled ? ", depth at least %.1f dB" : ", depth %.1f dB", m.depth);
        if (!m.drops.empty() && edge(m.lower[0]) && edge(m.upper[0]))
            text += number(", -%g dB bw ", m.drops[0]) +
                    frequency_text(m.upper[0].hz - m.lower[0].hz);
        return text;
    }
    if (m.kind != filter_kind::none || m.shape == trace_shape::peak) {
        text += ", peak " + frequency_text(m.peak_hz) + number(" %.2f ", m.peak_level) + unit;
        if (!std::isnan(m.loss))
            text += number(", loss %.2f dB", m.loss);
    }
    for (size_t k = 0; k < m.drops.size(); ++k) {
        const crossing &lo = m.lower[k], &hi = m.upper[k];
        if (m.shape == trace_shape::peak && edge(lo) && edge(hi)) {
            text += number(", -%g dB bw ", m.drops[k]) + frequency_text(hi.hz - lo.hz);
            if (k == 0) {
                double centre = std::sqrt(lo.hz * hi.hz);
                text += ", centre " + frequency_text(centre) +
                        number(", Q %.2f", centre / (hi.hz - lo.hz));
            }
        } else if (m.shape != trace_shape::peak) {
            const crossing &c = m.shape == trace_shape::falling ? hi : lo;
            if (edge(c))
                text += number(", -%g dB ", m.drops[k]) + frequency_text(c.hz);
        }
    }
    if (!std::isnan(m.ripple))
        text += number(", ripple %.2f dB", m.ripple);
    return text;
}

} // namespace

std::string gnuplot_script(const std::vector<sweep> &sweeps,
                           const std::vector<filter_markers> &markers, const std::string &output,
                           const picture_settings &settings) {
    double lo = 0, hi = 0;
    std::string names;
    for (const auto &s : sweeps) {
        names += (names.empty() ? "" : ", ") + s.name;
        if (s.points.empty())
            continue;
        if (lo == 0 || s.points.front().hz < lo)
            lo = s.points.front().hz;
        hi = std::max(hi, s.points.back().hz);
    }
    axis_scale scale = settings.scale;
    bool log =
        scale == axis_scale::logarithmic || (scale == axis_scale::automatic && hi >= 10 * lo);
    const char *unit = settings.reference.empty() ? "dBm" : "dB";
    std::string title = settings.title.empty() ? names : settings.title;
    std::string subtitle =
        settings.reference.empty() ? "" : "normalised to " + settings.reference;
    // Small pictures: a smaller font and fewer tics, so that nothing runs together.
    bool small = settings.width < 640 || settings.height < 400;
    double font = small ? 7 : 9;
    double char_w = base_char_w * font / 9, char_h = base_char_h * font / 9;

    // The level range holds every point and every marker, with a margin.
    double y_lo = 0, y_hi = 0;
    bool any = false;
    for (size_t i = 0; i < sweeps.size(); ++i)
        for (const auto &p : sweeps[i].points) {
            double line = i < markers.size() && measured(markers[i]) && !markers[i].drops.empty()
                              ? markers[i].reference - markers[i].drops[0]
                              : p.level;
            y_lo = any ? std::min({y_lo, p.level, line}) : std::min(p.level, line);
            y_hi = any ? std::max(y_hi, p.level) : p.level;
            any = true;
        }
    // The markers' own levels too: a fitted notch below the points, a
    // stated level above them.
    for (size_t i = 0; i < sweeps.size() && i < markers.size() && any; ++i) {
        const auto &m = markers[i];
        if (sweeps[i].points.empty() || !measured(m))
            continue;
        if (m.shape == trace_shape::valley)
            y_lo = std::min(y_lo, m.notch_level);
        y_hi = std::max(y_hi, m.reference);
    }
    y_lo -= 2;
    y_hi += 2;
    if (settings.range_given) {
        y_lo = settings.level_lo;
        y_hi = settings.level_hi;
    }

    // The labels: beside their points where no two boxes meet and none
    // leaves the plot; else numbered, with a table beneath.
    std::vector<placed_marker> placed;
    for (size_t i = 0; i < sweeps.size() && i < markers.size(); ++i)
        if (!sweeps[i].points.empty())
            markers_of(markers[i], static_cast<int>(i) + 1, unit, placed);
    double width = settings.width, height = settings.height;
    // Lines beneath the plot, each with its trace's colour (0: none), broken
    // after a comma so that none runs off the picture.
    std::vector<std::pair<std::string, int>> beneath;
    auto add_beneath = [&](const std::string &text, int colour) {
        size_t fits = static_cast<size_t>(width * 0.95 / char_w);
        std::string rest = text;
        while (rest.size() > fits) {
            size_t cut = rest.rfind(", ", fits);
            if (cut == std::string::npos || cut == 0)
                cut = fits;
            beneath.push_back({rest.substr(0, cut + (rest[cut] == ',' ? 1 : 0)), colour});
            rest = "    " + rest.substr(cut + (rest[cut] == ',' ? 2 : 0));
        }
        beneath.push_back({rest, colour});
    };
    for (size_t i = 0; i < sweeps.size() && i < markers.size(); ++i)
        if (!sweeps[i].points.empty())
            add_beneath(results_of(sweeps[i].name, markers[i], unit), static_cast<int>(i) + 1);
    double left = 0.11, right = 0.97, top = 0.91;
    auto x_of = [&](double hz) {
        double t = log ? std::log(hz / lo) / std::log(hi / lo) : (hz - lo) / (hi - lo);
        return (left + t * (right - left)) * width;
    };
    // The bottom margin: axis, key, results and (perhaps) the table.
    // At most 45 % of the picture: lines beyond that are left to the text
    // output, which prints every marker.
    size_t room = static_cast<size_t>(std::max(0.0, (0.45 * height / char_h - 5.4) / 1.3));
    // The key's entries, one row or more where they do not fit the width.
    double key_w = 0;
    for (const auto &s : sweeps) {
        double name = static_cast<double>(s.name.size());
        key_w += (name + 14 + (any_overflow(s) ? name + 24 : 0) +
                  (s.smooth.empty() ? 0 : name + 24)) *
                 base_char_w;
    }
    double key_rows = std::max(1.0, std::ceil(key_w / (0.9 * width)));
    auto bottom_for = [&](size_t lines) {
        return (5.4 + 1.3 * (key_rows - 1) + 1.3 * static_cast<double>(std::min(lines, room))) *
               char_h / height;
    };
    double bottom = bottom_for(beneath.size());
    auto y_of = [&](double level) {
        double t = (level - y_lo) / (y_hi - y_lo);
        return (bottom + t * (top - bottom)) * height;
    };
    // The title's words as given, broken between words where a line would
    // not fit; what it is normalised to on a line of its own.
    std::vector<std::string> title_lines;
    {
        size_t fits = static_cast<size_t>(width * 0.95 / (char_w * (font + 1) / font));
        std::string line;
        for (size_t start = 0; start <= title.size();) {
            size_t space = title.find(' ', start);
            if (space == std::string::npos)
                space = title.size();
            std::string word = title.substr(start, space - start);
            if (!line.empty() && line.size() + 1 + word.size() > fits) {
                title_lines.push_back(line);
                line.clear();
            }
            line += (line.empty() ? "" : " ") + word;
            start = space + 1;
        }
        title_lines.push_back(line);
        if (!subtitle.empty())
            title_lines.push_back(subtitle);
    }
    top = 1 - (1.3 * static_cast<double>(title_lines.size()) + 0.8) * char_h * (font + 1) / font /
                  height;
    // Each label beside its point, on the first side where it meets no other
    // label and no marker's point and stays in the plot; where one finds
    // none, all are numbered, and the numbers placed the same way.
    const double sides[][2] = {{1.0, 0.3}, {1.0, -1.3}, {-1.0, 0.3},
                               {-1.0, -1.3}, {1.0, 1.4}, {1.0, -2.4}};
    std::vector<int> side_of;
    auto place = [&](bool as_numbers) {
        std::vector<box> boxes;
        for (const auto &m : placed)
            boxes.push_back({x_of(m.hz) - 4, y_of(m.level) - 4, x_of(m.hz) + 4, y_of(m.level) + 4});
        bool all = true;
        side_of.assign(placed.size(), -1);
        for (size_t k = 0; k < placed.size(); ++k) {
            std::string text = as_numbers ? std::to_string(k + 1) : placed[k].text;
            double w = static_cast<double>(text.size()) * char_w;
            for (int side = 0; side < 6 && side_of[k] < 0; ++side) {
                double x = x_of(placed[k].hz) + sides[side][0] * char_w;
                double y = y_of(placed[k].level) + sides[side][1] * char_h;
                box b{sides[side][0] < 0 ? x - w : x, y, sides[side][0] < 0 ? x : x + w,
                      y + char_h};
                bool clear = b.x0 >= left * width && b.x1 <= right * width &&
                             b.y1 <= top * height && b.y0 >= bottom * height;
                for (const auto &o : boxes)
                    clear = clear && !b.meets(o);
                if (clear) {
                    side_of[k] = side;
                    boxes.push_back(b);
                }
            }
            if (side_of[k] < 0) {
                all = false;
                side_of[k] = 0;
            }
        }
        return all;
    };
    bool numbered = !place(false);
    // Numbers are keyed by the table: it goes first beneath, before the
    // results (which the text output holds too), and a number the room
    // beneath cannot key is not drawn; its point stays.
    size_t keyed = placed.size();
    if (numbered) {
        std::vector<std::pair<std::string, int>> table;
        std::vector<size_t> last_on_row;
        std::string row;
        for (size_t k = 0; k < placed.size(); ++k) {
            std::string item = std::to_string(k + 1) + " " + placed[k].text;
            if (!row.empty() && (row.size() + item.size() + 3) * char_w > width * 0.9) {
                table.push_back({row, 0});
                last_on_row.push_back(k);
                row.clear();
            }
            row += (row.empty() ? "" : "   ") + item;
        }
        table.push_back({row, 0});
        last_on_row.push_back(placed.size());
        if (table.size() > room) {
            table.resize(room);
            keyed = room > 0 ? last_on_row[room - 1] : 0;
        }
        size_t results = std::min(beneath.size(), room - table.size());
        beneath.resize(results);
        if (results > 0 && results < static_cast<size_t>(std::count_if(
                                        sweeps.begin(), sweeps.end(),
                                        [](const sweep &w) { return !w.points.empty(); })))
            beneath.back() = {"(more in talvik-plot's text output)", 0};
        beneath.insert(beneath.end(), table.begin(), table.end());
        bottom = bottom_for(beneath.size());
        place(true);
    }

    std::string script;
    std::string size = std::to_string(settings.width) + "," + std::to_string(settings.height);
    std::string fonts = number(" font ',%.0f'", font + 1);
    if (ends_with(output, ".svg"))
        script += "set terminal svg size " + size + fonts + " dynamic background rgb 'white'\n";
    else
        script += "set terminal png size " + size + fonts + "\n";
    script += "set output\n"; // standard output: talvik-plot writes the file
    // The user's title as given; what it is normalised to on a line of its own.
    std::string title_text;
    for (const auto &line : title_lines)
        title_text += (title_text.empty() ? "" : ".\"\\n\".") + quoted(line);
    script += "set title " + title_text + " noenhanced\n";
    // Labels on an opaque ground, so that no trace runs through their text.
    script += "set style textbox opaque noborder\n";
    script += "set lmargin at screen " + number("%.4f", left) + "\nset rmargin at screen " +
              number("%.4f", right) + "\nset tmargin at screen " + number("%.4f", top) +
              "\nset bmargin at screen " + number("%.4f", bottom) + "\n";
    if (log)
        script += "set logscale x\n";
    if (hi > lo)
        script += "set xrange [" + number("%.3f", lo) + ":" + number("%.3f", hi) +
                  "]\nset xtics (" + (log ? log_tics(lo, hi, small, (1 - right) * width / base_char_w)
                       : linear_tics(lo, hi, small)) + ")\n";
    if (any)
        script += "set yrange [" + number("%.3f", y_lo) + ":" + number("%.3f", y_hi) + "]\n";
    script += "set grid xtics ytics\nset xlabel 'Frequency'\nset ylabel " +
              quoted(settings.y_label) + " noenhanced\n";
    // The key just beneath the axis; the results and any table below it.
    script += "set key at screen 0.5, screen " +
              number("%.4f", bottom - 3.5 * char_h / height) +
              " center top horizontal noenhanced\n";
    for (size_t k = 0; k < placed.size(); ++k) {
        const auto &m = placed[k];
        std::string text = numbered ? (k < keyed ? std::to_string(k + 1) : "") : m.text;
        const double *side = sides[side_of[k]];
        script += "set label " + quoted(text) + " at " + number("%.3f", m.hz) + ", " +
                  number("%.3f", m.level) + (side[0] < 0 ? " right" : " left") +
                  " point pt 7 ps 1.2 lc " + std::to_string(m.colour) + " offset char " +
                  number("%.1f", side[0]) + ", " + number("%.1f", side[1] + 0.5) +
                  number(" font ',%.0f'", font) + " tc lt " + std::to_string(m.colour) +
                  " boxed noenhanced front\n";
    }
    // Each delta's two ends joined.
    for (size_t i = 0; i < sweeps.size() && i < markers.size(); ++i) {
        const auto &d = markers[i].delta;
        for (size_t k = 0; k + 1 < d.size(); k += 2)
            if (d[k].inside && d[k + 1].inside)
                script += "set arrow from " + number("%.3f", d[k].hz) + ", " +
                          number("%.3f", d[k].level) + " to " + number("%.3f", d[k + 1].hz) +
                          ", " + number("%.3f", d[k + 1].level) + " nohead lw 1.5 lc " +
                          std::to_string(i + 1) + " front\n";
    }
    // Each trace's first drop as a dashed line across the plot.
    for (size_t i = 0; i < sweeps.size() && i < markers.size(); ++i) {
        const auto &m = markers[i];
        if (sweeps[i].points.empty() || !measured(m) || m.drops.empty())
            continue;
        double line = m.reference - m.drops[0];
        script += "set arrow from graph 0, first " + number("%.3f", line) + " to graph 1, first " +
                  number("%.3f", line) + " nohead dt 2 lc " + std::to_string(i + 1) + "\n";
    }
    if (beneath.size() > room) {
        beneath.resize(room);
        if (room > 0)
            beneath.back() = {"(more in talvik-plot's text output)", 0};
    }
    for (size_t k = 0; k < beneath.size(); ++k) {
        int colour = beneath[k].second;
        script += "set label " + quoted(beneath[k].first) + " at screen 0.02, screen " +
                  number("%.4f", bottom - (5.0 + 1.3 * (key_rows - 1 + static_cast<double>(k))) *
                                             char_h / height) +
                  " left" + number(" font ',%.0f'", font) +
                  (colour > 0 ? " tc lt " + std::to_string(colour) : std::string()) +
                  " noenhanced\n";
    }
    // The mask first, behind the traces: each limit as points along it (a
    // straight line in hertz, which a log axis bends), the region outside it
    // shaded; both clipped to the plot.
    std::string plots, mask_data;
    if (settings.mask)
        for (const auto &seg : settings.mask->segments) {
            double from = log ? std::max(seg.start_hz, lo) : seg.start_hz;
            double to = log ? std::min(seg.stop_hz, hi) : seg.stop_hz;
            if (!(from < to))
                continue;
            std::string data;
            for (int k = 0; k <= 64; ++k) {
                double hz = from + (to - from) * k / 64;
                data += number("%.3f", hz) + " " + number("%.3f", seg.limit_at(hz)) + " " +
                        (seg.upper ? "1000" : "-1000") + "\n";
            }
            data += "e\n";
            plots += std::string(plots.empty() ? "" : ", ") +
                     "'-' using 1:2:3 with filledcurves fc rgb '#f4c7c3' fs transparent solid 0.5 "
                     "noborder notitle, '-' using 1:2 with lines lw 2 lc rgb '#c0392b' notitle";
            mask_data += data + data;
        }
    int colour = 1;
    for (const auto &s : sweeps) {
        if (!plots.empty())
            plots += ", ";
        // Under a smoothed trace, the readings as points alone.
        plots += "'-' using 1:2 with " + std::string(s.smooth.empty() ? "linespoints" : "points") +
                 " lc " + std::to_string(colour) + " pt 7 ps " + (s.smooth.empty() ? "0.5" : "0.3") +
                 " title " + quoted(s.name);
        if (any_overflow(s))
            plots += ", '-' using 1:2 with points lc " + std::to_string(colour) +
                     " pt 6 ps 2.5 title " + quoted(s.name + ": overflow");
        if (!s.smooth.empty())
            plots += ", '-' using 1:2 with lines lw 2.5 lc " + std::to_string(colour) +
                     " title " + quoted(s.name + ": smoothed");
        ++colour;
    }
    if (!settings.failing.empty())
        plots += ", '-' using 1:2 with points pt 2 ps 1.5 lw 2 lc rgb '#c0392b' title 'fails the mask'";
    script += "plot " + plots + "\n" + mask_data;
    for (const auto &s : sweeps) {
        append_points(script, s, false);
        if (any_overflow(s))
            append_points(script, s, true);
        if (!s.smooth.empty()) {
            sweep smooth;
            for (const auto &p : s.smooth)
                if (!p.overflow)
                    smooth.points.push_back(p);
            append_points(script, smooth, false);
        }
    }
    if (!settings.failing.empty()) {
        sweep failing;
        failing.points = settings.failing;
        append_points(script, failing, false);
    }
    return script;
}

std::string find_gnuplot(const char *name, char separator, const char *folder_marks,
                         const char *default_path, bool (*usable)(const std::string &path)) {
    const char *chosen = std::getenv("TALVIK_GNUPLOT");
    std::string program = chosen && *chosen ? chosen : name;
    if (program.find_first_of(folder_marks) != std::string::npos)
        return usable(program) ? program : "";
    const char *path = std::getenv("PATH");
    std::string dirs = path ? path : default_path;
    for (size_t start = 0; start <= dirs.size();) {
        size_t end = dirs.find(separator, start);
        if (end == std::string::npos)
            end = dirs.size();
        std::string dir = dirs.substr(start, end - start);
        std::string candidate = (dir.empty() ? "." : dir) + folder_marks[0] + program;
        if (usable(candidate))
            return candidate;
        start = end + 1;
    }
    return "";
}

bool is_picture(const std::string &output, const char *head, size_t size) {
    std::string start(head, size);
    if (ends_with(output, ".png"))
        return start.rfind("\x89PNG\r\n\x1a\n", 0) == 0;
    size_t first = start.find_first_not_of(" \t\r\n");
    return first != std::string::npos &&
           (start.compare(first, 5, "<?xml") == 0 || start.compare(first, 4, "<svg") == 0);
}

bool draw_sweeps(const std::vector<sweep> &sweeps, const std::vector<filter_markers> &markers,
                 const std::string &output, const picture_settings &settings,
                 std::string &error) {
    if (!ends_with(output, ".png") && !ends_with(output, ".svg")) {
        error = "the plot's name must end in .png or .svg: " + output;
        return false;
    }
    for (const auto &s : sweeps) {
        if (s.points.empty()) {
            error = s.name + ": no points to draw";
            return false;
        }
    }
    return run_gnuplot(gnuplot_script(sweeps, markers, output, settings), output, error);
}
