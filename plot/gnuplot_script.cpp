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
// tics inside the span.
std::string linear_tics(double lo, double hi) {
    const char *unit_name;
    double unit = unit_of(hi, &unit_name);
    double step = std::pow(10.0, std::ceil(std::log10(hi - lo)));
    const double down[] = {0.5, 0.4, 0.5}; // 10 -> 5 -> 2 -> 1
    for (int i = 0; std::floor(hi / step) - std::ceil(lo / step) + 1 < 4; ++i)
        step *= down[i % 3];
    int decimals = std::max(0, static_cast<int>(std::ceil(-std::log10(step / unit) - 1e-9)));
    std::string text;
    for (double k = std::ceil(lo / step); k * step <= hi * (1 + 1e-12); k += 1)
        text += (text.empty() ? "" : ", ") + tic(k * step, unit, unit_name, decimals);
    return text;
}

// Tics at 1, 2 and 5 of each decade, more where that gives fewer than four;
// on a span too narrow for those, evenly spaced ones.
std::string log_tics(double lo, double hi) {
    const char *unit_name;
    double unit = unit_of(hi, &unit_name);
    for (auto mantissas :
         {std::vector<double>{1, 2, 5}, std::vector<double>{1, 1.5, 2, 3, 4, 5, 6, 7, 8, 9}}) {
        std::vector<std::string> tics;
        for (int k = static_cast<int>(std::floor(std::log10(lo))); k <= std::ceil(std::log10(hi));
             ++k)
            for (double m : mantissas) {
                double v = m * std::pow(10.0, k);
                if (v >= lo * 0.9999 && v <= hi * 1.0001) {
                    int decimals =
                        std::max(0, static_cast<int>(std::ceil(-std::log10(v / unit) + 1e-9)) + 1);
                    tics.push_back(tic(v, unit, unit_name, std::min(decimals, 6)));
                }
            }
        if (tics.size() >= 4) {
            std::string text;
            for (const auto &t : tics)
                text += (text.empty() ? "" : ", ") + t;
            return text;
        }
    }
    return linear_tics(lo, hi);
}

// A marker: a point with its frequency beside it.
std::string marker(double hz, double level, int colour) {
    return "set label " + quoted(frequency_text(hz)) + " at " + number("%.3f", hz) + ", " +
           number("%.3f", level) + " point pt 7 ps 1.2 lc " + std::to_string(colour) +
           " offset char 0.6, 0.6 font ',9' noenhanced front\n";
}

std::string markers_of(const filter_markers &m, int colour) {
    std::string text;
    double line_level = m.reference - 3;
    if (m.kind == filter_kind::notch)
        text += marker(m.notch_hz, m.notch_level, colour);
    else
        text += marker(m.peak_hz, m.peak_level, colour);
    int drops = m.kind == filter_kind::notch ? 1 : 3;
    for (int k = 0; k < drops; ++k) {
        double level = m.reference - marker_drops[k];
        if (m.lower[k].found)
            text += marker(m.lower[k].hz, level, colour);
        if (m.upper[k].found)
            text += marker(m.upper[k].hz, level, colour);
    }
    // The -3 dB line: below the peak, or above the notch at the band's level less 3.
    text += "set arrow from graph 0, first " + number("%.3f", line_level) + " to graph 1, first " +
            number("%.3f", line_level) + " nohead dt 2 lc " + std::to_string(colour) + "\n";
    text += "set label '-3 dB' at graph 1, first " + number("%.3f", line_level) +
            " right offset char -0.5, 0.6 font ',9' tc lt " + std::to_string(colour) + "\n";
    return text;
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

std::string gnuplot_script(const std::vector<sweep> &sweeps,
                           const std::vector<filter_markers> &markers, const std::string &output,
                           const std::string &y_label, axis_scale scale) {
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
    bool log =
        scale == axis_scale::logarithmic || (scale == axis_scale::automatic && hi >= 10 * lo);
    std::string script;
    if (ends_with(output, ".svg"))
        script += "set terminal svg size 900,600 dynamic background rgb 'white'\n";
    else
        script += "set terminal png size 900,600\n";
    script += "set output\n"; // standard output: talvik-plot writes the file
    script += "set title " + quoted(names) + " noenhanced\n";
    if (log)
        script += "set logscale x\n";
    if (hi > lo)
        script += "set xrange [" + number("%.3f", lo) + ":" + number("%.3f", hi) +
                  "]\nset xtics (" + (log ? log_tics(lo, hi) : linear_tics(lo, hi)) + ")\n";
    // The level range holds every point and every -3 dB line, with a margin.
    double y_lo = 0, y_hi = 0;
    bool any = false;
    for (size_t i = 0; i < sweeps.size(); ++i)
        for (const auto &p : sweeps[i].points) {
            double line = i < markers.size() && markers[i].levels > 0 ? markers[i].reference - 3 : p.level;
            y_lo = any ? std::min({y_lo, p.level, line}) : std::min(p.level, line);
            y_hi = any ? std::max(y_hi, p.level) : p.level;
            any = true;
        }
    if (any)
        script +=
            "set yrange [" + number("%.3f", y_lo - 2) + ":" + number("%.3f", y_hi + 2) + "]\n";
    script += "set grid xtics ytics\nset xlabel 'Frequency'\nset ylabel " + quoted(y_label) +
              " noenhanced\n";
    // Below the plot, where it covers no trace.
    script += "set key outside below center horizontal noenhanced\n";
    for (size_t i = 0; i < sweeps.size() && i < markers.size(); ++i)
        if (!sweeps[i].points.empty() && markers[i].levels > 0)
            script += markers_of(markers[i], static_cast<int>(i) + 1);
    std::string plots;
    int colour = 1;
    for (const auto &s : sweeps) {
        if (!plots.empty())
            plots += ", ";
        plots += "'-' using 1:2 with linespoints lc " + std::to_string(colour) +
                 " pt 7 ps 0.5 title " + quoted(s.name);
        if (any_overflow(s))
            plots += ", '-' using 1:2 with points lc " + std::to_string(colour) +
                     " pt 6 ps 2.5 title " + quoted(s.name + ": overflow");
        ++colour;
    }
    script += "plot " + plots + "\n";
    for (const auto &s : sweeps) {
        append_points(script, s, false);
        if (any_overflow(s))
            append_points(script, s, true);
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
                 const std::string &output, const std::string &y_label, axis_scale scale,
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
    return run_gnuplot(gnuplot_script(sweeps, markers, output, y_label, scale), output, error);
}
