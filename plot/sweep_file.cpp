#include "plot/sweep_file.hpp"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sys/stat.h>

namespace {

const char header[] = " Frequency\t  dBm ";

// A decimal number as talvik writes it ("%8.1f", "%2.3f"): blanks, a sign,
// digits, a point and digits, blanks. No exponent, hex, infinity or NaN.
bool field_number(const std::string &field, double *value) {
    size_t i = 0, n = field.size();
    while (i < n && field[i] == ' ')
        ++i;
    size_t start = i;
    if (i < n && field[i] == '-')
        ++i;
    size_t digits = i;
    while (i < n && field[i] >= '0' && field[i] <= '9')
        ++i;
    if (i == digits)
        return false;
    if (i < n && field[i] == '.') {
        size_t fraction = ++i;
        while (i < n && field[i] >= '0' && field[i] <= '9')
            ++i;
        if (i == fraction)
            return false;
    }
    size_t end = i;
    while (i < n && field[i] == ' ')
        ++i;
    if (i != n)
        return false;
    *value = std::strtod(field.substr(start, end - start).c_str(), nullptr);
    return true;
}

// A line as a message may quote it: at most 80 characters, control and
// other bytes escaped, so that nothing in a file can steer the terminal.
std::string quoted_line(const std::string &line) {
    static const char hex[] = "0123456789ABCDEF";
    const size_t shown = 80;
    std::string out = "\"";
    for (size_t i = 0; i < line.size() && i < shown; ++i) {
        unsigned char c = static_cast<unsigned char>(line[i]);
        if (c == '\\' || c == '"')
            out += {'\\', static_cast<char>(c)};
        else if (c == '\t')
            out += "\\t";
        else if (c == '\r')
            out += "\\r";
        else if (c >= 0x20 && c < 0x7F)
            out += static_cast<char>(c);
        else
            out += {'\\', 'x', hex[c >> 4], hex[c & 15]};
    }
    out += "\"";
    if (line.size() > shown)
        out += "...";
    return out;
}

// One line, ended by CR LF (as talvik writes), LF, or a lone CR (as an old
// Mac editor saves it); false at the end of the file.
bool next_line(std::streambuf &in, std::string &line) {
    line.clear();
    int c;
    while ((c = in.sbumpc()) != EOF) {
        if (c == '\n')
            return true;
        if (c == '\r') {
            if (in.sgetc() == '\n')
                in.sbumpc();
            return true;
        }
        line += static_cast<char>(c);
    }
    return !line.empty();
}

// A line of talvik-plot's own CSV: frequency, level, overflow 0 or 1.
bool parse_csv(const std::string &line, sweep_point &point) {
    size_t c1 = line.find(',');
    size_t c2 = c1 == std::string::npos ? c1 : line.find(',', c1 + 1);
    if (c2 == std::string::npos || line.find(',', c2 + 1) != std::string::npos)
        return false;
    std::string flag = line.substr(c2 + 1);
    if (flag != "0" && flag != "1")
        return false;
    point.overflow = flag == "1";
    // Normalised levels may lie anywhere a difference of two levels can.
    return field_number(line.substr(0, c1), &point.hz) &&
           field_number(line.substr(c1 + 1, c2 - c1 - 1), &point.level) && point.hz > 0 &&
           point.hz <= 100e6 && point.level >= -400 && point.level <= 400;
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
    // The frequencies a sweep can reach, and levels a detector can give.
    return field_number(line.substr(0, tab1), &point.hz) &&
           field_number(line.substr(tab1 + 1, tab2 - tab1 - 1), &point.level) && point.hz > 0 &&
           point.hz <= 100e6 && point.level >= -300 && point.level <= 100;
}

} // namespace

bool read_sweep(const std::string &path, sweep &out, std::string &error) {
    struct stat info;
    if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        error = path + ": " + std::strerror(EISDIR);
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    out.name = path;
    out.points.clear();
    std::string line;
    int number = 0;
    bool csv = false;
    while (next_line(*in.rdbuf(), line)) {
        ++number;
        if (number == 1) {
            csv = line == "frequency_hz,level_dbm,overflow" ||
                  line == "frequency_hz,level_db,overflow";
            out.normalised = line == "frequency_hz,level_db,overflow";
            if (line != header && !csv) {
                error = path + ":1: not a talvik results file (no header line)";
                return false;
            }
            continue;
        }
        sweep_point point{};
        if (!(csv ? parse_csv(line, point) : parse_record(line, point))) {
            error = path + ":" + std::to_string(number) + ": not a record: " + quoted_line(line);
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
    if (s.points.empty())
        return true;
    if (ref.points.empty()) {
        error = ref.name + ": no points to normalise against";
        return false;
    }
    // Both print frequencies at one decimal: a twentieth of a hertz is the same point.
    double first = ref.points.front().hz - 0.05, last = ref.points.back().hz + 0.05;
    if (s.points.front().hz < first || s.points.back().hz > last) {
        char text[240];
        std::snprintf(text, sizeof text,
                      " reaches %.1f to %.1f Hz, beyond the reference's %.1f to %.1f Hz: levels "
                      "are never guessed beyond a reference's ends",
                      s.points.front().hz, s.points.back().hz, ref.points.front().hz,
                      ref.points.back().hz);
        error = s.name + text + " (" + ref.name + ")";
        return false;
    }
    // The reference's level at each frequency, interpolated between its
    // points either side; overflowed where a point used was.
    size_t j = 0;
    for (auto &p : s.points) {
        while (j + 1 < ref.points.size() && ref.points[j + 1].hz <= p.hz)
            ++j;
        const auto &a = ref.points[j];
        double level = a.level;
        bool overflow = a.overflow;
        if (j + 1 < ref.points.size() && p.hz > a.hz) {
            const auto &b = ref.points[j + 1];
            level += (b.level - a.level) * (p.hz - a.hz) / (b.hz - a.hz);
            overflow = overflow || b.overflow;
        }
        p.level -= level;
        p.overflow = p.overflow || overflow;
    }
    s.normalised = true;
    return true;
}

filter_markers sweep_markers(sweep &s, double raw_quantum, marker_settings settings, int smooth) {
    settings.normalised = s.normalised;
    settings.quantum = raw_quantum;
    settings.noise = sweep_noise(s.points);
    settings.smoothed = smooth;
    if (smooth <= 1)
        return find_markers(s.points, settings);
    s.smooth = smoothed(s.points, smooth);
    settings.noise /= std::sqrt(static_cast<double>(smooth)); // averaged, not estimated again
    return find_markers(s.smooth, settings);
}
