// talvik-cal: measures the generator's clock against a frequency counter,
// and the detector's slope, intercept and linearity against a step
// attenuator, and keeps them in the calibration file the other programs
// read. Every answer can come from standard input; the file is written whole
// at the end, or not at all.
#include "cal/answer.hpp"
#include "cal/fit.hpp"
#include "common/exit_status.hpp"
#include "common/files.hpp"
#include "common/number.hpp"
#include "common/output.hpp"
#include "common/stop.hpp"
#include "common/text.hpp"
#include "link/link.hpp"
#include "link/port.hpp"
#include "measure/calibration.hpp"
#include "measure/point.hpp"
#include "measure/words.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <vector>

namespace {

const char usage[] =
    "Usage: talvik-cal clock [--at FREQ] [--counter HZ]\n"
    "       talvik-cal detector [--at FREQ] [--steps DB,DB,...] [--level DBM] [--readings N]\n"
    "       talvik-cal show\n"
    "       talvik-cal --help | --version\n";

const char help[] =
    "\n"
    "clock     sets the generator to --at (default 10M), asks for the frequency a\n"
    "          counter reads there (or takes --counter HZ), and keeps the reference\n"
    "          clock that makes the two agree.\n"
    "detector  at --at, asks for each attenuator setting in turn (--steps, default\n"
    "          0,10,20,30,40,50,60 dB), averages --readings readings (default 16)\n"
    "          at each, fits slope and intercept by least squares against the\n"
    "          generator's output --level DBM at the attenuator's 0 dB (without it\n"
    "          the intercept in force is kept), and keeps what is left at each step\n"
    "          as the linearity. A step more than 3 dB off the fit is refused.\n"
    "show      what is in force, from where, and how old each part is.\n"
    "\n"
    "The file: TALVIK_CAL where it names one, else $XDG_CONFIG_HOME/talvik/calibration\n"
    "(~/.config/talvik/calibration; on Windows %APPDATA%\\talvik\\calibration). It is\n"
    "written whole once a measurement is done; Control-C or the end of the input\n"
    "leaves it as it was. TALVIK_PORT reaches the instrument, as for talvik.\n"
    "Exit status: 0 done, 1 a measurement refused or stopped, or the file not\n"
    "written, 2 bad arguments or a calibration file that cannot be read, 4 the port.\n";

// A number in words, as printf formats it (one double, or a long long).
std::string text_of(const char *format, double value) {
    char text[160];
    std::snprintf(text, sizeof text, format, value);
    return text;
}
std::string text_of(const char *format, long long value) {
    char text[160];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

int refuse(const std::string &reason) {
    std::fprintf(stderr, "talvik-cal: %s\n%s", printable(reason).c_str(), usage);
    return status_usage;
}

int fail(const std::string &reason) {
    std::fprintf(stderr, "talvik-cal: %s\n", printable(reason).c_str());
    return status_failed;
}

std::string now_utc() {
    std::time_t now = std::time(nullptr);
    char text[40] = "";
    if (const std::tm *t = std::gmtime(&now))
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", t);
    return text;
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
long days_of(int y, int m, int d) {
    y -= m <= 2;
    long era = (y >= 0 ? y : y - 399) / 400;
    long yoe = y - era * 400;
    long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// "measured DATE (N days ago)", and a word where it is over a year.
std::string age_of(const std::string &when) {
    int y = 0, m = 0, d = 0;
    if (when.empty())
        return "when not recorded";
    static const int month_days[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (std::sscanf(when.c_str(), "%4d-%2d-%2d", &y, &m, &d) != 3 || y < 1970 || m < 1 ||
        m > 12 || d < 1 || d > month_days[m - 1] ||
        (m == 2 && d == 29 && (y % 4 != 0 || (y % 100 == 0 && y % 400 != 0))))
        return "measured " + when + " (not a date: its age is not known)";
    long today = static_cast<long>(std::time(nullptr) / 86400);
    long days = today - days_of(y, m, d);
    if (days < 0)
        return "measured " + when + " (a date to come: is the clock of the computer right?)";
    std::string text = "measured " + when + " (" + std::to_string(days) + " days ago)";
    if (days > 365)
        text += ": older than a year, measure it again";
    return text;
}

int show(const calibration &c, const std::string &path, bool found) {
    if (!found) {
        std::printf("no calibration in force%s: the detector as built (25 mV per dB, 0 V at "
                    "-84 dBm) and a 100 MHz clock\n",
                    path.empty() ? "" : (" (none at " + printable(path) + ")").c_str());
        return status_done;
    }
    std::printf("calibration %s\n", printable(path).c_str());
    if (c.detector) {
        std::printf("detector: %.3f mV per dB, 0 V at %.2f dBm (%s), at %.0f Hz; %s%s%s\n",
                    c.slope_mv, c.intercept_dbm,
                    c.intercept_kept ? "kept from before: no --level was given" : "measured",
                    c.detector_at_hz, age_of(c.detector_measured).c_str(),
                    c.detector_how.empty() ? "" : ": ", c.detector_how.c_str());
        if (!c.linearity.empty())
            std::printf("linearity: %zu steps from %.2f to %.2f dBm (beyond them, the nearest "
                        "end's correction)\n",
                        c.linearity.size(), c.linearity.front().first, c.linearity.back().first);
    } else {
        std::printf("detector: as built (25 mV per dB, 0 V at -84 dBm)\n");
    }
    if (c.clock)
        std::printf("clock: %.1f Hz (%+.2f ppm from 100 MHz); %s%s%s\n", c.clock_hz,
                    (c.clock_hz / 100e6 - 1) * 1e6, age_of(c.clock_measured).c_str(),
                    c.clock_how.empty() ? "" : ": ", c.clock_how.c_str());
    else
        std::printf("clock: as built (100 MHz)\n");
    return status_done;
}

// Asks until an answer reads as a number of hertz within 1 % of near; false
// at the end of the input or a stop.
bool ask_counter(double near, double *hz) {
    for (;;) {
        std::printf("Read the generator's output on a frequency counter and type the reading "
                    "in Hz: ");
        std::fflush(stdout);
        std::string line;
        if (!read_answer(&line))
            return false;
        line = trimmed(line);
        double value = 0;
        if (read_frequency(line.c_str(), &value) && std::fabs(value / near - 1) < 0.01) {
            *hz = value;
            return true;
        }
        std::printf("'%s' is not a reading within 1 %% of %.1f Hz; again.\n",
                    shortened(printable(line), 40).c_str(), near);
    }
}

// The detector's volts at the synthesizer's present word, averaged, and the
// standard deviation of the mean; false where a reading saturated or the
// port failed.
bool average_volts(int readings, double *volts, double *spread) {
    double sum = 0, squares = 0;
    for (int i = 0; i < readings; ++i) {
        converter_exchange(measure_command);
        reading_of_reply r = decode_reply(converter_exchange(measure_command));
        if (link_failure() || r.overflow)
            return false;
        sum += r.volts;
        squares += static_cast<double>(r.volts) * r.volts;
    }
    *volts = sum / readings;
    double variance = readings > 1 ? (squares - sum * sum / readings) / (readings - 1) : 0;
    *spread = std::sqrt(std::fmax(variance, 0) / readings);
    return true;
}

struct options {
    std::string what;
    double at_hz = 10e6;
    bool counter_given = false;
    double counter_hz = 0;
    std::vector<double> steps{0, 10, 20, 30, 40, 50, 60};
    bool level_given = false;
    double level_dbm = 0;
    long long readings = 16;
};

bool read_options(int argc, char **argv, options *o, std::string *why) {
    o->what = argv[1];
    if (o->what != "clock" && o->what != "detector" && o->what != "show") {
        *why = "unknown command " + std::string(argv[1]);
        return false;
    }
    std::vector<std::string> given;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (std::find(given.begin(), given.end(), arg) != given.end()) {
            *why = arg + " given twice";
            return false;
        }
        given.push_back(arg);
        bool for_clock = arg == "--counter", for_detector = arg == "--steps" ||
                                                             arg == "--level" ||
                                                             arg == "--readings";
        bool known = arg == "--at" || for_clock || for_detector;
        if (!known || o->what == "show" || (for_clock && o->what != "clock") ||
            (for_detector && o->what != "detector")) {
            *why = "unknown argument " + arg + " for " + o->what;
            return false;
        }
        if (i + 1 == argc) {
            *why = arg + " takes a value";
            return false;
        }
        const char *value = argv[++i];
        bool ok = true;
        if (arg == "--at")
            ok = read_frequency(value, &o->at_hz) && o->at_hz >= 100e3 && o->at_hz <= 30e6;
        else if (arg == "--counter")
            ok = (o->counter_given = read_frequency(value, &o->counter_hz));
        else if (arg == "--steps")
            ok = read_steps(value, &o->steps);
        else if (arg == "--level")
            ok = (o->level_given = parse_decimal(value, -60, 20, &o->level_dbm));
        else
            ok = parse_number(value, 1, 1000, &o->readings);
        if (!ok) {
            *why = arg + " " + std::string(value) +
                   (arg == "--at"        ? ": a frequency from 100k to 30M"
                    : arg == "--counter" ? ": a frequency in Hz"
                    : arg == "--steps"   ? ": 4 to 64 settings in dB, 0 to 150, comma-separated, none twice"
                    : arg == "--level"   ? ": dBm, -60 to 20"
                                         : ": 1 to 1000 readings");
            return false;
        }
    }
    return true;
}

int cal_main(int argc, char **argv) {
    protect_std_streams();
    check_output_at_exit("talvik-cal");
    catch_stop_requests();
    if (argc < 2)
        return refuse("a command: clock, detector or show");
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(usage, stdout);
        std::fputs(help, stdout);
        return status_done;
    }
    if (argc == 2 && (std::strcmp(argv[1], "--version") == 0 || std::strcmp(argv[1], "-V") == 0)) {
        std::printf("talvik-cal %s\n", TALVIK_VERSION);
        return status_done;
    }
    options o;
    std::string why;
    if (!read_options(argc, argv, &o, &why))
        return refuse(why);
    calibration before;
    std::string path;
    bool found = false;
    if (!find_calibration(&before, &path, &found, &why, true)) {
        std::fprintf(stderr, "talvik-cal: %s\n", why.c_str());
        return status_usage;
    }
    if (o.what == "show")
        return show(before, path, found);
    bool none = false;
    calibration_path(&none);
    if (none || path.empty())
        return refuse(none ? "TALVIK_CAL is set and empty: there is no file to keep a calibration in"
                           : "no folder for settings (HOME is not set): name a file with TALVIK_CAL");
    // The clock in force sets the word; a detector measured anew reads raw volts.
    if (found)
        apply_calibration(&before);

    port_error error;
    std::unique_ptr<port_link> link = open_link(std::getenv("TALVIK_PORT"), nullptr, &error);
    if (!link) {
        std::fprintf(stderr, "%s\n", error.text);
        return error.status;
    }
    using_link in_use(link.get());
    auto finish = [&](int status) {
        status = link->finish(status, &error);
        if (error)
            std::fprintf(stderr, "%s\n", error.text);
        return status;
    };
    calibration after = before;
    int32_t word = static_cast<int32_t>(tuning_word(o.at_hz));
    double asked_hz = word_hz(word);
    if (o.what == "clock") {
        load_synthesizer(word, control_byte);
        std::printf("The generator is set to %.1f Hz (word %ld).\n", asked_hz,
                    static_cast<long>(word));
        double counter = o.counter_hz;
        if (!o.counter_given && !ask_counter(asked_hz, &counter))
            return finish(fail("stopped: the calibration file is as it was"));
        if (std::fabs(counter / asked_hz - 1) >= 0.01)
            return finish(fail("a counter reading 1 % or more from the frequency asked: is the "
                               "counter on the generator's output?"));
        after.clock = true;
        after.clock_hz = counter * 4294967296.0 / word;
        after.clock_measured = now_utc();
        char how[160];
        std::snprintf(how, sizeof how, "a counter read %.1f Hz at word %ld", counter,
                      static_cast<long>(word));
        after.clock_how = how;
    } else {
        converter_start();
        load_synthesizer(word, control_byte);
        std::printf("The generator is set to %.1f Hz (word %ld).\n", asked_hz,
                    static_cast<long>(word));
        std::vector<detector_step> steps;
        double worst_spread = 0;
        for (double db : o.steps) {
            std::printf("Set the attenuator to %g dB and press Enter: ", db);
            std::fflush(stdout);
            std::string line;
            if (!read_answer(&line))
                return finish(fail("stopped: the calibration file is as it was"));
            double volts = 0, spread = 0;
            if (!average_volts(static_cast<int>(o.readings), &volts, &spread)) {
                if (link_failure())
                    return finish(status_port);
                return finish(fail("the detector saturated at " + text_of("%g dB", db) +
                                   ": nothing stored"));
            }
            std::printf("  %g dB: %.4f V\n", db, volts);
            steps.push_back({db, volts});
            worst_spread = std::fmax(worst_spread, spread);
        }
        detector_fit fit;
        double keep = before.detector ? before.intercept_dbm : -84;
        if (!fit_detector(steps, o.level_given ? &o.level_dbm : nullptr, keep, &fit, &why))
            return finish(fail(why + ": nothing stored"));
        if (fit.worst_db > 3)
            return finish(fail(text_of("the fit is %.1f dB off at worst", fit.worst_db) +
                               text_of(": the step at %g dB", steps[fit.suspect].db) +
                               text_of(" is %.1f dB off the line through the others (a wrong "
                                       "setting there, or the detector saturated or at its "
                                       "floor); nothing stored",
                                       fit.suspect_db)));
        // What is left at each step, for the user to judge; a scatter that
        // moves the fit is said.
        for (size_t i = 0; i < fit.linearity.size(); ++i)
            std::printf("  at %.2f dBm the correction is %+.3f dB\n", fit.linearity[i].first,
                        fit.linearity[i].second);
        double spread_db = worst_spread * 1000 / fit.slope_mv;
        if (spread_db > 0.05)
            std::printf("The readings scatter: a step's mean is uncertain by %.2f dB; more "
                        "--readings make the fit steadier.\n",
                        spread_db);
        after.detector = true;
        after.slope_mv = fit.slope_mv;
        after.intercept_dbm = fit.intercept_dbm;
        after.intercept_kept = !o.level_given;
        after.detector_at_hz = asked_hz;
        after.linearity = fit.linearity;
        after.detector_measured = now_utc();
        std::string how = "steps";
        if (o.steps.size() > 12) // the note stays a line
            how += text_of(" %lld", static_cast<long long>(o.steps.size())) +
                   text_of(" from %g", o.steps.front()) + text_of(" to %g", o.steps.back());
        else
            for (size_t i = 0; i < o.steps.size(); ++i)
                how += (i ? "," : " ") + text_of("%g", o.steps[i]);
        how += text_of(" dB, %lld readings each", o.readings);
        how += o.level_given ? text_of(", %.2f dBm at 0 dB", o.level_dbm) : ", no level given";
        after.detector_how = how;
    }
    int status = finish(status_done);
    if (status != status_done)
        return status;
    if (stop_signal)
        return fail("stopped: the calibration file is as it was");
    std::string reason;
    // Never a file the programs would refuse (steps too close to tell apart).
    calibration check;
    if (!parse_calibration(calibration_text(after), path, &check, &reason))
        return fail("the calibration would not read back (" + reason + "): nothing stored");
    reason.clear();
    if (!make_parent_dirs(path, &reason) || !save_whole(path, calibration_text(after), &reason))
        return fail(reason);
    std::printf("%s\n", calibration_summary(after, path).c_str());
    return status_done;
}

} // namespace

int main(int argc, char **argv) {
    try {
        return cal_main(argc, argv);
    } catch (const std::bad_alloc &) {
        std::fputs("talvik-cal: out of memory\n", stderr);
        return status_failed;
    }
}
