// Results files read back: talvik's records and talvik-plot's CSV, each
// field as strict as the writer's format, so that nothing is guessed.
#include "results/results.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sys/stat.h>

namespace {

// The header line as read, its line end taken off.
const std::string header(results_header, sizeof results_header - 3);

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
bool parse_csv(const std::string &line, level_point &point) {
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

bool parse_record(const std::string &line, level_point &point) {
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

bool read_results(const std::string &path, results_file &out, std::string &error) {
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
        level_point point{};
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

