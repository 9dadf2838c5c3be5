#include "tune/tune.hpp"

#include "common/number.hpp"
#include "common/stop.hpp"
#include "link/link.hpp"
#include "link/port.hpp"
#include "measure/point.hpp"
#include "measure/words.hpp"
#include "results/results.hpp"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <unistd.h>

const char tune_usage[] =
    "Usage: talvik-tune [--start F --stop F | --centre F --span F] [--points N]\n"
    "                   [--log | --linear] [--average N] [--ref FILE] [--save FILE]\n"
    "                   [--sweeps N] [--mask MASK]\n"
    "       talvik-tune --help | --version\n";

namespace {

const char help_text[] =
    "\n"
    "Sweeps again and again, with a live plot and live markers, for tuning filters.\n"
    "Frequencies: 3500000, 3.5M, 3.5MHz, 350k, 350kHz (1 Hz to 30 MHz).\n"
    "  --start, --stop    the band (default 1M to 10M); or --centre and --span\n"
    "  --points N         points per sweep, 2 to 100001 (default 201)\n"
    "  --log, --linear    spacing of the points (default --log)\n"
    "  --average N        readings averaged per point, 1 to 1000 (default 1)\n"
    "  --ref FILE         levels in dB against a talvik results file\n"
    "  --save FILE        where s saves the last complete sweep (default\n"
    "                     talvik-tune-YYYYmmdd-HHMMSS.txt); without a terminal, the\n"
    "                     last sweep is saved there at the end. A save never\n"
    "                     replaces a file: FILE taken, it is FILE-2, FILE-3 ...\n"
    "  --sweeps N         quit after N sweeps\n"
    "  --mask MASK        a limit mask (as talvik-plot's) drawn on the view, with PASS\n"
    "                     or FAIL and the worst margin after every sweep; a 'unit dB'\n"
    "                     mask is checked once a reference is in force (--ref or r);\n"
    "                     without a terminal the status is 3 when the last sweep\n"
    "                     fails it, 4 when it cannot tell\n"
    "Keys: q or Control-C quit, space pauses, r takes the last sweep as the\n"
    "reference, R drops it, s saves the last sweep. The cursor (X): Left and Right\n"
    "move it a point, Shift or Page Down/Up a tenth of the span; p puts it on the\n"
    "peak (or the notch), n and N on the next peak right and left (one standing\n"
    "1 dB out of what lies between); c makes it the centre; M drops the delta\n"
    "marker there (again at the same point: takes it away). + and - zoom in and\n"
    "out about the cursor (until it is moved, about --centre or the axis's\n"
    "middle), out to ten times the starting span at most, and into the low band\n"
    "(below 62.5 kHz) only from a band that starts there; < and > move the band\n"
    "by a tenth of its span; h goes back to the starting band and its reference.\n"
    "d and D step the dB a division down and up (1, 2, 5, 10, 20), [ and ] move\n"
    "the scale a division, a fits it to each sweep again; m turns a max-hold trace\n"
    "on and off. A level beyond the scale shows as ^ or v at its edge.\n"
    "Without a terminal each sweep prints one line of markers.\n"
    "TALVIK_PORT and TALVIK_TRACE as for talvik; the trace may not be the --ref or\n"
    "--save file. Exit status: 0 done (q, Control-C, or --sweeps done); 1 a save,\n"
    "the trace or standard output cannot be written; 2 bad arguments; 4 the port\n"
    "cannot be opened or is lost; other stop signals end it as they would.\n";

bool read_count(const char *text, long low, long high, long *value) {
    long long v = 0;
    if (!parse_number(text, low, high, &v))
        return false;
    *value = static_cast<long>(v);
    return true;
}

} // namespace

bool read_tune_settings(int argc, char **argv, tune_settings *s, std::string *reason, bool *done) {
    *done = false;
    double centre = 0, span = 0;
    bool band = false, middle = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(tune_usage, stdout);
            std::fputs(help_text, stdout);
            *done = true;
            return true;
        }
        if (arg == "--version" || arg == "-V") {
            std::printf("talvik-tune %s\n", TALVIK_VERSION);
            *done = true;
            return true;
        }
        if (arg == "--log" || arg == "--linear") {
            s->linear = arg == "--linear";
            continue;
        }
        static const char *const valued[] = {"--start",   "--stop", "--centre", "--span",
                                             "--points",  "--average", "--ref", "--save",
                                             "--sweeps",  "--mask"};
        bool known = false;
        for (const char *name : valued)
            known = known || arg == name;
        if (!known) {
            *reason = (arg.rfind("-", 0) == 0 ? "unknown option " : "unknown argument ") + arg;
            return false;
        }
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (!value) {
            *reason = arg.rfind("--", 0) == 0 ? arg + " needs a value" : "unknown argument " + arg;
            return false;
        }
        ++i;
        double hz = 0;
        long count = 0;
        if (arg == "--start" || arg == "--stop" || arg == "--centre" || arg == "--span") {
            if (!read_frequency(value, &hz)) {
                *reason =
                    std::string("bad frequency '") + value + "': use e.g. 3.5M, 350k or 3500000";
                return false;
            }
            if (arg != "--centre" && arg != "--span" && (hz < 1 || hz > 30e6)) {
                *reason = arg + " " + value + " is outside the band talvik-tune sweeps, 1 Hz to 30 MHz";
                return false;
            }
            (arg == "--start"    ? s->start_hz
             : arg == "--stop"   ? s->stop_hz
             : arg == "--centre" ? centre
                                 : span) = hz;
            (arg == "--start" || arg == "--stop" ? band : middle) = true;
        } else if (arg == "--points") {
            if (!read_count(value, 2, 100001, &count)) {
                *reason = "--points takes a whole number from 2 to 100001";
                return false;
            }
            s->points = static_cast<int>(count);
        } else if (arg == "--average") {
            if (!read_count(value, 1, 1000, &count)) {
                *reason = "--average takes a whole number from 1 to 1000";
                return false;
            }
            s->average = static_cast<int>(count);
        } else if (arg == "--sweeps") {
            if (!read_count(value, 1, 1000000000L, &count)) {
                *reason = "--sweeps takes a whole number from 1";
                return false;
            }
            s->sweeps = count;
        } else if (arg == "--ref" || arg == "--save" || arg == "--mask") {
            (arg == "--ref" ? s->reference : arg == "--save" ? s->save : s->mask) = value;
        } else {
            *reason = "unknown argument " + arg;
            return false;
        }
    }
    if (band && middle) {
        *reason = "give --start and --stop, or --centre and --span, not both";
        return false;
    }
    if (middle) {
        s->centre_hz = centre;
        s->start_hz = centre - span / 2;
        s->stop_hz = centre + span / 2;
    }
    if (s->start_hz < 1 || s->stop_hz > 30e6) {
        *reason = "the band must lie within 1 Hz to 30 MHz";
        return false;
    }
    if (s->start_hz >= s->stop_hz) {
        *reason = "the start must be below the stop";
        return false;
    }
    if (!words_rise(*s)) {
        // The smallest span that works, about the same start (or centre).
        tune_settings wider = *s;
        double lo = s->stop_hz - s->start_hz, hi = lo;
        auto span_works = [&](double span) {
            wider.start_hz = middle ? centre - span / 2 : s->start_hz;
            wider.stop_hz = wider.start_hz + span;
            return wider.stop_hz <= 30e6 && wider.start_hz >= 1 && words_rise(wider);
        };
        while (!span_works(hi) && hi < 30e6)
            hi *= 2;
        if (!span_works(hi)) {
            *reason = "the band is too narrow for " + std::to_string(s->points) +
                      " points: each step must be at least one tuning word and show as a "
                      "higher frequency, and no span from this start allows it; use fewer points";
            return false;
        }
        for (int k = 0; k < 30; ++k) {
            double mid = (lo + hi) / 2;
            (span_works(mid) ? hi : lo) = mid;
        }
        char text[200];
        std::snprintf(text, sizeof text,
                      "the band is too narrow for %d points: each step must be at least one "
                      "tuning word and show as a higher frequency; use a span of at least "
                      "%.1f Hz, or fewer points",
                      s->points, std::ceil(hi * 10) / 10);
        *reason = text;
        return false;
    }
    return true;
}

bool words_rise(const tune_settings &s) {
    std::vector<int32_t> words = sweep_words(s);
    char before[32] = "", now[32];
    for (size_t i = 0; i < words.size(); ++i) {
        // As the saved file prints it: talvik-plot needs them to rise.
        std::snprintf(now, sizeof now, "%.1f", word_hz(words[i]));
        if (i > 0 && (words[i] <= words[i - 1] || std::strtod(now, nullptr) <= std::strtod(before, nullptr)))
            return false;
        std::memcpy(before, now, sizeof now);
    }
    return true;
}

std::vector<int32_t> sweep_words(const tune_settings &s) {
    std::vector<int32_t> words(static_cast<size_t>(s.points));
    for (int i = 0; i < s.points; ++i) {
        double t = static_cast<double>(i) / (s.points - 1);
        double hz = s.linear ? s.start_hz + t * (s.stop_hz - s.start_hz)
                             : s.start_hz * std::pow(s.stop_hz / s.start_hz, t);
        words[static_cast<size_t>(i)] = static_cast<int32_t>(tuning_word(hz));
    }
    return words;
}

tune_point measure_tune_point(int32_t word, int average) {
    tune_to(word);
    // The converter is pipelined: each reply is the conversion the exchange
    // before it started, the first one's at the new frequency.
    converter_exchange(measure_command);
    bool timed_out = exchange_timed_out;
    double volts = 0;
    bool overflow = false;
    int taken = 0;
    // A quit (a key or a signal) ends the point between readings too.
    for (int i = 0; i < average && keep_waiting(); ++i, ++taken) {
        reading_of_reply r = decode_reply(converter_exchange(measure_command));
        if (i + 1 < average)
            timed_out = timed_out || exchange_timed_out;
        volts += static_cast<double>(r.volts);
        overflow = overflow || r.overflow;
    }
    // The mean of the volts; for one reading, exactly talvik's figure.
    return {word, word_hz(word), level_of_volts(taken ? volts / taken : 0), overflow, timed_out};
}

size_t stream_tune_sweep(const std::vector<int32_t> &words, std::vector<tune_point> &points,
                         int average, const std::function<bool(size_t)> &each) {
    if (!port_streams() || average != 1) {
        for (size_t i = 0; i < words.size(); ++i) {
            points[i] = measure_tune_point(words[i], average);
            if (!keep_waiting() || link_failure() || (each && !each(i)))
                return keep_waiting() && !link_failure() ? i + 1 : i;
        }
        return words.size();
    }
    size_t handed = 0, taken = 0;
    return measure_points(
        [&](int32_t *word) {
            if (handed == words.size())
                return false;
            *word = words[handed++];
            return true;
        },
        [&](const point_reading &r) {
            // One reading: exactly measure_tune_point's figures.
            points[taken] = {r.word, word_hz(r.word),
                             level_of_volts(static_cast<double>(r.value.volts)), r.value.overflow,
                             r.first_late};
            ++taken;
            return !each || each(taken - 1);
        });
}

std::vector<level_point> against(const std::vector<tune_point> &points,
                                 const std::vector<level_point> *reference) {
    std::vector<level_point> out;
    out.reserve(points.size());
    size_t at = 0;
    for (const auto &p : points) {
        double level = p.level;
        bool overflow = p.overflow;
        if (reference && !reference->empty()) {
            double ref = 0;
            bool ref_overflow = false;
            reference_at(*reference, p.hz, &at, &ref, &ref_overflow);
            level -= ref;
            overflow = overflow || ref_overflow;
        }
        out.push_back({p.hz, level, overflow});
    }
    return out;
}

bool reference_covers(const std::vector<level_point> &reference, const std::vector<int32_t> &words,
                      const std::string &name, std::string *reason, std::string *note) {
    note->clear();
    // Both print frequencies at one decimal: a tenth of a hertz is the same point.
    double first = word_hz(words.front()), last = word_hz(words.back());
    size_t n = reference.size();
    double step = n >= 2 ? reference[n - 1].hz - reference[n - 2].hz : 0;
    if (n > 0 && reference.front().hz <= first + 0.05) {
        if (reference.back().hz >= last - 0.05)
            return true;
        // Held over no more than its own last step, and a twentieth of the
        // band: a coarse reference is not stretched across it.
        double short_by = last - reference.back().hz;
        if (short_by <= step + 0.05 && short_by <= (last - first) / 20) {
            char text[300];
            std::snprintf(text, sizeof text,
                          "%s ends at %.1f Hz, within its last step of the band's end, %.1f Hz: "
                          "its last level is held there",
                          name.c_str(), reference.back().hz, last);
            *note = text;
            return true;
        }
    }
    char text[300];
    if (reference.empty())
        std::snprintf(text, sizeof text, "%s: no points", name.c_str());
    else
        std::snprintf(text, sizeof text,
                      "%s covers %.1f to %.1f Hz, not the whole band, %.1f to %.1f Hz: "
                      "levels are never guessed beyond a reference's ends; sweep it over the band",
                      name.c_str(), reference.front().hz, reference.back().hz, first, last);
    *reason = text;
    return false;
}

bool save_sweep(const std::string &name, const std::vector<tune_point> &points,
                std::string *reason) {
    std::vector<level_point> levels;
    levels.reserve(points.size());
    for (const auto &p : points)
        levels.push_back({p.hz, p.level, p.overflow});
    return save_results(name, levels, reason);
}

std::string default_save_name() {
    char stamp[64];
    std::time_t now = std::time(nullptr);
    std::strftime(stamp, sizeof stamp, "talvik-tune-%Y%m%d-%H%M%S.txt", std::localtime(&now));
    return stamp;
}

std::string numbered_name(const std::string &name, int k) {
    if (k < 2)
        return name;
    size_t slash = name.find_last_of("/\\");
    size_t base = slash == std::string::npos ? 0 : slash + 1;
    size_t dot = name.rfind('.');
    // A leading dot names a hidden file, not an extension.
    if (dot == std::string::npos || dot <= base)
        dot = name.size();
    return name.substr(0, dot) + "-" + std::to_string(k) + name.substr(dot);
}

bool save_sweep_new(const std::string &name, const std::vector<tune_point> &points,
                    std::string *saved, std::string *reason) {
    std::vector<level_point> levels;
    levels.reserve(points.size());
    for (const auto &p : points)
        levels.push_back({p.hz, p.level, p.overflow});
    if (name.empty() || name.back() == '/' || name.back() == '\\' ||
        std::filesystem::is_directory(name)) {
        *reason = name + ": a folder: name a file to save to";
        return false;
    }
    for (int k = 1; k <= 9999; ++k) {
        *saved = numbered_name(name, k);
        bool taken = false;
        if (save_results(*saved, levels, reason, &taken))
            return true;
        if (!taken) {
            if (k > 1) // why it is not the name asked for
                *reason = name + " is taken, and " + *reason;
            return false;
        }
    }
    *reason = name + ": every name up to -9999 is taken";
    return false;
}

std::string marker_summary(const std::vector<level_point> &points, const char *unit, size_t first,
                           size_t count, bool normalised) {
    std::string text;
    if (points.empty())
        return text;
    marker_settings settings;
    settings.smooth_option = "--average"; // readings averaged per point
    settings.normalised = normalised;
    filter_markers m = find_markers(points, settings);
    auto lines = marker_lines("x", m, unit);
    for (size_t i = first; i < lines.size() && i < first + count; ++i)
        text += (text.empty() ? "" : "; ") + lines[i].substr(3);
    return text;
}
