// talvik-plot: prints the markers of results files, draws them through
// gnuplot, and writes their data out as a table or as CSV.
#include "common/files.hpp"
#include "common/output.hpp"
#include "common/text.hpp"
#include "markers/markers.hpp"
#include "plot/gnuplot.hpp"
#include "plot/sweep_file.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace {

const char usage[] =
    "Usage: talvik-plot [-o PLOT.png|PLOT.svg] [--ref REFERENCE.txt]\n"
    "                   [--kind bandpass|notch|lowpass|highpass] [--log|--linear]\n"
    "                   [--table|--csv] RESULTS.txt...\n"
    "       talvik-plot --help | --version\n"
    "\n"
    "Prints each sweep's markers: for a band-pass the peak, the -3, -6 and -60 dB\n"
    "points, bandwidths, centre, Q and shape factor; for a notch its frequency,\n"
    "depth and -3 dB edges; for a low- or high-pass the -3 and -60 dB cutoff. The\n"
    "trace's shape decides the kind unless --kind names it.\n"
    "  -o PLOT      draw the sweeps and their markers (PNG or SVG) through gnuplot;\n"
    "               the frequency axis is linear under a decade, logarithmic above,\n"
    "               unless --log or --linear says\n"
    "  --ref FILE   levels in dB against a reference sweep at the same frequencies\n"
    "               (the set-up with a cable in place of the device under test)\n"
    "  --table      print only the data, as records; markers go to standard error\n"
    "  --csv        print the data of one sweep as CSV; markers go to standard error\n";

int fail(const std::string &message) {
    std::fprintf(stderr, "talvik-plot: %s\n", printable(message).c_str());
    return 1;
}

void print_table(const sweep &s) {
    for (const auto &p : s.points)
        std::printf(" %8.1f\t%2.3f  \t%s\n", p.hz, p.level, p.overflow ? "Overflow" : "        ");
}

void print_csv(const sweep &s) {
    std::printf("frequency_hz,level_db,overflow\r\n");
    for (const auto &p : s.points)
        std::printf("%.1f,%.3f,%d\r\n", p.hz, p.level, p.overflow ? 1 : 0);
}

} // namespace

int plot_main(int argc, char **argv) {
    protect_std_streams();
    check_output_at_exit("talvik-plot");
    fail_oversize_writes(); // a picture past the size limit: a reason, not a kill
    std::string output, reference;
    bool table = false, csv = false, forced = false;
    axis_scale scale = axis_scale::automatic;
    filter_kind kind = filter_kind::bandpass;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(usage, stdout);
            return 0;
        } else if (arg == "--version" || arg == "-V") {
            std::printf("talvik-plot %s\n", TALVIK_VERSION);
            return 0;
        } else if ((arg == "-o" || arg == "--ref") && i + 1 < argc) {
            (arg == "-o" ? output : reference) = argv[++i];
        } else if (arg == "--kind" && i + 1 < argc) {
            if (!kind_from_name(argv[++i], &kind))
                return fail(std::string("unknown kind ") + argv[i] +
                            " (bandpass, notch, lowpass or highpass)");
            forced = true;
        } else if (arg == "--log" || arg == "--linear") {
            scale = arg == "--log" ? axis_scale::logarithmic : axis_scale::linear;
        } else if (arg == "--table" || arg == "--csv") {
            (arg == "--table" ? table : csv) = true;
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
    if (table && csv)
        return fail("--table and --csv: choose one");
    if (csv && files.size() > 1)
        return fail("--csv takes one results file");

    std::string error;
    sweep ref;
    if (!reference.empty() && !read_sweep(reference, ref, error))
        return fail(error);
    std::vector<sweep> sweeps(files.size());
    std::vector<filter_markers> markers;
    for (size_t i = 0; i < files.size(); ++i) {
        if (!read_sweep(files[i], sweeps[i], error))
            return fail(error);
        if (!reference.empty() && !normalise(sweeps[i], ref, error))
            return fail(error);
    }

    // With data on standard output, the markers go to standard error.
    std::FILE *marker_out = table || csv ? stderr : stdout;
    const char *unit = reference.empty() ? "dBm" : "dB";
    for (const auto &s : sweeps) {
        if (s.points.empty()) {
            std::fprintf(marker_out, "%s: no points\n", printable(s.name).c_str());
            markers.push_back(filter_markers());
            if (csv)
                print_csv(s);
            continue;
        }
        markers.push_back(find_markers(s.points, forced ? kind : kind_of(s.points)));
        for (const auto &line : marker_lines(printable(s.name), markers.back(), unit))
            std::fprintf(marker_out, "%s\n", line.c_str());
        if (table)
            print_table(s);
        if (csv)
            print_csv(s);
    }
    if (!flush_output())
        return 1;
    if (!output.empty()) {
        std::string y_label =
            reference.empty() ? "Level (dBm)" : "Level against " + reference + " (dB)";
        if (!draw_sweeps(sweeps, markers, output, y_label, scale, error))
            return fail(error);
    }
    return 0;
}

int main(int argc, char **argv) {
    try {
        return plot_main(argc, argv);
    } catch (const std::bad_alloc &) {
        return fail("out of memory");
    }
}
