// The run: command line, results file, settings checks, screen, sweep.
#include "app/arguments.hpp"
#include "app/screen.hpp"
#include "app/settings.hpp"
#include "app/sweep.hpp"
#include "common/text.hpp"
#include "common/console.hpp"
#include "common/exit_status.hpp"
#include "common/files.hpp"
#include "common/number.hpp"
#include "common/output.hpp"
#include "common/stop.hpp"
#include "measure/calibration.hpp"
#include "link/port.hpp"
#include "results/results.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

const double end_bound_hz = 30000000.0;

const char usage_text[] = "\nUsage: %s filename.txt [start] [end] [step-fraction-denominator]\n\n";
const char defaults_text[] = "defaults are 1MHz, 10MHz, and 20, so each step is 5% higher in "
                             "frequency.\n\nHit Control and C to cancel.\n\n";

const char sim_options_text[] =
    "  sim OPTIONS, comma-separated: dut=through|lowpass|bandpass|notch|crystal\n"
    "  (default bandpass), reply=N (every reading answers N), busy=US|forever,\n"
    "  busyreads=N (each conversion busy for N status reads),\n"
    "  fault=busy-stuck|busy-open|data-low|data-high|synth-dead|noisy[:DB]|\n"
    "  startup-stuck:N (readings scattered over +-DB, default 3; start-up word N,\n"
    "  1 to 3, never ready),\n"
    "  knob=FILE (the device under test moved up by the Hz FILE holds),\n"
    "  atten=FILE (a step attenuator at the dB FILE holds), clock=HZ,\n"
    "  slope=MV, intercept=DBM, curve=DB (a detector off the nominal one)\n"
    "TALVIK_CAL=FILE the calibration file (talvik-cal); set and empty: none\n"
    "TALVIK_TRACE=FILE records every port access, one line each (FILE.vcd: a Value\n"
    "Change Dump for PulseView, GTKWave or sigrok-cli)\n\n";

const char *program_name(char **argv) { return argv && argv[0] ? argv[0] : "talvik"; }

bool only_argument(int argc, char **argv, const char *flag, const char *short_flag) {
    return argc == 2 && (std::strcmp(argv[1], flag) == 0 || std::strcmp(argv[1], short_flag) == 0);
}

void print_help(char **argv) {
    std::printf(usage_text, program_name(argv));
    std::puts(defaults_text);
    std::puts("TALVIK_PORT chooses how the instrument is reached:");
    print_port_forms(stdout, 2);
    std::fputs(sim_options_text, stdout);
    std::fputs(exit_status_text, stdout);
}

// Every way out of the run after the port opened: the lines idle, the trace
// written, what closing found told, and the run's status.
int finish(port_link &link, int status) {
    port_error error;
    status = link.finish(status, &error);
    if (error)
        std::fprintf(stderr, "%s\n", error.text);
    return status;
}

} // namespace

int talvik_main(int argc, char **argv) {
    protect_std_streams();
    check_output_at_exit("talvik");
    fail_oversize_writes();
    catch_stop_requests();
    if (only_argument(argc, argv, "--help", "-h")) {
        print_help(argv);
        return status_done;
    }
    if (only_argument(argc, argv, "--version", "-V")) {
        std::printf("talvik %s\n", TALVIK_VERSION);
        return status_done;
    }

    console_start();
    clear_screen();

    if (argc < 2) {
        std::fprintf(stderr, usage_text, program_name(argv));
        std::puts(defaults_text);
        return status_file;
    }

    // A calibration is read before anything is touched: a refused one is a
    // refused setting. What the clock gives is formed after it.
    calibration cal;
    std::string cal_path, why;
    bool calibrated = false;
    if (!find_calibration(&cal, &cal_path, &calibrated, &why)) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return status_file;
    }
    if (calibrated) {
        apply_calibration(&cal);
        start_word = static_cast<int32_t>(tuning_word(1000000.0));
        end_word = static_cast<int32_t>(tuning_word(10000000.0));
        std::fprintf(stderr, "%s\n", calibration_summary(cal, cal_path).c_str());
    }

    // Opening the trace would truncate the results file, and the two would
    // interleave.
    const char *trace = std::getenv("TALVIK_TRACE");
    if (trace && *trace && same_file(argv[1], trace)) {
        std::fprintf(stderr, "Results file and trace file are the same: %s\n",
                     printable(argv[1]).c_str());
        return status_file;
    }

    // Before the results file is touched: an instrument that cannot be
    // reached never truncates earlier results.
    port_error error;
    std::unique_ptr<port_link> link = open_link(std::getenv("TALVIK_PORT"), trace, &error);
    if (!link) {
        std::fprintf(stderr, "%s\n", error.text);
        return error.status;
    }
    using_link in_use(link.get());
    if (stop_signal) {
        // Stopped while the port opened: earlier results stay as they were.
        if (link->close(&error) != status_done)
            std::fprintf(stderr, "%s\n", error.text);
        die_by_signal(stop_signal);
    }

    // Binary mode: the records carry their own CR LF on every platform.
    // Unbuffered: each line goes out in one write, whole or cut back.
    results_name = argv[1];
    std::FILE *results = std::fopen(results_name, "wb");
    if (!results) {
        std::fprintf(stderr, "Can't open %s\n", printable(results_name).c_str());
        return finish(*link, status_file);
    }
    std::setvbuf(results, nullptr, _IONBF, 0);

    // The checks see the full products, never values wrapped into 32 bits.
    // Read as atoi reads them; text after the digits is said, not refused.
    const char *const names[] = {"start", "end", "step-fraction-denominator"};
    for (int i = 2; i < argc && i <= 4; ++i) {
        std::string warning = trailing_text_warning(names[i - 2], argv[i], i < 4);
        if (!warning.empty())
            std::fprintf(stderr, "%s\n", warning.c_str());
    }
    int64_t start = start_word;
    int64_t end = end_word;
    if (argc > 2)
        start = tuning_word(read_int(argv[2]));
    if (argc > 3)
        end = tuning_word(read_int(argv[3]));
    if (end < start) {
        std::puts("Enter end frequency higher than start frequency!");
        return finish(*link, status_order);
    }
    if (static_cast<double>(end) > end_bound_hz * static_cast<double>(tw_per_hz)) {
        std::fprintf(stderr, "end frequency %ld Hz is above 30 MHz\n",
                     static_cast<long>(read_int(argv[3])));
        return finish(*link, status_file);
    }
    int32_t divisor = step_divisor;
    if (argc > 4)
        divisor = read_int(argv[4]);
    if (divisor > start) {
        std::puts("step too small - decrease step-fraction-denominator\n");
        return finish(*link, status_step);
    }
    if (divisor < 1) {
        std::puts("step-fraction-denominator must be 1 or more");
        return finish(*link, status_step);
    }
    // Now 0 < divisor <= start <= end <= the 30 MHz word: all fit 32 bits.
    start_word = static_cast<int32_t>(start);
    end_word = static_cast<int32_t>(end);
    step_divisor = divisor;

    // Five periods a point below 62.5 kHz: a long wait is said before it starts.
    int64_t waits = low_band_wait_ms(start_word, end_word, step_divisor);
    if (waits > 10000)
        std::fprintf(stderr,
                     "the low-band points wait %s in all (five periods of each frequency below "
                     "62.5 kHz, in whole milliseconds)\n",
                     duration_text(waits).c_str());
    show_settings(start_word, end_word, step_divisor);
    int status = status_done;
    if (!write_header(results)) {
        std::fprintf(stderr, "Can't write %s\n", printable(results_name).c_str());
        status = status_file;
    } else {
        (void)run_sweep(results);
        if (const port_error *failed = link_failure()) {
            // A lost port, a converter never ready, a trace or the results
            // file that cannot be written.
            std::fprintf(stderr, "%s\n", failed->text);
            status = failed->status;
        }
    }
    if (stop_signal && status == status_done) {
        // The lines idle and the trace whole, then end as the signal would.
        if (link->close(&error) != status_done)
            std::fprintf(stderr, "%s\n", error.text);
        std::fflush(stdout);
        die_by_signal(stop_signal);
    }
    return finish(*link, status);
}

int main(int argc, char **argv) {
    try {
        return talvik_main(argc, argv);
    } catch (const std::bad_alloc &) {
        std::fputs("talvik: out of memory\n", stderr);
        return status_file;
    }
}
