#include "plot/json.hpp"

#include "common/text.hpp"

#include <cmath>
#include <cstdio>

namespace {

std::string num(double v) {
    if (!std::isfinite(v))
        return "null";
    char text[40];
    std::snprintf(text, sizeof text, "%.10g", v);
    return text;
}

std::string field(const char *name, const std::string &value) {
    return std::string("\"") + name + "\": " + value;
}

// An edge: its frequency and how far it may lie from it (as its line names
// it: 0 where the line names no doubt), or null and why.
std::string edge(const crossing &c, const char *side, double drop, double noise) {
    if (edge_known(c))
        return "{" + field("hz", num(c.hz)) + ", " +
               field("uncertainty_hz", num(edge_doubt_hz(c, noise))) + "}";
    return "{" + field("hz", "null") + ", " + field("why", json_string(edge_reason(c, side, drop))) + "}";
}

const char *verdict_name(mask_verdict v) {
    return v == mask_verdict::pass ? "PASS" : v == mask_verdict::fail ? "FAIL" : "cannot tell";
}

std::string mask_json(const limit_mask &mask, const mask_result &r) {
    std::string out = "{" + field("verdict", json_string(verdict_name(r.verdict))) + ", \"segments\": [";
    for (size_t k = 0; k < r.segments.size(); ++k) {
        const segment_result &s = r.segments[k];
        const mask_segment &m = mask.segments[k];
        out += std::string(k ? ", " : "") + "{" + field("line", std::to_string(m.line)) + ", " +
               field("limit", m.upper ? "\"upper\"" : "\"lower\"") + ", " +
               field("start_hz", num(m.start_hz)) + ", " + field("stop_hz", num(m.stop_hz)) + ", " +
               field("checked", std::to_string(s.checked)) + ", " +
               field("failing", std::to_string(s.failing)) + ", " +
               field("left_out", std::to_string(s.left_out)) + ", " +
               field("covered", s.covered ? "true" : "false") + ", " +
               field("worst", s.worst_known ? "{" + field("hz", num(s.worst_hz)) + ", " +
                                                  field("level", num(s.worst_level)) + ", " +
                                                  field("margin_db", num(s.worst_margin)) + "}"
                                            : "null") +
               "}";
    }
    return out + "]}";
}

std::string one_file(const file_markers &f, const char *unit, const limit_mask *mask) {
    const filter_markers &m = *f.m;
    std::vector<std::string> parts;
    parts.push_back(field("name", json_string(f.s->name)));
    parts.push_back(field("unit", json_string(unit)));
    parts.push_back(field("points", std::to_string(f.s->points.size())));
    bool measured = m.levels > 0 && m.basis != level_basis::none;
    parts.push_back(field("kind", json_string(kind_name(m.kind))));
    parts.push_back(field("shape", json_string(shape_words(m.shape))));
    parts.push_back(field("measured_from", measured ? json_string(basis_words(m, unit)) : "null"));
    parts.push_back(field("why", f.s->points.empty() ? json_string("no points")
                                 : !m.cannot.empty() || m.levels == 0
                                     ? json_string(m.levels == 0 ? "every point overflowed" : m.cannot)
                                     : "null"));
    parts.push_back(field("reference_level", measured ? num(m.reference) : "null"));
    parts.push_back(field("quantum_db", num(m.quantum)));
    parts.push_back(field("noise_db", num(m.noise)));
    parts.push_back(field("resolution_db", num(m.resolution)));
    parts.push_back(field("left_out", "{" + field("count", std::to_string(m.left_out)) + ", " +
                                          field("from_hz", m.left_out ? num(m.left_from) : "null") +
                                          ", " + field("to_hz", m.left_out ? num(m.left_to) : "null") +
                                          "}"));
    if (measured && m.shape == trace_shape::valley) {
        parts.push_back(field("notch", "{" + field("hz", num(m.notch_hz)) + ", " +
                                           field("level", num(m.notch_level)) + ", " +
                                           field("depth_db", num(m.depth)) + ", " +
                                           field("depth_uncertainty_db", num(m.depth_uncertainty)) +
                                           ", " + field("at_least", m.undersampled ? "true" : "false") +
                                           ", " + field("fitted", m.fitted ? "true" : "false") + "}"));
    } else if (measured) {
        parts.push_back(field("peak", "{" + field("hz", num(m.peak_hz)) + ", " +
                                          field("level", num(m.peak_level)) + ", " +
                                          field("bound", m.undersampled ? "true" : "false") + ", " +
                                          field("loss_db", num(m.loss)) + "}"));
        std::string ripple = "{" + field("db", num(m.ripple)) + ", " +
                             field("uncertainty_db", std::isnan(m.ripple) ? "null" : num(m.ripple_uncertainty)) +
                             ", " + field("below_db", num(m.ripple_below)) + "}";
        parts.push_back(field("ripple", ripple));
    }
    // Each drop's edges; a band-pass's bandwidth, and for the first its
    // centre (geometric) and Q, as the text gives them.
    std::string drops = "[";
    for (size_t k = 0; measured && k < m.drops.size(); ++k) {
        const crossing &lo = m.lower[k], &hi = m.upper[k];
        bool two = m.shape == trace_shape::peak || (m.shape == trace_shape::valley && k == 0);
        bool resolved = m.drops[k] > 2 * m.quantum;
        std::string d = "{" + field("db", num(m.drops[k]));
        if (!resolved) {
            d += ", " + field("why", json_string("within what this sweep resolves"));
        } else {
            if (two || m.shape == trace_shape::rising)
                d += ", " + field("lower", edge(lo, "lower", m.drops[k], m.noise));
            if (two || m.shape == trace_shape::falling)
                d += ", " + field("upper", edge(hi, "upper", m.drops[k], m.noise));
            if (two) {
                bool both = edge_known(lo) && edge_known(hi);
                double width = hi.hz - lo.hz, centre = std::sqrt(lo.hz * hi.hz);
                // The edges' named doubts pass on, as the text gives them.
                double doubt = edge_doubt_hz(lo, m.noise) + edge_doubt_hz(hi, m.noise);
                d += ", " + field("bandwidth_hz", both ? num(width) : "null") + ", " +
                     field("bandwidth_uncertainty_hz", both ? num(doubt) : "null");
                if (k == 0 && m.shape == trace_shape::peak) {
                    d += ", " + field("centre_hz", both ? num(centre) : "null") + ", " +
                         field("centre_uncertainty_hz", both ? num(doubt / 2) : "null");
                    d += ", " + field("q", both ? num(centre / width) : "null") + ", " +
                         field("q_uncertainty", both ? num(centre / width * doubt / width) : "null");
                }
            }
        }
        drops += std::string(k ? ", " : "") + d + "}";
        if (m.shape == trace_shape::valley)
            break; // a notch's first drop only, as its line
    }
    parts.push_back(field("drops", drops + "]"));
    std::string at = "[";
    for (size_t k = 0; k < m.at.size(); ++k) {
        const read_level &r = m.at[k];
        at += std::string(k ? ", " : "") + "{" + field("hz", num(r.hz)) + ", " +
              field("level", r.inside ? num(r.level) : "null") +
              (r.inside ? "" : ", " + field("why", json_string(r.overflowed ? "overflowed" : "outside the sweep"))) +
              "}";
    }
    parts.push_back(field("markers", at + "]"));
    if (f.mask && mask)
        parts.push_back(field("mask", mask_json(*mask, *f.mask)));
    std::string lines = "[";
    for (size_t k = 0; k < f.lines.size(); ++k)
        lines += std::string(k ? ", " : "") + json_string(f.lines[k]);
    parts.push_back(field("lines", lines + "]"));
    std::string out = "    {";
    for (size_t k = 0; k < parts.size(); ++k)
        out += std::string(k ? ",\n     " : "") + parts[k];
    return out + "}";
}

} // namespace

std::string markers_json(const std::vector<file_markers> &files, const char *unit,
                         const limit_mask *mask, const std::string &mask_name) {
    std::string out = "{\n  \"files\": [\n";
    mask_verdict all = mask_verdict::pass;
    for (size_t k = 0; k < files.size(); ++k) {
        out += one_file(files[k], unit, mask) + (k + 1 < files.size() ? ",\n" : "\n");
        if (files[k].mask && files[k].mask->verdict == mask_verdict::fail)
            all = mask_verdict::fail;
        else if (files[k].mask && files[k].mask->verdict == mask_verdict::cannot_tell &&
                 all == mask_verdict::pass)
            all = mask_verdict::cannot_tell;
    }
    out += "  ],\n  \"mask\": " +
           (mask ? "{" + field("file", json_string(mask_name)) + ", " +
                       field("unit", mask->relative ? "\"dB\"" : "\"dBm\"") + ", " +
                       field("verdict", json_string(verdict_name(all))) + "}"
                 : std::string("null")) +
           "\n}\n";
    return out;
}
