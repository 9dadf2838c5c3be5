#include "app/settings.hpp"

#include "app/results.hpp"
#include "app/screen.hpp"
#include "app/sweep.hpp"
#include "common/console.hpp"
#include "link/port.hpp"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Start-up values, in this order, before the command line is looked at.
const float ref_clock_hz = 100000000.0f;
const float tw_per_hz = 4294967296.0f / ref_clock_hz;
int32_t start_word = static_cast<int32_t>(tuning_word(1000000.0));
int32_t end_word = static_cast<int32_t>(tuning_word(10000000.0));
int32_t step_divisor = 20;
const int32_t control_byte = 0;
const char *results_name = nullptr;

namespace {

const double end_bound_hz = 30000000.0;

const char usage_text[] = "\nUsage: %s filename.txt [start] [end] [step-fraction-denominator]\n\n";
const char defaults_text[] = "defaults are 1MHz, 10MHz, and 20, so each step is 5% higher in "
                             "frequency.\n\nHit Control and C to cancel.\n\n";

const char environment_text[] =
    "Environment:\n"
    "  TALVIK_PORT   how the instrument is reached (default: the simulated one)\n"
    "                  sim[:OPTIONS]   the simulated instrument; OPTIONS, comma-separated:\n"
    "                                  dut=through|lowpass|bandpass|notch (default bandpass),\n"
    "                                  reply=N (every reading answers N), busy=US|forever\n"
    "                  /dev/parportN, ppdev:PATH   a Linux parallel-port device\n"
    "                  0x378, io:ADDRESS           direct port I/O (x86, root)\n"
    "  TALVIK_TRACE  FILE: record every port access, one line each (FILE.vcd: a Value\n"
    "                Change Dump for PulseView, GTKWave or sigrok-cli)\n"
    "\n"
    "Exit status: 0 sweep done; 1 no file named, file cannot be opened or written, end\n"
    "above 30 MHz; 2 end below start; 3 step divisor too large or below 1; 4 instrument\n"
    "not reachable or not ready.\n";

const char *program_name(char **argv) { return argv && argv[0] ? argv[0] : "talvik"; }

bool only_argument(int argc, char **argv, const char *flag) {
    return argc == 2 && std::strcmp(argv[1], flag) == 0;
}

} // namespace

int64_t tuning_word(double hz) {
    // Truncation toward zero; the product of a 32-bit number of hertz and
    // tw_per_hz always fits 64 bits.
    return static_cast<int64_t>(hz * static_cast<double>(tw_per_hz));
}

double word_hz(int64_t word) { return static_cast<double>(word) / static_cast<double>(tw_per_hz); }

int32_t read_int(const char *text) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    while (std::isspace(*p))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    // Accumulate the magnitude, stopping once it is past the range: more
    // digits cannot bring it back.
    int64_t magnitude = 0;
    for (; std::isdigit(*p); ++p) {
        if (magnitude <= int64_t{INT32_MAX} + 1)
            magnitude = magnitude * 10 + (*p - '0');
    }
    int64_t value = negative ? -magnitude : magnitude;
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(value);
}

int talvik_main(int argc, char **argv) {
    if (only_argument(argc, argv, "--help")) {
        std::printf(usage_text, program_name(argv));
        std::puts(defaults_text);
        std::fputs(environment_text, stdout);
        return 0;
    }
    if (only_argument(argc, argv, "--version")) {
        std::printf("talvik %s\n", TALVIK_VERSION);
        return 0;
    }

    console_start();
    clear_screen();

    if (argc < 2) {
        std::fprintf(stderr, usage_text, program_name(argv));
        std::puts(defaults_text);
        std::exit(1);
    }

    // Before the results file is touched: an instrument that cannot be
    // reached never truncates earlier results.
    open_port(std::getenv("TALVIK_PORT"), std::getenv("TALVIK_TRACE"));

    // Binary mode: the records carry their own CR LF on every platform.
    results_name = argv[1];
    std::FILE *results = std::fopen(results_name, "wb");
    if (!results) {
        std::fprintf(stderr, "Can't open %s\n", results_name);
        std::exit(1);
    }

    // The checks see the full products, never values wrapped into 32 bits.
    int64_t start = start_word;
    int64_t end = end_word;
    if (argc > 2)
        start = tuning_word(read_int(argv[2]));
    if (argc > 3)
        end = tuning_word(read_int(argv[3]));
    if (end < start) {
        std::puts("Enter end frequency higher than start frequency!");
        std::exit(2);
    }
    if (static_cast<double>(end) > end_bound_hz * static_cast<double>(tw_per_hz))
        std::exit(1);
    int32_t divisor = step_divisor;
    if (argc > 4)
        divisor = read_int(argv[4]);
    if (divisor > start) {
        std::puts("step too small - decrease step-fraction-denominator\n");
        std::exit(3);
    }
    if (divisor < 1) {
        std::puts("step-fraction-denominator must be 1 or more");
        std::exit(3);
    }
    // Now 0 < divisor <= start <= end <= the 30 MHz word: all fit 32 bits.
    start_word = static_cast<int32_t>(start);
    end_word = static_cast<int32_t>(end);
    step_divisor = divisor;

    show_settings(start_word, end_word, step_divisor);
    write_header(results);
    run_sweep(results);
    return 0;
}
