#include "results/results.hpp"

#include "common/files.hpp"

namespace {

// Length of the file up to the end of its last complete line.
long long complete_bytes = 0;

bool put_line(std::FILE *file, const char *line, size_t length) {
    if (std::fwrite(line, 1, length, file) != length || std::fflush(file) != 0) {
        truncate_file(file, complete_bytes);
        return false;
    }
    complete_bytes += static_cast<long long>(length);
    return true;
}

} // namespace

// The file is opened in binary mode and the CR LF pair written here, so every
// platform stores the same bytes.
bool write_header(std::FILE *file) {
    complete_bytes = 0;
    return put_line(file, results_header, sizeof results_header - 1);
}

int format_record(char *line, size_t size, double frequency_hz, double level_dbm, bool overflow) {
    int length = std::snprintf(line, size, " %8.1f\t%2.3f  %s", frequency_hz, level_dbm,
                               overflow ? "\tOverflow\r\n" : "\t        \r\n");
    return length < 0 || static_cast<size_t>(length) >= size ? -1 : length;
}

bool write_record(std::FILE *file, double frequency_hz, double level_dbm, bool overflow) {
    char line[128];
    int length = format_record(line, sizeof line, frequency_hz, level_dbm, overflow);
    // Not for any level a reply decodes to.
    return length >= 0 && put_line(file, line, static_cast<size_t>(length));
}

bool write_csv(std::FILE *out, const std::vector<level_point> &points, bool normalised) {
    bool ok = std::fprintf(out, "frequency_hz,%s,overflow\r\n",
                           normalised ? "level_db" : "level_dbm") >= 0;
    for (const auto &p : points)
        ok = ok && std::fprintf(out, "%.1f,%.3f,%d\r\n", p.hz, p.level, p.overflow ? 1 : 0) >= 0;
    return ok;
}

void reference_at(const std::vector<level_point> &r, double hz, size_t *at, double *level,
                  bool *overflow) {
    size_t j = *at;
    while (j + 1 < r.size() && r[j + 1].hz <= hz)
        ++j;
    *at = j;
    *level = r[j].level;
    *overflow = r[j].overflow;
    if (j + 1 < r.size() && hz > r[j].hz) {
        *level += (r[j + 1].level - r[j].level) * (hz - r[j].hz) / (r[j + 1].hz - r[j].hz);
        *overflow = *overflow || r[j + 1].overflow;
    }
}
