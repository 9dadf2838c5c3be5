#include "plot/sweep_file.hpp"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace {

const char header[] = " Frequency\t  dBm ";

// A number that fills the whole field but for blanks around it.
bool field_number(const std::string &field, double *value) {
    const char *text = field.c_str();
    char *end = nullptr;
    errno = 0;
    *value = std::strtod(text, &end);
    if (end == text || errno || !std::isfinite(*value))
        return false;
    while (*end == ' ')
        ++end;
    return *end == '\0';
}

bool parse_record(const std::string &line, sweep_point &point) {
    size_t tab1 = line.find('\t');
    size_t tab2 = tab1 == std::string::npos ? tab1 : line.find('\t', tab1 + 1);
    if (tab2 == std::string::npos || line.find('\t', tab2 + 1) != std::string::npos)
        return false;
    std::string marker = line.substr(tab2 + 1);
    if (marker == "Overflow")
        point.overflow = true;
    else if (marker == "        ")
        point.overflow = false;
    else
        return false;
    return field_number(line.substr(0, tab1), &point.hz) &&
           field_number(line.substr(tab1 + 1, tab2 - tab1 - 1), &point.level) && point.hz >= 0;
}

} // namespace

bool read_sweep(const std::string &path, sweep &out, std::string &error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    out.name = path;
    out.points.clear();
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (number == 1) {
            if (line != header) {
                error = path + ":1: not a talvik results file (no header line)";
                return false;
            }
            continue;
        }
        sweep_point point{};
        if (!parse_record(line, point)) {
            error = path + ":" + std::to_string(number) + ": not a record: \"" + line + "\"";
            return false;
        }
        if (!out.points.empty() && point.hz <= out.points.back().hz) {
            error = path + ":" + std::to_string(number) + ": frequency does not rise";
            return false;
        }
        out.points.push_back(point);
    }
    if (number == 0) {
        error = path + ": empty, not a talvik results file";
        return false;
    }
    return true;
}

bool normalise(sweep &s, const sweep &ref, std::string &error) {
    if (s.points.size() != ref.points.size()) {
        error = s.name + " has " + std::to_string(s.points.size()) + " points, the reference " +
                ref.name + " has " + std::to_string(ref.points.size()) +
                ": sweep both with the same settings";
        return false;
    }
    for (size_t i = 0; i < s.points.size(); ++i) {
        // Both were printed with one decimal from the same tuning word.
        if (std::fabs(s.points[i].hz - ref.points[i].hz) > 0.05) {
            char text[160];
            std::snprintf(text, sizeof text,
                          " point %zu is at %.1f Hz, in the reference at %.1f Hz", i + 1,
                          s.points[i].hz, ref.points[i].hz);
            error = s.name + ": frequencies differ from the reference " + ref.name + ":" + text;
            return false;
        }
    }
    for (size_t i = 0; i < s.points.size(); ++i) {
        s.points[i].level -= ref.points[i].level;
        s.points[i].overflow = s.points[i].overflow || ref.points[i].overflow;
    }
    return true;
}
