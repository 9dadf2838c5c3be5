// The live view of talvik-tune, drawn into a grid of cells (grid.hpp): a
// plot of level against frequency that fills the terminal, a status line,
// the markers, the scale and the cursor's readout, a line for messages and
// one for keys. A screen (screen.hpp) presents the grid.
#pragma once
#include "markers/mask.hpp"
#include "tune/grid.hpp"
#include "tune/tune.hpp"

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
    // The cursor, at the last sweep's point nearest cursor_hz; the delta
    // marker, where one was dropped.
    double cursor_hz = 0;
    bool delta = false;
    double delta_hz = 0;
    // A limit mask drawn on the plot (none where null), and its verdict on
    // the last sweep in words.
    const limit_mask *mask = nullptr;
    std::string mask_verdict;
};

// The mask's verdict on a sweep's levels in a line: "mask PASS, worst
// margin ...", "mask FAIL: ...", or why it is not checked (a dB mask without
// a reference, a dBm mask against one).
std::string tune_mask_verdict(const limit_mask &mask, const std::vector<level_point> &levels,
                              bool against_reference);

// The markers drawn on the curve: the peak (P) or notch (N) and the first
// drop's edges (|), only where they are measured from a known level.
std::vector<view_state::mark> curve_marks(const std::vector<level_point> &points, bool normalised);

// The keys, as the screen lists them.
extern const char view_keys[];

// The dB a division the scale steps through (d smaller, D larger).
extern const double scale_steps[5];

// Sets the level scale from the top level and dB a division.
void view_set_scale(view_state *state, double top, double db_per_division);

// A level range for the plot that holds the points, in round divisions.
void view_fit_levels(view_state *state, const std::vector<level_point> &points);

// The cursor's readout: its frequency and level (and loss, against a
// reference), and the delta from the dropped marker; what cannot be read is
// said.
std::string cursor_readout(const view_state &state);

// Round frequencies for the axis between lo and hi (1, 2 and 5 steps, or
// decades on a log axis), as many as fit `columns` with their labels apart;
// each labelled in `unit` hertz with the decimals its step needs.
struct tick {
    double hz;
    std::string label;
};
std::vector<tick> round_ticks(double lo, double hi, bool log, int columns, double unit);

// Draws the view into g (rows by cols).
void view_render(const view_state &state, grid *g, int rows, int cols);
