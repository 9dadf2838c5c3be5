#include "app/results.hpp"

#include "app/settings.hpp"
#include "common/exit_status.hpp"
#include "common/files.hpp"

#include <cstdlib>

namespace {

// Length of the file up to the end of its last complete line.
long long complete_bytes = 0;

// A lost line is never passed over in silence: the run ends instead, and a
// line written in part is cut off so that the file holds only whole lines.
[[noreturn]] void cannot_write(std::FILE *file) {
    truncate_file(file, complete_bytes);
    std::fprintf(stderr, "Can't write %s\n", results_name ? results_name : "");
    std::exit(status_file);
}

void put_line(std::FILE *file, const char *line, size_t length) {
    if (std::fwrite(line, 1, length, file) != length || std::fflush(file) != 0)
        cannot_write(file);
    complete_bytes += static_cast<long long>(length);
}

} // namespace

// The file is opened in binary mode and the CR LF pair written here, so every
// platform stores the same bytes.
void write_header(std::FILE *file) {
    complete_bytes = 0;
    put_line(file, results_header, sizeof results_header - 1);
}

int format_record(char *line, size_t size, double frequency_hz, double level_dbm, bool overflow) {
    int length = std::snprintf(line, size, " %8.1f\t%2.3f  %s", frequency_hz, level_dbm,
                               overflow ? "\tOverflow\r\n" : "\t        \r\n");
    return length < 0 || static_cast<size_t>(length) >= size ? -1 : length;
}

void write_record(std::FILE *file, double frequency_hz, double level_dbm, bool overflow) {
    char line[128];
    int length = format_record(line, sizeof line, frequency_hz, level_dbm, overflow);
    if (length < 0)
        cannot_write(file); // not for any level a reply decodes to
    put_line(file, line, static_cast<size_t>(length));
}
