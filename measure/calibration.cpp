#include "measure/calibration.hpp"

#include "common/files.hpp"
#include "common/number.hpp"
#include "common/text.hpp"
#include "measure/words.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>

namespace {

constexpr size_t most_bytes = 65536; // a calibration is a page of text
constexpr size_t most_steps = 64;

calibration in_force;
bool any_in_force = false;

// One key's reader: false with the reason.
bool read_number(const std::string &value, double low, double high, const char *unit,
                 double *out, std::string *why) {
    if (!parse_decimal(value.c_str(), low, high, out)) {
        char range[120];
        std::snprintf(range, sizeof range, "%.10g to %.10g", low, high);
        *why = "'" + shortened(printable(value), 40) + "' is not a number from " + range + " " +
               unit;
        return false;
    }
    return true;
}

bool read_text(const std::string &value, std::string *out, std::string *why) {
    if (value.size() > 200 || printable(value) != value) {
        *why = "a note of more than 200 characters, or with control characters";
        return false;
    }
    *out = value;
    return true;
}

bool read_linearity(const std::string &value, calibration *c, std::string *why) {
    c->linearity.clear();
    size_t start = 0;
    while (start <= value.size()) {
        size_t comma = std::min(value.find(',', start), value.size());
        std::string pair = trimmed(value.substr(start, comma - start));
        start = comma + 1;
        size_t space = pair.find(' ');
        double level = 0, correction = 0;
        if (space == std::string::npos ||
            !parse_decimal(pair.substr(0, space).c_str(), -200, 50, &level) ||
            !parse_decimal(trimmed(pair.substr(space)).c_str(), -10, 10, &correction)) {
            *why = "linearity holds 'LEVEL CORRECTION' pairs, comma-separated (levels -200 to 50 "
                   "dBm, corrections -10 to 10 dB), not '" +
                   shortened(printable(pair), 40) + "'";
            return false;
        }
        if (!c->linearity.empty() && level <= c->linearity.back().first) {
            *why = "linearity's levels must rise";
            return false;
        }
        if (c->linearity.size() == most_steps) {
            *why = "linearity holds more than 64 steps";
            return false;
        }
        c->linearity.push_back({level, correction});
    }
    return true;
}

} // namespace

std::string calibration_path(bool *none) {
    *none = false;
    if (const char *named = std::getenv("TALVIK_CAL")) {
        *none = !*named;
        return named;
    }
    std::string dir = config_dir();
    return dir.empty() ? dir : dir + "/talvik/calibration";
}

bool read_calibration(const std::string &path, calibration *out, std::string *why) {
    std::string name = "Calibration file " + shortened(printable(path), 300);
    std::string text, reason;
    if (!read_small_file(path, most_bytes, &text, &reason)) {
        *why = name + ": " + (reason == too_large ? "more than 64 KiB: not a calibration" : reason);
        return false;
    }
    return parse_calibration(text, path, out, why);
}

bool parse_calibration(const std::string &text, const std::string &path, calibration *out,
                       std::string *why) {
    std::string name = "Calibration file " + shortened(printable(path), 300);
    calibration c;
    std::map<std::string, int> seen;
    int line_number = 0;
    size_t start = 0;
    auto refuse = [&](const std::string &reason) {
        *why = name + ", line " + std::to_string(line_number) + ": " + reason;
        return false;
    };
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        bool whole = end != std::string::npos;
        std::string line = text.substr(start, (whole ? end : text.size()) - start);
        start = whole ? end + 1 : text.size();
        ++line_number;
        if (line.find('\0') != std::string::npos)
            return refuse("a NUL byte: not a text file");
        line = trimmed(line);
        if (line_number == 1) {
            if (line != calibration_format)
                return refuse(std::string("not a talvik calibration (its first line is not \"") +
                              calibration_format + "\")");
            continue;
        }
        if (line.empty() || line[0] == '#')
            continue;
        size_t equals = line.find('=');
        if (equals == std::string::npos)
            return refuse("not 'key = value': '" + shortened(printable(line), 60) + "'");
        std::string key = trimmed(line.substr(0, equals));
        std::string value = trimmed(line.substr(equals + 1));
        if (seen.count(key))
            return refuse(shortened(printable(key), 60) + " given twice (first on line " +
                          std::to_string(seen[key]) + ")");
        seen[key] = line_number;
        std::string reason;
        bool ok = true;
        if (key == "detector_slope_mv")
            ok = read_number(value, 1, 100, "mV per dB", &c.slope_mv, &reason);
        else if (key == "detector_intercept_dbm")
            ok = read_number(value, -200, 0, "dBm", &c.intercept_dbm, &reason);
        else if (key == "detector_intercept") {
            ok = value == "measured" || value == "kept";
            c.intercept_kept = value == "kept";
            reason = "detector_intercept is measured or kept";
        } else if (key == "detector_at_hz")
            ok = read_number(value, 0, 1e9, "Hz", &c.detector_at_hz, &reason);
        else if (key == "detector_measured")
            ok = read_text(value, &c.detector_measured, &reason);
        else if (key == "detector_how")
            ok = read_text(value, &c.detector_how, &reason);
        else if (key == "linearity")
            ok = read_linearity(value, &c, &reason);
        else if (key == "clock_hz")
            ok = read_number(value, 1e6, 1e9, "Hz", &c.clock_hz, &reason);
        else if (key == "clock_measured")
            ok = read_text(value, &c.clock_measured, &reason);
        else if (key == "clock_how")
            ok = read_text(value, &c.clock_how, &reason);
        else
            return refuse("unknown key '" + shortened(printable(key), 60) + "'");
        if (!ok)
            return refuse(reason);
    }
    if (line_number == 0) {
        line_number = 1; // an empty file fails on its first line
        return refuse("empty: not a calibration");
    }
    bool slope = seen.count("detector_slope_mv"), intercept = seen.count("detector_intercept_dbm");
    bool detector_keys = false;
    for (const auto &[key, line] : seen)
        detector_keys = detector_keys || key.rfind("detector_", 0) == 0 || key == "linearity";
    line_number = 0;
    if (detector_keys && !(slope && intercept)) {
        *why = name + ": detector_slope_mv and detector_intercept_dbm go together with the "
                      "detector's other keys";
        return false;
    }
    if (!seen.count("clock_hz") && (seen.count("clock_measured") || seen.count("clock_how"))) {
        *why = name + ": clock_measured and clock_how need clock_hz";
        return false;
    }
    c.detector = slope && intercept;
    c.clock = seen.count("clock_hz");
    *out = c;
    return true;
}

std::string calibration_text(const calibration &c) {
    std::string text = std::string(calibration_format) + "\n";
    text += "# Written by talvik-cal; read by talvik, talvik-tune and talvik-probe.\n";
    char line[256];
    if (c.detector) {
        text += "# The detector: volts = (level - intercept) x slope.\n";
        std::snprintf(line, sizeof line, "detector_slope_mv = %.5f\n", c.slope_mv);
        text += line;
        std::snprintf(line, sizeof line, "detector_intercept_dbm = %.4f\n", c.intercept_dbm);
        text += line;
        text += std::string("detector_intercept = ") + (c.intercept_kept ? "kept" : "measured") + "\n";
        std::snprintf(line, sizeof line, "detector_at_hz = %.0f\n", c.detector_at_hz);
        text += line;
        if (!c.detector_measured.empty())
            text += "detector_measured = " + c.detector_measured + "\n";
        if (!c.detector_how.empty())
            text += "detector_how = " + c.detector_how + "\n";
        if (!c.linearity.empty()) {
            text += "# Corrections in dB by the level slope and intercept give; beyond the\n"
                    "# first and last, the nearest end's holds.\n";
            text += "linearity = ";
            for (size_t i = 0; i < c.linearity.size(); ++i) {
                std::snprintf(line, sizeof line, "%s%.3f %.4f", i ? ", " : "",
                              c.linearity[i].first, c.linearity[i].second);
                text += line;
            }
            text += "\n";
        }
    }
    if (c.clock) {
        text += "# The generator's reference clock.\n";
        std::snprintf(line, sizeof line, "clock_hz = %.3f\n", c.clock_hz);
        text += line;
        if (!c.clock_measured.empty())
            text += "clock_measured = " + c.clock_measured + "\n";
        if (!c.clock_how.empty())
            text += "clock_how = " + c.clock_how + "\n";
    }
    return text;
}

bool find_calibration(calibration *out, std::string *path, bool *found, std::string *why,
                      bool missing_ok) {
    bool none = false;
    *path = calibration_path(&none);
    *found = false;
    if (none || path->empty())
        return true;
    // At the default place a file is optional; one named must be there.
    if (missing_ok || !std::getenv("TALVIK_CAL")) {
        std::FILE *file = std::fopen(path->c_str(), "rb");
        if (!file && errno == ENOENT)
            return true;
        if (file)
            std::fclose(file);
    }
    if (!read_calibration(*path, out, why))
        return false;
    *found = true;
    return true;
}

void apply_calibration(const calibration *c) {
    any_in_force = c != nullptr;
    in_force = c ? *c : calibration();
    set_reference_clock(c && c->clock ? c->clock_hz : static_cast<double>(nominal_clock_hz));
}

const calibration *calibration_in_force() { return any_in_force ? &in_force : nullptr; }

std::string calibration_summary(const calibration &c, const std::string &path) {
    std::string text = "calibration " + printable(path) + ":";
    char part[200];
    if (c.detector) {
        std::snprintf(part, sizeof part, " detector %.3f mV/dB, 0 V at %.2f dBm%s", c.slope_mv,
                      c.intercept_dbm, c.intercept_kept ? " (kept)" : "");
        text += part;
        if (!c.linearity.empty())
            text += ", linearity in " + std::to_string(c.linearity.size()) + " steps";
        if (!c.detector_measured.empty())
            text += ", measured " + c.detector_measured;
    } else {
        text += " detector as built";
    }
    if (c.clock) {
        std::snprintf(part, sizeof part, "; clock %.1f Hz", c.clock_hz);
        text += part;
        if (!c.clock_measured.empty())
            text += ", measured " + c.clock_measured;
    } else {
        text += "; clock as built";
    }
    return text;
}

double linearity_correction(const calibration &c, double level) {
    const auto &t = c.linearity;
    if (t.empty())
        return 0;
    if (level <= t.front().first)
        return t.front().second;
    if (level >= t.back().first)
        return t.back().second;
    size_t i = 1;
    while (t[i].first < level)
        ++i;
    double f = (level - t[i - 1].first) / (t[i].first - t[i - 1].first);
    return t[i - 1].second + f * (t[i].second - t[i - 1].second);
}

double calibrated_level(double volts) {
    double level = volts * 1000 / in_force.slope_mv + in_force.intercept_dbm;
    return level + linearity_correction(in_force, level);
}
