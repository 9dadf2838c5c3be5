#include "app/results.hpp"

#include "app/settings.hpp"
#include "common/exit_status.hpp"

#include <cstdlib>

namespace {

// A lost line is never passed over in silence: the run ends instead.
[[noreturn]] void cannot_write() {
    std::fprintf(stderr, "Can't write %s\n", results_name ? results_name : "");
    std::exit(status_file);
}

void finish_line(std::FILE *file, int written) {
    if (written < 0 || std::fflush(file) != 0 || std::ferror(file))
        cannot_write();
}

} // namespace

// The file is opened in binary mode and the CR LF pair written here, so every
// platform stores the same bytes.
void write_header(std::FILE *file) {
    finish_line(file, std::fputs(" Frequency\t  dBm \r\n", file));
}

void write_record(std::FILE *file, double frequency_hz, double level_dbm, bool overflow) {
    int written = std::fprintf(file, " %8.1f\t%2.3f  ", frequency_hz, level_dbm);
    if (written >= 0)
        written = std::fputs(overflow ? "\tOverflow\r\n" : "\t        \r\n", file);
    finish_line(file, written);
}
