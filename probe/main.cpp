// talvik-probe: brings an instrument up, check by check, and says which line
// is wrong.
#include "common/text.hpp"
#include "common/exit_status.hpp"
#include "common/files.hpp"
#include "common/output.hpp"
#include "common/stop.hpp"
#include "link/port.hpp"
#include "probe/probe.hpp"
#include "measure/calibration.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

const char usage[] = "Usage: talvik-probe [--json]\n"
                     "       talvik-probe --help | --version\n";

const char help[] =
    "\n"
    "Checks the instrument that TALVIK_PORT reaches (the same forms as talvik's),\n"
    "one line a check: ok, warn or FAIL, what was measured, and below a line that\n"
    "is not ok the likely cause and the pin to look at. The checks: port, idle\n"
    "lines, status lines at rest, converter ready, conversion time, converter\n"
    "data, busy line, synthesizer (best with a cable in place of the device under\n"
    "test), noise, timing.\n"
    "  --json   the same findings as one JSON object\n"
    "Exit status: 0 nothing failed, 1 a check failed, 2 bad arguments, 4 the port\n"
    "cannot be opened or given back.\n";

int probe_main(int argc, char **argv) {
    protect_std_streams();
    check_output_at_exit("talvik-probe");
    catch_stop_requests();
    bool json = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(usage, stdout);
            std::fputs(help, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0 || std::strcmp(argv[i], "-V") == 0) {
            std::printf("talvik-probe %s\n", TALVIK_VERSION);
            return 0;
        }
        if (std::strcmp(argv[i], "--json") == 0) {
            json = true;
            continue;
        }
        std::fprintf(stderr, "talvik-probe: unknown argument %s\n%s", printable(argv[i]).c_str(),
                     usage);
        return status_usage;
    }
    calibration cal;
    std::string cal_path, why;
    bool calibrated = false;
    if (!find_calibration(&cal, &cal_path, &calibrated, &why)) {
        std::fprintf(stderr, "talvik-probe: %s\n", why.c_str());
        return status_usage;
    }
    if (calibrated)
        apply_calibration(&cal);
    probe_report report = run_probe(std::getenv("TALVIK_PORT"));
    if (calibrated)
        report.calibration = calibration_summary(cal, cal_path);
    if (stop_signal)
        die_by_signal(stop_signal); // the port is closed: the lines are idle
    if (!report.opened)
        std::fprintf(stderr, "%s\n", report.open_error.c_str());
    std::fputs((json ? probe_json(report) : probe_text(report)).c_str(), stdout);
    return probe_status(report);
}

} // namespace

int main(int argc, char **argv) {
    try {
        return probe_main(argc, argv);
    } catch (const std::bad_alloc &) {
        std::fputs("talvik-probe: out of memory\n", stderr);
        return status_failed;
    }
}
