// talvik-plot: prints the markers of results files, draws them through
// gnuplot, and writes their data out as a table or as CSV.
#include "common/exit_status.hpp"
#include "common/files.hpp"
#include "common/number.hpp"
#include "common/output.hpp"
#include "common/text.hpp"
#include "markers/markers.hpp"
#include "markers/mask.hpp"
#include "plot/gnuplot.hpp"
#include "plot/json.hpp"
#include "plot/sweep_file.hpp"
#include "plot/touchstone.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace {

const char usage[] =
    "Usage: talvik-plot [-o PLOT.png|PLOT.svg] [--ref REFERENCE.txt] [--level DB]\n"
    "                   [--kind bandpass|notch|lowpass|highpass] [--bw 3,6,60]\n"
    "                   [--sf 6,60] [--marker F,...] [--delta F1,F2] [--smooth N]\n"
    "                   [--log|--linear] [--title TEXT] [--size WxH] [--range LO:HI]\n"
    "                   [--mask MASK] [--s2p FILE.s2p] [--json]\n"
    "                   [--table|--csv] RESULTS.txt...\n"
    "       talvik-plot --help | --version\n"
    "\n"
    "Prints each sweep's markers, measured against a level that is known: the\n"
    "reference's 0 dB (--ref), the level --level states, or the pass band's own\n"
    "where the span shows one; where it does not, it says so. For a band-pass the\n"
    "peak, the points --bw lists below it, bandwidths, centre, Q, ripple and the\n"
    "shape factor --sf names (wider over narrower); for a notch its frequency,\n"
    "depth and edges; for a low- or high-pass the cutoffs. The trace's shape\n"
    "decides the kind unless --kind names it. Results files or talvik-plot's CSV.\n"
    "  -o PLOT      draw the sweeps and their markers (PNG or SVG) through gnuplot;\n"
    "               the frequency axis is linear under a decade, logarithmic above,\n"
    "               unless --log or --linear says\n"
    "  --ref FILE   levels in dB against a reference sweep, interpolated within its\n"
    "               span (the set-up with a cable in place of the device under test)\n"
    "  --level DB   the pass band's (or a notch's shoulders') level, for spans that\n"
    "               do not show it\n"
    "  --marker F,... the level at these frequencies (3.5M, 350k, 3500000), drawn;\n"
    "               may be given more than once\n"
    "  --delta F1,F2  the frequency and level differences between two frequencies,\n"
    "               drawn joined; may be given more than once\n"
    "  --smooth N   average each level over N neighbouring points before any marker\n"
    "               (a noisy sweep's line suggests N); both traces are drawn\n"
    "  --title TEXT, --size WxH (default 900x600), --range LO:HI (the level axis)\n"
    "  --mask MASK  check every point against a limit mask: PASS, or FAIL with each\n"
    "               failing segment's worst point; a 'unit dB' mask (the default)\n"
    "               needs --ref, a 'unit dBm' mask takes absolute levels\n"
    "  --s2p FILE   write the normalised sweep (--ref) as a two-port Touchstone file:\n"
    "               |S21| measured, S12 = S21, S11 = S22 = 0, angles 0\n"
    "  --json       print every marker of every file (and the mask's verdict) as\n"
    "               one JSON document, in place of the text\n"
    "  --table      print only the data, as records; markers go to standard error\n"
    "  --csv        print the data of one sweep as CSV; markers go to standard error\n"
    "Exit status: 0 done (with --mask: PASS); 1 a file, a picture or standard output\n"
    "that fails; 2 bad arguments or a refused mask (the reason, then this text); 3\n"
    "FAIL; 4 the mask cannot tell (points overflowed or missing inside a segment).\n";

// A comma-separated list of numbers (read as frequencies where hz).
bool read_list(const char *text, bool hz, std::vector<double> *out) {
    std::string all = text;
    out->clear();
    for (size_t start = 0; start <= all.size();) {
        size_t comma = all.find(',', start);
        if (comma == std::string::npos)
            comma = all.size();
        std::string item = all.substr(start, comma - start);
        double v = 0;
        char *end = nullptr;
        if (hz ? !read_frequency(item.c_str(), &v)
               : (v = std::strtod(item.c_str(), &end), item.empty() || *end || !(v > 0 && v <= 300)))
            return false;
        out->push_back(v);
        start = comma + 1;
    }
    return true;
}

int fail(const std::string &message) {
    std::fprintf(stderr, "talvik-plot: %s\n", printable(message).c_str());
    return status_failed;
}

// Bad arguments: the reason, then the usage.
int refuse(const std::string &reason) {
    std::fprintf(stderr, "talvik-plot: %s\n", printable(reason).c_str());
    std::fputs(usage, stderr);
    return status_usage;
}

void print_table(const sweep &s) {
    for (const auto &p : s.points)
        std::printf(" %8.1f\t%2.3f  \t%s\n", p.hz, p.level, p.overflow ? "Overflow" : "        ");
}

void print_csv(const sweep &s) {
    std::printf("frequency_hz,%s,overflow\r\n", s.normalised ? "level_db" : "level_dbm");
    for (const auto &p : s.points)
        std::printf("%.1f,%.3f,%d\r\n", p.hz, p.level, p.overflow ? 1 : 0);
}

} // namespace

int plot_main(int argc, char **argv) {
    protect_std_streams();
    check_output_at_exit("talvik-plot");
    fail_oversize_writes(); // a picture past the size limit: a reason, not a kill
    std::string output, reference, mask_file, s2p;
    bool table = false, csv = false, json = false;
    int smooth = 1;
    marker_settings settings;
    picture_settings picture;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(usage, stdout);
            return 0;
        } else if (arg == "--version" || arg == "-V") {
            std::printf("talvik-plot %s\n", TALVIK_VERSION);
            return 0;
        } else if ((arg == "-o" || arg == "--ref" || arg == "--mask" || arg == "--s2p") &&
                   i + 1 < argc) {
            (arg == "-o"      ? output
             : arg == "--ref" ? reference
             : arg == "--mask" ? mask_file
                               : s2p) = argv[++i];
        } else if (arg == "--json") {
            json = true;
        } else if (arg == "--kind" && i + 1 < argc) {
            if (!kind_from_name(argv[++i], &settings.kind))
                return refuse(std::string("unknown kind ") + argv[i] +
                            " (bandpass, notch, lowpass or highpass)");
            settings.kind_given = true;
        } else if (arg == "--level" && i + 1 < argc) {
            char *end = nullptr;
            settings.level = std::strtod(argv[++i], &end);
            if (end == argv[i] || *end || !(std::fabs(settings.level) <= 300))
                return refuse(std::string("--level takes a level in dB, -300 to 300: ") + argv[i]);
        } else if ((arg == "--bw" || arg == "--sf") && i + 1 < argc) {
            std::vector<double> list;
            if (!read_list(argv[++i], false, &list) || (arg == "--sf" && list.size() != 2))
                return refuse(arg + (arg == "--bw" ? " takes levels in dB, 0 to 300, e.g. 3,6,60"
                                                 : " takes two levels in dB, 0 to 300, e.g. 6,60"));
            if (arg == "--bw")
                settings.drops = list;
            else {
                settings.sf_narrow = std::min(list[0], list[1]);
                settings.sf_wide = std::max(list[0], list[1]);
            }
        } else if ((arg == "--marker" || arg == "--delta") && i + 1 < argc) {
            std::vector<double> list;
            if (!read_list(argv[++i], true, &list) || (arg == "--delta" && list.size() != 2))
                return refuse(arg + (arg == "--marker" ? " takes frequencies, e.g. 3.5M,4.2M"
                                                     : " takes two frequencies, e.g. 3.5M,4.2M"));
            auto &to = arg == "--marker" ? settings.at : settings.delta;
            to.insert(to.end(), list.begin(), list.end());
        } else if (arg == "--smooth" && i + 1 < argc) {
            long long n = 0;
            if (!parse_number(argv[++i], 1, 1001, &n))
                return refuse("--smooth takes a number of points, 1 to 1001");
            smooth = static_cast<int>(n);
        } else if (arg == "--title" && i + 1 < argc) {
            picture.title = argv[++i];
        } else if (arg == "--size" && i + 1 < argc) {
            // Plain decimal, each side bounded as read: nothing wraps.
            std::string text = argv[++i];
            size_t x = text.find('x');
            long long w = 0, h = 0;
            if (x == std::string::npos || text[0] == '0' || text[x + 1] == '0' ||
                !parse_number(text.substr(0, x).c_str(), 300, 4000, &w) ||
                !parse_number(text.substr(x + 1).c_str(), 200, 4000, &h))
                return refuse("--size takes WIDTHxHEIGHT in pixels, 300x200 to 4000x4000");
            picture.width = static_cast<int>(w);
            picture.height = static_cast<int>(h);
        } else if (arg == "--range" && i + 1 < argc) {
            double a = 0, b = 0;
            int used = 0;
            if (std::sscanf(argv[++i], "%lf:%lf%n", &a, &b, &used) != 2 || argv[i][used] ||
                !(b - a >= 0.01) || !(a >= -400) || !(b <= 400))
                return refuse("--range takes LOW:HIGH in dB, -400 to 400, HIGH at least 0.01 "
                              "above LOW, e.g. -80:10");
            picture.range_given = true;
            picture.level_lo = a;
            picture.level_hi = b;
        } else if (arg == "--log" || arg == "--linear") {
            picture.scale = arg == "--log" ? axis_scale::logarithmic : axis_scale::linear;
        } else if (arg == "--table" || arg == "--csv") {
            (arg == "--table" ? table : csv) = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            static const char *const valued[] = {"-o",     "--ref",    "--kind",  "--level",
                                                 "--bw",   "--sf",     "--marker", "--delta",
                                                 "--smooth", "--title", "--size",  "--range",
                                                 "--mask", "--s2p"};
            for (const char *name : valued)
                if (arg == name)
                    return refuse(arg + " needs a value");
            return refuse("unknown option " + arg);
        } else {
            files.push_back(arg);
        }
    }
    if (files.empty())
        return refuse("no results file named");
    auto ends = [&](const char *suffix) {
        size_t n = std::strlen(suffix);
        return output.size() >= n && output.compare(output.size() - n, n, suffix) == 0;
    };
    if (!output.empty() && !ends(".png") && !ends(".svg"))
        return refuse("the plot's name must end in .png or .svg: " + output);
    if (table && csv)
        return refuse("--table and --csv: choose one");
    // The shape factor's levels are measured too, whatever --bw lists.
    for (double level : {settings.sf_narrow, settings.sf_wide})
        if (std::find(settings.drops.begin(), settings.drops.end(), level) == settings.drops.end())
            settings.drops.push_back(level);
    if (csv && files.size() > 1)
        return refuse("--csv takes one results file");
    if (json && (table || csv))
        return refuse("--json prints on standard output, as --table and --csv do: choose one");
    for (const auto &[option, value] : {std::pair{"--mask", &mask_file}, {"--s2p", &s2p}})
        for (int i = 1; i + 1 < argc; ++i)
            if (argv[i] == std::string(option) && value->empty())
                return refuse(std::string(option) + " needs a file's name, not an empty one");
    if (!s2p.empty() && (reference.empty() || files.size() != 1))
        return refuse("--s2p writes one sweep normalised to a reference: give --ref and one "
                      "results file");
    if (!s2p.empty() && !(s2p.size() > 4 && (s2p.compare(s2p.size() - 4, 4, ".s2p") == 0 ||
                                             s2p.compare(s2p.size() - 4, 4, ".S2P") == 0)))
        return refuse("the Touchstone file's name must end in .s2p: " + s2p);
    if (!s2p.empty())
        for (const std::string &input : {reference, mask_file, files[0]})
            if (!input.empty() && same_file(input.c_str(), s2p.c_str()))
                return refuse("--s2p " + s2p + " is a file this run reads: name another");
    limit_mask mask;
    if (!mask_file.empty()) {
        std::string text, why;
        if (!read_small_file(mask_file, 1 << 20, &text, &why))
            return refuse("mask " + mask_file + ": " +
                          (why == too_large ? "more than 1 MiB: not a mask" : why));
        if (!parse_mask(text, mask_file, &mask, &why))
            return refuse(why);
        if (!mask.relative && !reference.empty())
            return refuse(mask_file + ": a 'unit dBm' mask checks absolute levels: leave out "
                                      "--ref (or write 'unit dB')");
    }

    std::string error;
    sweep ref;
    if (!reference.empty() && !read_sweep(reference, ref, error))
        return fail(error);
    std::vector<sweep> sweeps(files.size());
    std::vector<filter_markers> markers;
    std::vector<double> quanta(files.size());
    double ref_quantum = reference.empty() ? 0 : sweep_quantum(ref.points);
    for (size_t i = 0; i < files.size(); ++i) {
        if (!read_sweep(files[i], sweeps[i], error))
            return fail(error);
        // A normalised level carries the reference's rounding as well as its own.
        quanta[i] = sweep_quantum(sweeps[i].points) + ref_quantum;
        if (!reference.empty() && (sweeps[i].normalised || ref.normalised))
            return fail((sweeps[i].normalised ? files[i] : reference) +
                        " is already normalised (dB against a reference): use the absolute sweep");
        if (!reference.empty() && !normalise(sweeps[i], ref, error))
            return fail(error);
        // The mask's levels and the sweep's must be the same kind: dB
        // against a reference (--ref, or a normalised CSV), or dBm.
        if (!mask_file.empty() && mask.relative && !sweeps[i].normalised && reference.empty())
            return refuse(mask_file + ": a 'unit dB' mask measures against a reference: give "
                                      "--ref (or write 'unit dBm' for absolute levels)");
        if (!mask_file.empty() && !mask.relative && sweeps[i].normalised)
            return refuse(mask_file + ": a 'unit dBm' mask checks absolute levels, and " +
                          files[i] + " holds dB against a reference");
    }

    // With data on standard output, the markers go to standard error; with
    // JSON, they are in it.
    std::FILE *marker_out = table || csv ? stderr : stdout;
    std::vector<mask_result> verdicts(sweeps.size());
    std::vector<file_markers> reports;
    int mask_status = 0;
    const char *unit = reference.empty() && !(sweeps.size() && sweeps[0].normalised) ? "dBm" : "dB";
    for (auto &s : sweeps) {
        if (s.points.empty()) {
            // Nothing measured: no marker, and a mask cannot tell.
            std::string line = printable(s.name) + ": no points";
            markers.push_back(filter_markers());
            size_t k = static_cast<size_t>(&s - sweeps.data());
            std::vector<std::string> lines{line};
            if (!mask_file.empty()) {
                verdicts[k] = check_mask(s.points, mask);
                lines.push_back(printable(s.name) + ": mask cannot tell: no points");
                mask_status = mask_status == 3 ? 3 : 4;
            }
            if (json)
                reports.push_back({&s, nullptr, mask_file.empty() ? nullptr : &verdicts[k], lines});
            else
                for (const auto &l : lines)
                    std::fprintf(marker_out, "%s\n", l.c_str());
            if (csv)
                print_csv(s);
            continue;
        }
        markers.push_back(sweep_markers(s, quanta[&s - sweeps.data()], settings, smooth));
        std::vector<std::string> lines = marker_lines(printable(s.name), markers.back(), unit);
        size_t k = static_cast<size_t>(&s - sweeps.data());
        if (!mask_file.empty()) {
            verdicts[k] = check_mask(s.points, mask);
            for (const auto &line : mask_lines(printable(s.name), mask, verdicts[k], unit))
                lines.push_back(line);
            int status = verdicts[k].verdict == mask_verdict::fail          ? 3
                         : verdicts[k].verdict == mask_verdict::cannot_tell ? 4
                                                                            : 0;
            mask_status = mask_status == 3 || status == 0 ? mask_status : status;
        }
        if (json)
            reports.push_back({&s, nullptr, mask_file.empty() ? nullptr : &verdicts[k], lines});
        else
            for (const auto &line : lines)
                std::fprintf(marker_out, "%s\n", line.c_str());
        if (table)
            print_table(s);
        if (csv)
            print_csv(s);
    }
    if (json) {
        for (size_t k = 0; k < sweeps.size(); ++k)
            reports[k].m = &markers[k];
        std::string doc = markers_json(reports, unit, mask_file.empty() ? nullptr : &mask, mask_file);
        std::fputs(doc.c_str(), stdout);
    }
    if (!flush_output())
        return 1;
    if (!s2p.empty()) {
        bool any = std::any_of(sweeps[0].points.begin(), sweeps[0].points.end(),
                               [](const sweep_point &p) { return !p.overflow; });
        if (!any)
            return fail(files[0] + ": no level to write to " + s2p +
                        (sweeps[0].points.empty() ? ": no points" : ": every point overflowed"));
        if (!save_whole(s2p, touchstone_text(sweeps[0], reference), &error))
            return fail(error);
    }
    if (!output.empty()) {
        picture.reference = reference;
        picture.y_label = !reference.empty() ? "Level against " + reference + " (dB)"
                          : std::string(unit) == "dB" ? "Level (dB)"
                                                      : "Level (dBm)";
        picture.reference = reference.empty() && std::string(unit) == "dB" ? "a reference" : reference;
        if (!mask_file.empty()) {
            picture.mask = &mask;
            for (size_t k = 0; k < sweeps.size(); ++k)
                for (const auto &p : sweeps[k].points)
                    for (const auto &seg : mask.segments)
                        if (!p.overflow && p.hz >= seg.start_hz && p.hz <= seg.stop_hz &&
                            (seg.upper ? p.level > seg.limit_at(p.hz) : p.level < seg.limit_at(p.hz)))
                            picture.failing.push_back(p);
        }
        if (!draw_sweeps(sweeps, markers, output, picture, error))
            return fail(error);
    }
    return mask_status;
}

int main(int argc, char **argv) {
    try {
        return plot_main(argc, argv);
    } catch (const std::bad_alloc &) {
        return fail("out of memory");
    }
}
