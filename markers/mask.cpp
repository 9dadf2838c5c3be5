#include "markers/mask.hpp"

#include "common/number.hpp"
#include "common/text.hpp"
#include "markers/markers.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

namespace {

constexpr size_t most_segments = 1000;

std::string text_of(const char *format, double a) {
    char text[64];
    std::snprintf(text, sizeof text, format, a);
    return text;
}

std::vector<std::string> words_of(const std::string &line) {
    std::vector<std::string> words;
    std::istringstream in(line);
    for (std::string w; in >> w;)
        words.push_back(w);
    return words;
}

std::string describe(const mask_segment &s) {
    // Its ends in a few digits, or whole where those would read the same.
    bool same = short_hz(s.start_hz) == short_hz(s.stop_hz);
    std::string text = std::string(s.upper ? "upper" : "lower") + " " +
                       (same ? text_of("%.1f Hz", s.start_hz) : short_hz(s.start_hz)) + " to " +
                       (same ? text_of("%.1f Hz", s.stop_hz) : short_hz(s.stop_hz)) + ", " +
                       text_of("%g", s.start_db);
    if (s.stop_db != s.start_db)
        text += text_of(" to %g", s.stop_db);
    return text;
}

} // namespace

double mask_segment::limit_at(double hz) const {
    double t = stop_hz > start_hz ? (hz - start_hz) / (stop_hz - start_hz) : 0;
    return start_db + (stop_db - start_db) * std::clamp(t, 0.0, 1.0);
}

bool parse_mask(const std::string &text, const std::string &name, limit_mask *mask,
                std::string *why) {
    limit_mask m;
    int number = 0;
    bool unit_seen = false, any = false;
    auto refuse = [&](const std::string &reason) {
        *why = shortened(printable(name), 200) + ", line " + std::to_string(number) + ": " + reason;
        return false;
    };
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, (end == std::string::npos ? text.size() : end) - start);
        start = end == std::string::npos ? text.size() : end + 1;
        ++number;
        if (line.find('\0') != std::string::npos)
            return refuse("a NUL byte: not a text file");
        line = trimmed(line.substr(0, line.find('#')));
        if (line.empty())
            continue;
        std::vector<std::string> w = words_of(line);
        if (w[0] == "unit") {
            if (unit_seen || any)
                return refuse("'unit' comes once, before the segments");
            if (w.size() != 2 || (w[1] != "dB" && w[1] != "dBm"))
                return refuse("'unit dB' (against a reference) or 'unit dBm'");
            m.relative = w[1] == "dB";
            unit_seen = true;
            continue;
        }
        if (w.size() != 4 && w.size() != 5)
            return refuse("not 'START STOP upper|lower LEVEL [LEVEL2]': '" +
                          shortened(printable(line), 60) + "'");
        mask_segment s;
        s.line = number;
        if (!read_frequency(w[0].c_str(), &s.start_hz) || !read_frequency(w[1].c_str(), &s.stop_hz) ||
            s.stop_hz > 1e9)
            return refuse("frequencies as 3.5M, 350k or 3500000, up to 1 GHz");
        if (!(s.start_hz < s.stop_hz))
            return refuse("the start must be below the stop");
        if (w[2] != "upper" && w[2] != "lower")
            return refuse("'" + shortened(printable(w[2]), 20) + "' is neither upper nor lower");
        s.upper = w[2] == "upper";
        if (!parse_decimal(w[3].c_str(), -400, 400, &s.start_db) ||
            !parse_decimal(w.size() == 5 ? w[4].c_str() : w[3].c_str(), -400, 400, &s.stop_db))
            return refuse("levels are numbers of dB from -400 to 400");
        for (const auto &o : m.segments)
            if (o.upper == s.upper && s.start_hz < o.stop_hz && o.start_hz < s.stop_hz)
                return refuse(std::string(s.upper ? "upper" : "lower") + " segments overlap (line " +
                              std::to_string(o.line) + ")");
        if (m.segments.size() == most_segments)
            return refuse("more than 1000 segments");
        m.segments.push_back(s);
        any = true;
    }
    if (!any) {
        *why = shortened(printable(name), 200) + ": no segments: not a mask";
        return false;
    }
    *mask = m;
    return true;
}

mask_result check_mask(const std::vector<level_point> &points, const limit_mask &mask) {
    mask_result r;
    r.segments.resize(mask.segments.size());
    double first_step = points.size() > 1 ? points[1].hz - points[0].hz : 0;
    double last_step = points.size() > 1 ? points.back().hz - points[points.size() - 2].hz : 0;
    bool fail = false, unknown = false;
    for (size_t k = 0; k < mask.segments.size(); ++k) {
        const mask_segment &s = mask.segments[k];
        segment_result &out = r.segments[k];
        // Reached across: an end short of the sweep by no more than one of
        // its steps (talvik never measures its end frequency), nor a tenth
        // of the segment, so that one point does not stand for all of it.
        double short_start = points.empty() ? 0 : points.front().hz - s.start_hz;
        double short_stop = points.empty() ? 0 : s.stop_hz - points.back().hz;
        double most = (s.stop_hz - s.start_hz) / 10;
        out.covered = !points.empty() && short_start <= std::min(first_step, most) &&
                      short_stop <= std::min(last_step, most);
        for (const auto &p : points) {
            if (p.hz < s.start_hz || p.hz > s.stop_hz)
                continue;
            if (p.overflow) {
                ++out.left_out;
                continue;
            }
            ++out.checked;
            double limit = s.limit_at(p.hz);
            // To a millionth of a dB: a level exactly at its limit passes,
            // whatever the last bit of a subtraction made of it.
            double margin = std::round((s.upper ? limit - p.level : p.level - limit) * 1e6) / 1e6;
            if (margin < 0)
                ++out.failing;
            if (!out.worst_known || margin < out.worst_margin) {
                out.worst_known = true;
                out.worst_hz = p.hz;
                out.worst_level = p.level;
                out.worst_margin = margin;
            }
        }
        fail = fail || out.failing > 0;
        unknown = unknown || out.left_out > 0 || out.checked == 0 || !out.covered;
        if (out.worst_known && (!r.any || out.worst_margin < r.segments[r.worst_segment].worst_margin)) {
            r.any = true;
            r.worst_segment = k;
        }
    }
    r.verdict = fail ? mask_verdict::fail : unknown ? mask_verdict::cannot_tell : mask_verdict::pass;
    return r;
}

std::vector<std::string> mask_lines(const std::string &name, const limit_mask &mask,
                                    const mask_result &r, const char *unit) {
    std::vector<std::string> lines;
    std::string head = name + ": mask ";
    if (r.verdict == mask_verdict::pass) {
        const segment_result &w = r.segments[r.worst_segment];
        lines.push_back(head + "PASS, worst margin " + text_of("%.3f dB", w.worst_margin) + " at " +
                        text_of("%.1f Hz", w.worst_hz) + " (line " +
                        std::to_string(mask.segments[r.worst_segment].line) + ")");
        return lines;
    }
    lines.push_back(head + (r.verdict == mask_verdict::fail ? "FAIL" : "cannot tell"));
    for (size_t k = 0; k < r.segments.size(); ++k) {
        const segment_result &s = r.segments[k];
        const mask_segment &m = mask.segments[k];
        std::string at = name + ": line " + std::to_string(m.line) + " (" + describe(m) + " " + unit + "): ";
        if (s.failing > 0)
            lines.push_back(at + std::to_string(s.failing) + " of " + std::to_string(s.checked) +
                            " points " + (m.upper ? "above" : "below") + " the limit, worst " +
                            text_of("%.1f Hz", s.worst_hz) + " at " +
                            text_of("%.3f ", s.worst_level) + unit + ", " +
                            text_of("%.3f dB", -s.worst_margin) + (m.upper ? " over" : " under"));
        else if (s.left_out > 0)
            lines.push_back(at + std::to_string(s.left_out) +
                            " points overflowed within it: their levels are not known");
        else if (!s.covered)
            lines.push_back(at + "the sweep does not reach across it");
        else if (s.checked == 0)
            lines.push_back(at + "it falls between two of the sweep's points: none inside it");
    }
    return lines;
}
