// talvik-tune: sweeps again and again, with a live plot and live markers.
#include "common/exit_status.hpp"
#include "common/files.hpp"
#include "common/output.hpp"
#include "common/stop.hpp"
#include "common/text.hpp"
#include "link/link.hpp"
#include "link/port.hpp"
#include "results/results.hpp"
#include "measure/calibration.hpp"
#include "measure/point.hpp"
#include "measure/words.hpp"
#include "tune/control.hpp"
#include "tune/screen.hpp"
#include "tune/tune.hpp"
#include "tune/view.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <new>
#include "common/console.hpp"

namespace {

using steady = std::chrono::steady_clock;
constexpr auto frame = std::chrono::milliseconds(33);    // at most 30 redraws a second
constexpr auto key_poll = std::chrono::milliseconds(20); // keys seen within a wait

bool quit = false;    // q
bool screen = false;  // standard output is a terminal: the live view
bool keys_up = false; // the view is up and its keys can be read
steady::time_point last_poll;

// Keys that came in during a wait, handled once the point is done.
int held_keys[16];
int held_count = 0;

// Looked at by every wait of the link: q ends the wait at once, other keys
// wait their turn.
bool poll_keys() {
    if (quit)
        return false;
    if (!keys_up)
        return true;
    auto now = steady::now();
    if (now - last_poll < key_poll)
        return true;
    last_poll = now;
    for (int key; (key = screen_key(0)) != -1;) {
        if (key == 'q' || key == 'Q')
            quit = true;
        else if (held_count < 16)
            held_keys[held_count++] = key;
    }
    return !quit;
}

int refuse(const std::string &reason) {
    std::fprintf(stderr, "talvik-tune: %s\n%s", printable(reason).c_str(), tune_usage);
    return status_usage;
}

int fail(const std::string &reason) {
    std::fprintf(stderr, "talvik-tune: %s\n", printable(reason).c_str());
    return status_failed;
}

std::vector<level_point> raw(const std::vector<tune_point> &points) {
    return against(points, nullptr);
}

// A band that takes long is said before its first point: the low band's
// waits, and the points at the rate the last band was swept (0: not known).
std::string slow_band_note(const std::vector<int32_t> &words, double seconds_a_point) {
    double ms = 0;
    for (int32_t w : words)
        ms += w < low_band_word ? low_band_delay(w) : 0;
    double seconds = ms / 1000 + seconds_a_point * static_cast<double>(words.size());
    if (seconds <= 2)
        return "";
    char text[160];
    std::snprintf(text, sizeof text,
                  "this band's sweep takes about %.0f s (points below 62.5 kHz wait periods of "
                  "their frequency); h goes back to the starting band",
                  seconds);
    return text;
}

int tune_main(int argc, char **argv) {
    protect_std_streams();
    check_output_at_exit("talvik-tune");
    fail_oversize_writes(); // a save past the size limit: a reason, not a kill
    catch_stop_requests();
    tune_settings settings;
    std::string reason;
    bool done = false;
    if (!read_tune_settings(argc, argv, &settings, &reason, &done))
        return refuse(reason);
    if (done)
        return 0;
    // The calibration in force before any word is formed from the clock.
    calibration cal;
    std::string cal_path;
    bool calibrated = false;
    if (!find_calibration(&cal, &cal_path, &calibrated, &reason)) {
        std::fprintf(stderr, "talvik-tune: %s\n", reason.c_str());
        return status_usage;
    }
    if (calibrated)
        apply_calibration(&cal);
    std::vector<int32_t> words = sweep_words(settings);

    // Opening the trace truncates its file: never a file this run reads or
    // saves, and it is refused before anything is touched.
    const char *trace = std::getenv("TALVIK_TRACE");
    if (trace && *trace) {
        if (!settings.reference.empty() && same_file(settings.reference.c_str(), trace))
            return fail("Reference file and trace file are the same: " + settings.reference);
        if (!settings.save.empty() && same_file(settings.save.c_str(), trace))
            return fail("Save file and trace file are the same: " + settings.save);
    }
    std::vector<level_point> reference;
    bool have_reference = false;
    std::string reference_note; // a reference's last level held at the band's end
    if (!settings.reference.empty()) {
        results_file ref;
        if (!read_results(settings.reference, ref, reason))
            return refuse(reason);
        if (!reference_covers(ref.points, words, settings.reference, &reason, &reference_note))
            return refuse(reason);
        reference = ref.points;
        have_reference = true;
    }
    limit_mask mask;
    if (!settings.mask.empty()) {
        std::string text;
        if (!read_small_file(settings.mask, 1 << 20, &text, &reason))
            return refuse("mask " + settings.mask + ": " +
                          (reason == too_large ? "more than 1 MiB: not a mask" : reason));
        if (!parse_mask(text, settings.mask, &mask, &reason))
            return refuse(reason);
        if (!mask.relative && have_reference)
            return refuse(settings.mask + ": a 'unit dBm' mask checks absolute levels: leave out "
                                          "--ref (or write 'unit dB')");
    }
    screen = console_is_terminal();
    // Without a terminal no key can take a reference.
    if (!screen && !settings.mask.empty() && mask.relative && !have_reference)
        return refuse(settings.mask + ": a 'unit dB' mask measures against a reference: give "
                                      "--ref (or write 'unit dBm' for absolute levels)");
    int last_verdict = 0; // without a terminal, the last sweep's: 3 FAIL, 4 cannot tell
    if (screen && !terminal_can_draw(&reason)) {
        if (settings.sweeps == 0)
            return refuse(reason + "; run with --sweeps N for a line of markers per sweep");
        screen = false; // a line of markers per sweep, as asked
    }

    port_error error;
    std::unique_ptr<port_link> link = open_link(std::getenv("TALVIK_PORT"), trace, &error);
    if (!link) {
        std::fprintf(stderr, "%s\n", error.text);
        return error.status;
    }
    using_link in_use(link.get());
    // Every way out after the port opened: the lines idle, the trace
    // written, what closing found told, and the run's status.
    auto finish = [&](int status) {
        status = link->finish(status, &error);
        if (error)
            std::fprintf(stderr, "%s\n", error.text);
        return status;
    };
    // Every wait is bounded and looks at the first stop: a second one must
    // not end the run before the terminal is given back.
    second_stop_ignored = 1;
    wait_check = poll_keys;
    converter_start();
    if (const port_error *failed = link_failure()) {
        std::fprintf(stderr, "%s\n", failed->text);
        return finish(failed->status);
    }

    std::vector<tune_point> current(words.size()), last;
    view_state view;
    view.settings = &settings;
    view.calibrated = calibrated;
    if (calibrated)
        view.message = calibration_summary(cal, cal_path);
    if (std::string slow = slow_band_note(words, 0); !slow.empty())
        view.message = slow;
    if (!reference_note.empty()) {
        view.message = reference_note;
        if (!screen)
            std::fprintf(stderr, "talvik-tune: %s\n", printable(reference_note).c_str());
    }
    grid cells;
    std::string shown_message;
    auto message_since = steady::now();
    if (!settings.mask.empty())
        view.mask = &mask;
    auto last_frame = steady::now() - frame;
    auto sweep_started = steady::now();
    long sweeps = 0;
    bool paused = false;
    bool output_failed = false;

    // Re-spanning: the band changes between sweeps, within what keys may
    // reach from the starting band, and no narrower than its points allow.
    const tune_settings home = settings;
    // The starting band's reference: --ref, or one taken or dropped there.
    std::vector<level_point> home_reference = reference;
    bool home_had_reference = have_reference;
    auto at_home = [&]() { return settings.start_hz == home.start_hz && settings.stop_hz == home.stop_hz; };
    const band_limits limits = limits_of(home);
    bool respan = false, max_hold = false;
    // The cursor starts at --centre (else the axis's middle); zooms are about
    // it once it is moved, and about --centre or the middle until then.
    view.cursor_hz = settings.centre_hz > 0 ? settings.centre_hz : band_middle(settings);
    bool cursor_moved = false;
    // A band a key asks for; where it is the band already, why it moved no further.
    auto set_band = [&](band b, const char *unchanged) {
        tune_settings wanted = settings;
        wanted.start_hz = b.start_hz;
        wanted.stop_hz = b.stop_hz;
        if (!(b.start_hz < b.stop_hz) || !words_rise(wanted)) {
            view.message = "the band is as narrow as its points allow";
            return;
        }
        if (b.start_hz == settings.start_hz && b.stop_hz == settings.stop_hz) {
            view.message = unchanged;
            return;
        }
        settings.start_hz = b.start_hz;
        settings.stop_hz = b.stop_hz;
        respan = true;
    };
    auto anchor = [&]() {
        if (cursor_moved)
            return view.cursor_hz;
        double centre = settings.centre_hz;
        return centre > settings.start_hz && centre < settings.stop_hz ? centre
                                                                         : band_middle(settings);
    };
    // The last sweep's levels as shown, and whether its marker is a notch.
    auto shown = [&]() {
        return against(last, have_reference ? &reference : nullptr);
    };
    // A dip is a notch whether or not the span shows its shoulders.
    auto notch = [&]() {
        std::vector<level_point> levels = shown();
        return !levels.empty() && find_markers(levels).shape == trace_shape::valley;
    };
    auto move_cursor = [&](long by) {
        size_t i = 0;
        double best = HUGE_VAL;
        for (size_t k = 0; k < words.size(); ++k)
            if (std::fabs(word_hz(words[k]) - view.cursor_hz) < best) {
                best = std::fabs(word_hz(words[k]) - view.cursor_hz);
                i = k;
            }
        long to = std::clamp(static_cast<long>(i) + by, 0L, static_cast<long>(words.size()) - 1);
        view.cursor_hz = word_hz(words[static_cast<size_t>(to)]);
        cursor_moved = true;
    };
    auto handle = [&](int key) {
        long tenth = std::max(1L, static_cast<long>(words.size()) / 10);
        const char *at_limit = "the band is at its limit: 30 MHz, or the low band's edge (62.5 kHz) "
                               "where the starting band is above it";
        if (key == '+' || key == '=')
            set_band(zoom_about(settings, anchor(), 0.5, limits), "the band is as narrow as its points allow");
        else if (key == '-')
            set_band(zoom_about(settings, anchor(), 2, limits),
                     "the band is as wide as keys take it: ten times the starting span at most, "
                     "within 30 MHz, and the low band only from a band that starts there");
        else if (key == '<' || key == ',')
            set_band(shifted(settings, -1, limits), at_limit);
        else if (key == '>' || key == '.')
            set_band(shifted(settings, 1, limits), at_limit);
        else if (key == 'c')
            set_band(centred_on(settings, view.cursor_hz, limits),
                     "the cursor is at the centre already, or the band against its limit");
        else if (key == 'h') {
            settings.start_hz = home.start_hz;
            settings.stop_hz = home.stop_hz;
            respan = true; // the starting reference comes back even on the starting band
            reference = home_reference;
            have_reference = home_had_reference;
        } else if (key == key_left || key == key_right)
            move_cursor(key == key_left ? -1 : 1);
        else if (key == key_far_left || key == key_far_right)
            move_cursor(key == key_far_left ? -tenth : tenth);
        else if (key == 'p' || key == 'n' || key == 'N') {
            std::vector<level_point> levels = shown();
            bool dip = notch();
            long at = key == 'p' ? extreme_point(levels, dip)
                                 : next_peak(levels, nearest_point(levels, view.cursor_hz),
                                             key == 'n' ? 1 : -1, dip);
            if (at >= 0) {
                view.cursor_hz = levels[static_cast<size_t>(at)].hz;
                cursor_moved = true;
            } else {
                view.message = levels.empty() ? "no sweep is complete yet"
                               : key == 'p'    ? "no level to find a peak in: every point overflowed"
                                               : std::string("no ") + (dip ? "dip" : "peak") +
                                                  (key == 'n' ? " to the right" : " to the left") +
                                                  " standing 1 dB out";
            }
        } else if (key == 'M') {
            std::vector<level_point> levels = shown();
            bool same = view.delta && !levels.empty() &&
                        nearest_point(levels, view.delta_hz) == nearest_point(levels, view.cursor_hz);
            view.delta = !same;
            view.delta_hz = view.cursor_hz;
            view.message = same ? "delta marker taken away" : "delta marker dropped at the cursor";
        } else if (key == 'd' || key == 'D') {
            // d the next finer of 1, 2, 5, 10, 20 dB a division, D the next coarser.
            double next = 0;
            for (double step : scale_steps)
                if (key == 'd' ? step < view.db_per_division - 1e-9
                               : step > view.db_per_division + 1e-9 && next == 0)
                    next = step;
            if (next == 0) {
                view.message = key == 'd' ? "1 dB/div is the finest scale" : "20 dB/div is the coarsest scale";
            } else {
                view.auto_scale = false;
                view_set_scale(&view, view.level_high, next);
            }
        } else if (key == '[' || key == ']') {
            view.auto_scale = false;
            view_set_scale(&view, view.level_high + (key == ']' ? 1 : -1) * view.db_per_division,
                           view.db_per_division);
        } else if (key == 'a') {
            view.auto_scale = true;
        } else if (key == 'm') {
            max_hold = !max_hold;
            view.max_hold.clear();
            view.message = max_hold ? "max-hold on" : "max-hold off";
        }
        if (key == 'q' || key == 'Q')
            quit = true;
        else if (key == ' ')
            paused = !paused;
        else if (key == 'r' && !last.empty()) {
            reference = raw(last);
            have_reference = true;
            view.message = "reference: the last sweep";
            if (at_home()) {
                home_reference = reference;
                home_had_reference = true;
            }
        } else if (key == 'R') {
            have_reference = false;
            view.message = "reference dropped";
            if (at_home())
                home_had_reference = false;
        } else if (key == 's') {
            if (last.empty()) {
                view.message = "nothing to save yet: no sweep is complete";
            } else {
                std::string name = settings.save.empty() ? default_save_name() : settings.save;
                std::string saved;
                view.message = save_sweep_new(name, last, &saved, &reason) ? "saved " + saved
                                                                           : "cannot save: " + reason;
            }
        }
        return key != -1;
    };
    auto handle_held = [&]() {
        for (int i = 0; i < held_count; ++i)
            handle(held_keys[i]);
        held_count = 0;
    };
    auto draw = [&](size_t measured) {
        const std::vector<level_point> *ref = have_reference ? &reference : nullptr;
        view.current = against(
            std::vector<tune_point>(current.begin(), current.begin() + static_cast<long>(measured)),
            ref);
        view.current_timed_out.assign(measured, false);
        for (size_t i = 0; i < measured; ++i)
            view.current_timed_out[i] = current[i].timed_out;
        view.last = against(last, ref);
        view.last_timed_out.assign(last.size(), false);
        for (size_t i = 0; i < last.size(); ++i)
            view.last_timed_out[i] = last[i].timed_out;
        view.against_reference = have_reference;
        view.paused = paused;
        view.sweeps = sweeps;
        // A message stays four seconds, then gives its line back (to the
        // mask's verdict, or the legend).
        if (view.message != shown_message) {
            shown_message = view.message;
            message_since = steady::now();
        } else if (!view.message.empty() && steady::now() - message_since > std::chrono::seconds(4)) {
            view.message.clear();
            shown_message.clear();
        }
        int rows = 0, cols = 0;
        screen_size(&rows, &cols);
        view_render(view, &cells, rows, cols);
        screen_show(cells);
        last_frame = steady::now();
    };
    auto stopping = [&]() { return quit || stop_signal; };
    screen_guard screen_up; // the terminal is given back on every way out
    if (screen && !stop_signal) {
        if (!screen_start(&reason)) {
            wait_check = nullptr;
            std::fprintf(stderr, "talvik-tune: %s\n", printable(reason).c_str());
            return finish(status_usage);
        }
        keys_up = true;
        draw(0); // the axes and status at once: a first point may take long
    }

    while (!stopping() && (settings.sweeps == 0 || sweeps < settings.sweeps)) {
        // Points come in order (streamed ahead where the port can); a point
        // cut short by a quit is no reading, and the sweep is dropped.
        if (respan) {
            // A new band: its words, an empty screen, and a reference only
            // where it still covers the band.
            respan = false;
            // The cursor stays within the band it reads.
            view.cursor_hz = std::clamp(view.cursor_hz, settings.start_hz, settings.stop_hz);
            double seconds_a_point =
                view.sweeps_per_second > 0 ? 1 / (view.sweeps_per_second * words.size()) : 0;
            words = sweep_words(settings);
            current.assign(words.size(), tune_point());
            last.clear();
            view.max_hold.clear();
            view.marks.clear();
            view.message = "";
            sweep_started = steady::now(); // the sweeps a second of this band only
            std::string note;
            if (have_reference && !reference_covers(reference, words, "the reference", &reason, &note)) {
                have_reference = false;
                view.message = std::string("reference dropped: it does not cover the new band") +
                               (home_had_reference ? " (h brings it back)" : "");
            }
            if (!note.empty())
                view.message = note;
            if (std::string slow = slow_band_note(words, seconds_a_point); !slow.empty())
                view.message = slow;
            draw(0);
        }
        stream_tune_sweep(words, current, settings.average, [&](size_t i) {
            if (!screen)
                return !stopping();
            handle_held();
            while (handle(screen_key(0))) {
            }
            while (paused && !stopping() && !respan) {
                draw(i + 1);
                handle(screen_key(100));
            }
            if (steady::now() - last_frame >= frame)
                draw(i + 1);
            return !stopping() && !respan;
        });
        if (stopping() || link_failure())
            break;
        if (respan)
            continue; // the sweep in progress belongs to the old band
        last = current;
        ++sweeps;
        auto now = steady::now();
        view.sweeps_per_second = 1.0 / std::chrono::duration<double>(now - sweep_started).count();
        sweep_started = now;
        const std::vector<level_point> *ref = have_reference ? &reference : nullptr;
        const char *unit = have_reference ? "dB" : "dBm";
        if (screen) {
            std::vector<level_point> levels = against(last, ref);
            view_fit_levels(&view, levels);
            view.markers = marker_summary(levels, unit, 1, 2, have_reference);
            // The markers on the curve, and the max-hold trace.
            view.marks = curve_marks(levels, have_reference);
            if (view.mask)
                view.mask_verdict = tune_mask_verdict(mask, levels, have_reference);
            if (max_hold) {
                if (view.max_hold.size() != levels.size())
                    view.max_hold = levels;
                for (size_t k = 0; k < levels.size(); ++k)
                    view.max_hold[k].level = std::max(view.max_hold[k].level, levels[k].level);
            }
            if (steady::now() - last_frame >= frame)
                draw(0);
        } else {
            std::vector<level_point> levels = against(last, ref);
            std::string verdict =
                settings.mask.empty() ? "" : "; " + tune_mask_verdict(mask, levels, have_reference);
            last_verdict = verdict.rfind("; mask FAIL", 0) == 0           ? 3
                           : verdict.rfind("; mask cannot tell", 0) == 0 ? 4
                                                                          : 0;
            std::printf("sweep %ld: %s%s\n", sweeps,
                        marker_summary(levels, unit, 0, 99, have_reference).c_str(), verdict.c_str());
            if (!flush_output()) {
                output_failed = true;
                break;
            }
        }
    }
    wait_check = nullptr;
    keys_up = false;
    // The terminal first, so that every message below is seen.
    if (screen)
        screen_stop();
    int status = 0;
    if (const port_error *failed = link_failure()) {
        // A lost port (or a trace that cannot be written) ends the run at once.
        std::fprintf(stderr, "%s\n", failed->text);
        status = failed->status;
    } else if (!screen && !settings.save.empty() && !last.empty()) {
        std::string saved;
        if (!save_sweep_new(settings.save, last, &saved, &reason))
            status = fail("cannot save: " + reason);
        else if (saved != settings.save)
            std::fprintf(stderr, "talvik-tune: %s is taken: saved %s\n",
                         printable(settings.save).c_str(), printable(saved).c_str());
    }
    if (status == 0 && output_failed)
        status = status_failed;
    if (status == 0)
        status = last_verdict;
    status = finish(status);
    // Control-C is the quit key; other stop signals end the run as they would.
    if (stop_signal && stop_signal != SIGINT) {
        std::fflush(stdout);
        die_by_signal(stop_signal);
    }
    return status;
}

} // namespace

int main(int argc, char **argv) {
    try {
        return tune_main(argc, argv);
    } catch (const std::bad_alloc &) {
        // The screen is given back at exit, then the held messages shown.
        wait_check = nullptr;
        keys_up = false;
        return fail("out of memory");
    }
}
