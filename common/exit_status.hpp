// The program's exit statuses, and what each means, in one place.
#pragma once

inline constexpr int status_done = 0;        // the sweep ran to its end; --help, --version
inline constexpr int status_file = 1;        // results or trace file, or end above 30 MHz
inline constexpr int status_order = 2;       // end below start
inline constexpr int status_step = 3;        // step divisor too large or below 1
inline constexpr int status_port = 4;        // instrument not reachable, not ready, or lost
inline constexpr int status_interrupt = 130; // Control-C, as the shell reports it

// The other programs' statuses (talvik-plot, talvik-tune, talvik-probe and
// any tool added later): 0 done, 1 a file, a picture, a save or a check that
// failed, 2 bad arguments (the reason and the usage said), 4 the port.
inline constexpr int status_failed = 1;
inline constexpr int status_usage = 2;

// The statuses as --help lists them.
inline constexpr char exit_status_text[] =
    "Exit status:\n"
    "  0    the sweep ran to its end\n"
    "  1    no results file named; the results file or the trace file cannot be\n"
    "       opened or written; end above 30 MHz; a calibration file that cannot be\n"
    "       read\n"
    "  2    end below start\n"
    "  3    step divisor larger than the start tuning word, or below 1\n"
    "  4    the port cannot be opened, the converter never gets ready, or the port\n"
    "       is lost during the sweep\n"
    "  130  stopped with Control-C (every complete record stays in the file)\n";
