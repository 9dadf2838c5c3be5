// The live screen of talvik-tune (ncurses): a plot of level against
// frequency that fills the terminal, a status line, a marker line and a line
// for keys and messages.
#pragma once
#include "tune/tune.hpp"

#include <cstdio>
#include <string>
#include <vector>

struct view_state {
    const tune_settings *settings = nullptr;
    std::vector<level_point> current; // the sweep in progress, as far as measured
    std::vector<bool> current_timed_out;
    std::vector<level_point> last; // the last complete sweep
    std::vector<bool> last_timed_out;
    bool against_reference = false; // levels are dB against a reference
    bool calibrated = false;        // a calibration is in force
    long sweeps = 0;
    double sweeps_per_second = 0;
    bool paused = false;
    std::string markers;
    std::string message;
    double level_low = -80, level_high = 10;
    // The level scale: dB a division (a division is a fifth of the plot's
    // height), set by keys; auto fits it to each sweep.
    bool auto_scale = true;
    double db_per_division = 10;
    // The markers drawn on the curve: where, and the character.
    struct mark {
        double hz, level;
        char c;
    };
    std::vector<mark> marks;
    std::vector<level_point> max_hold; // empty: off
};

// The markers drawn on the curve: the peak (P) or notch (N) and the first
// drop's edges (|), only where they are measured from a known level.
std::vector<view_state::mark> curve_marks(const std::vector<level_point> &points, bool normalised);

// The keys, as the screen lists them.
extern const char view_keys[];

// Sets the level scale from the top level and dB a division.
void view_set_scale(view_state *state, double top, double db_per_division);

// Whether the terminal on standard output can move the cursor, as the screen
// needs; false with the reason.
bool terminal_can_draw(std::string *why);

// Takes the terminal (out, or standard output when null). Standard error is
// held back while the screen is up and shown once it is gone, so that a
// message from a run that ends is not lost. False with the reason when the
// terminal cannot show it.
bool view_start(std::FILE *out, std::string *reason);
// Gives the terminal back; safe to call twice.
void view_stop();
// Gives it back when its scope ends, on every way out of a run.
struct view_guard {
    view_guard() = default;
    ~view_guard() { view_stop(); }
    view_guard(const view_guard &) = delete;
    view_guard &operator=(const view_guard &) = delete;
};
void view_draw(const view_state &state);
// The next key, waiting at most wait_ms (0: not at all); -1 when none.
int view_key(int wait_ms);

// A level range for the plot that holds the points, in whole 10 dB.
void view_fit_levels(view_state *state, const std::vector<level_point> &points);
