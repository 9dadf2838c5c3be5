// talvik-plot: draws results files, normalises them against a reference
// sweep and prints their markers.
#include "plot/gnuplot.hpp"
#include "plot/markers.hpp"
#include "plot/sweep_file.hpp"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char usage[] =
    "Usage: talvik-plot [-o PLOT.png|PLOT.svg] [--ref REFERENCE.txt] [--table] RESULTS.txt...\n"
    "\n"
    "Prints each sweep's peak, its -3 dB points and bandwidth, and with -o draws the\n"
    "sweeps (level against a logarithmic frequency axis, overflowed points circled)\n"
    "through gnuplot. --ref subtracts a reference sweep (the set-up with a cable in\n"
    "place of the device under test) taken at the same frequencies. --table prints\n"
    "the levels, normalised if --ref is given.\n";

int fail(const std::string &message) {
    std::fprintf(stderr, "talvik-plot: %s\n", message.c_str());
    return 1;
}

void print_table(const sweep &s) {
    std::printf("# %s\n", s.name.c_str());
    for (const auto &p : s.points)
        std::printf(" %8.1f\t%2.3f  \t%s\n", p.hz, p.level, p.overflow ? "Overflow" : "        ");
}

} // namespace

int main(int argc, char **argv) {
    // A picture past the file size limit fails with a reason, not a kill.
    std::signal(SIGXFSZ, SIG_IGN);
    std::string output, reference;
    bool table = false;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(usage, stdout);
            return 0;
        } else if ((arg == "-o" || arg == "--ref") && i + 1 < argc) {
            (arg == "-o" ? output : reference) = argv[++i];
        } else if (arg == "--table") {
            table = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            std::fputs(usage, stderr);
            return 1;
        } else {
            files.push_back(arg);
        }
    }
    if (files.empty()) {
        std::fputs(usage, stderr);
        return 1;
    }

    std::string error;
    sweep ref;
    if (!reference.empty() && !read_sweep(reference, ref, error))
        return fail(error);
    std::vector<sweep> sweeps(files.size());
    for (size_t i = 0; i < files.size(); ++i) {
        if (!read_sweep(files[i], sweeps[i], error))
            return fail(error);
        if (!reference.empty() && !normalise(sweeps[i], ref, error))
            return fail(error);
    }

    const char *unit = reference.empty() ? "dBm" : "dB";
    for (const auto &s : sweeps) {
        if (table)
            print_table(s);
        print_markers(stdout, s, unit);
    }
    std::fflush(stdout);
    if (!output.empty()) {
        std::string y_label =
            reference.empty() ? "Level (dBm)" : "Level against " + reference + " (dB)";
        if (!draw_sweeps(sweeps, output, y_label, error))
            return fail(error);
    }
    return 0;
}
