#include "tune/view.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <curses.h>
#include <unistd.h>

namespace {

bool up = false;
SCREEN *terminal = nullptr;
std::FILE *held_errors = nullptr;
int saved_stderr = -1;

std::string text_of(const char *format, double a, double b = 0) {
    char text[128];
    std::snprintf(text, sizeof text, format, a, b);
    return text;
}

// A frequency in the band's unit with the decimals that tell two points
// `resolution` apart, trailing zeros dropped: "8.999999", "10".
std::string frequency_text(double value, double resolution) {
    // Enough for the span's steps, and six significant digits of the value.
    int by_span = static_cast<int>(std::ceil(-std::log10(resolution))) + 1;
    int by_value = value > 0 ? 5 - static_cast<int>(std::floor(std::log10(value))) : 0;
    int decimals = std::clamp(std::max(by_span, by_value), 0, 9);
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    std::string out = text;
    if (out.find('.') != std::string::npos) {
        out.erase(out.find_last_not_of('0') + 1);
        if (out.back() == '.')
            out.pop_back();
    }
    return out;
}

// Frequency to a column of the plot, and back.
struct axis {
    double lo, hi;
    bool log;
    int left, width;
    double x(double hz) const { return log ? std::log(hz) : hz; }
    int column(double hz) const {
        double t = (x(hz) - x(lo)) / (x(hi) - x(lo));
        return left + static_cast<int>(std::lround(t * (width - 1)));
    }
    double hz_at(int column) const {
        double t = static_cast<double>(column - left) / (width - 1);
        double v = x(lo) + t * (x(hi) - x(lo));
        return log ? std::exp(v) : v;
    }
};

void put(int row, int column, const std::string &text, int limit) {
    if (row < 0 || row >= LINES || column >= COLS)
        return;
    mvaddnstr(row, column, text.c_str(), std::max(0, std::min(limit, COLS - column)));
}

void plot_points(const std::vector<level_point> &points, const std::vector<bool> &timed_out,
                 chtype mark, const axis &a, int top, int rows, double lo, double hi) {
    for (size_t i = 0; i < points.size(); ++i) {
        const auto &p = points[i];
        if (p.hz < a.lo || p.hz > a.hi)
            continue; // from before a re-span
        double t = (hi - p.level) / (hi - lo);
        int row = top + static_cast<int>(std::lround(std::clamp(t, 0.0, 1.0) * (rows - 1)));
        chtype c = mark;
        if (i < timed_out.size() && timed_out[i])
            c = '?';
        else if (p.overflow)
            c = 'O';
        mvaddch(row, a.column(p.hz), c);
    }
}

} // namespace

bool view_start(std::FILE *out, std::string *reason) {
    std::fflush(stderr);
    held_errors = std::tmpfile();
    if (held_errors) {
        saved_stderr = dup(2);
        dup2(fileno(held_errors), 2);
    }
    terminal = newterm(nullptr, out ? out : stdout, stdin);
    if (!terminal) {
        view_stop();
        *reason = "this terminal cannot show the screen (TERM?)";
        return false;
    }
    set_term(terminal);
    up = true;
    cbreak(); // Control-C stays a signal
    noecho();
    keypad(stdscr, TRUE);
    curs_set(0);
    if (has_colors()) {
        start_color();
        use_default_colors();
        init_pair(1, COLOR_CYAN, -1);
        init_pair(2, COLOR_YELLOW, -1);
        init_pair(3, COLOR_RED, -1);
    }
    return true;
}

void view_stop() {
    if (up) {
        endwin();
        delscreen(terminal);
        terminal = nullptr;
        up = false;
    }
    if (held_errors) {
        std::fflush(stderr);
        dup2(saved_stderr, 2);
        close(saved_stderr);
        std::rewind(held_errors);
        char chunk[4096];
        size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, held_errors)) > 0)
            (void)!write(2, chunk, n);
        std::fclose(held_errors);
        held_errors = nullptr;
    }
}

int view_key(int wait_ms) {
    timeout(wait_ms);
    int key = getch();
    return key == ERR ? -1 : key;
}

const char view_keys[] = "q quit  space pause  r/R ref on/off  s save  +/- zoom  </> move  "
                        "h home  d dB/div  [/] level  a auto  m max-hold";

void view_set_scale(view_state *state, double top, double db_per_division) {
    state->db_per_division = db_per_division;
    state->level_high = top;
    state->level_low = top - 5 * db_per_division;
}

void view_fit_levels(view_state *state, const std::vector<level_point> &points) {
    if (points.empty() || !state->auto_scale)
        return;
    double lo = points[0].level, hi = points[0].level;
    for (const auto &p : points) {
        lo = std::min(lo, p.level);
        hi = std::max(hi, p.level);
    }
    // Round divisions that hold the points: 1, 2, 5, 10 or 20 dB each.
    double top = 0;
    for (double step : {1.0, 2.0, 5.0, 10.0, 20.0, 50.0}) {
        top = std::ceil((hi + 0.5) / step) * step;
        state->db_per_division = step;
        if (top - 5 * step <= lo - 0.5)
            break;
    }
    view_set_scale(state, top, state->db_per_division);
}

void view_draw(const view_state &s) {
    erase();
    const tune_settings &set = *s.settings;
    const char *unit = s.against_reference ? "dB" : "dBm";
    double scale = set.stop_hz >= 1e6 ? 1e6 : set.stop_hz >= 1e3 ? 1e3 : 1;
    const char *scale_name = scale == 1e6 ? "MHz" : scale == 1e3 ? "kHz" : "Hz";
    double span = (set.stop_hz - set.start_hz) / scale;
    std::string status = frequency_text(set.start_hz / scale, span) + " to " +
                         frequency_text(set.stop_hz / scale, span) + " " + scale_name + ", " +
                         std::to_string(set.points) + " points " + (set.linear ? "linear" : "log") +
                         " | sweep " + std::to_string(s.sweeps) + ", " +
                         text_of("%.1f sweeps/s", s.sweeps_per_second) + " | " + unit +
                         (s.against_reference ? " vs ref" : "") + (s.calibrated ? " | calibrated" : "") +
                         (s.paused ? " | PAUSED" : "");
    attron(A_BOLD);
    put(0, 0, status, COLS);
    attroff(A_BOLD);
    // The markers on two lines, broken after a comma.
    size_t split = s.markers.size();
    if (static_cast<int>(split) > COLS) {
        split = s.markers.rfind(", ", static_cast<size_t>(COLS) - 1);
        split = split == std::string::npos ? static_cast<size_t>(COLS) : split + 2;
    }
    put(1, 0, s.markers.substr(0, split), COLS);
    put(2, 0, s.markers.substr(split), COLS);

    int top = 3, bottom = LINES - 5, left = 8;
    int rows = bottom - top + 1, width = COLS - left - 1;
    if (rows >= 3 && width >= 10) {
        axis a{set.start_hz, set.stop_hz, !set.linear, left, width};
        double lo = s.level_low, hi = s.level_high;
        // A gridline and a label at every division.
        double level_step = s.db_per_division > 0 ? s.db_per_division : 10;
        attron(A_DIM);
        for (double level = hi; level >= lo - 1e-9; level -= level_step) {
            int row = top + static_cast<int>(std::lround((hi - level) / (hi - lo) * (rows - 1)));
            mvhline(row, left, '-', width);
            put(row, 0, text_of(level_step < 1 ? "%6.1f" : "%6.0f", level), 6);
        }
        attroff(A_DIM);
        // Plain characters: they look the same on every terminal and over SSH.
        for (int r = top; r <= bottom; ++r)
            mvaddch(r, left - 1, '|');
        mvhline(bottom + 1, left, '-', width);
        mvaddch(bottom + 1, left - 1, '+');
        // Frequency labels, in the unit of the band's top.
        int tics = std::max(2, width / 16);
        double step = (set.stop_hz - set.start_hz) / scale / (tics - 1);
        int decimals = std::clamp(static_cast<int>(std::ceil(-std::log10(step))) + 1, 0, 9);
        for (int k = 0; k < tics; ++k) {
            int column = left + (width - 1) * k / (tics - 1);
            char label[48];
            std::snprintf(label, sizeof label, "%.*f", decimals, a.hz_at(column) / scale);
            int at = k == tics - 1 ? column - static_cast<int>(std::strlen(label)) + 1
                     : k == 0      ? column
                                   : column - static_cast<int>(std::strlen(label)) / 2;
            mvaddch(bottom + 1, column, '+');
            put(bottom + 2, at, label, COLS);
            attron(A_DIM);
            for (int r = top; r <= bottom; ++r)
                if (k > 0 && k < tics - 1)
                    mvaddch(r, column, ':');
            attroff(A_DIM);
        }
        put(bottom + 2, 0, scale_name, 7);
        // The last complete sweep, then the one in progress over it.
        if (has_colors())
            attron(COLOR_PAIR(1));
        plot_points(s.last, s.last_timed_out, '.', a, top, rows, lo, hi);
        if (has_colors())
            attroff(COLOR_PAIR(1)), attron(COLOR_PAIR(2) | A_BOLD);
        else
            attron(A_BOLD);
        plot_points(s.current, s.current_timed_out, '*', a, top, rows, lo, hi);
        attroff(A_BOLD | (has_colors() ? COLOR_PAIR(2) : 0));
        // The max-hold trace, then the markers on top of everything.
        plot_points(s.max_hold, {}, '^', a, top, rows, lo, hi);
        attron(A_BOLD | A_REVERSE);
        for (const auto &m : s.marks) {
            if (m.hz < set.start_hz || m.hz > set.stop_hz)
                continue;
            double t = std::clamp((hi - m.level) / (hi - lo), 0.0, 1.0);
            mvaddch(top + static_cast<int>(std::lround(t * (rows - 1))), a.column(m.hz),
                    static_cast<chtype>(m.c));
        }
        attroff(A_BOLD | A_REVERSE);
    }
    put(LINES - 2, 0, s.message.empty() ? "* now  . last  ^ max-hold  O overflow  ? late  P peak  N notch  | -3 dB"
                                        : s.message,
        COLS);
    put(LINES - 1, 0, view_keys, COLS);
    refresh();
}

std::vector<view_state::mark> curve_marks(const std::vector<level_point> &points, bool normalised) {
    std::vector<view_state::mark> marks;
    if (points.empty())
        return marks;
    marker_settings settings;
    settings.normalised = normalised;
    filter_markers m = find_markers(points, settings);
    if (!m.levels || m.basis == level_basis::none)
        return marks; // as the lines: nothing measured, nothing marked
    if (m.shape == trace_shape::valley)
        marks.push_back({m.notch_hz, m.notch_level, 'N'});
    else
        marks.push_back({m.peak_hz, m.peak_level, 'P'});
    if (!m.drops.empty())
        for (const crossing *c : {&m.lower[0], &m.upper[0]})
            if (edge_known(*c))
                marks.push_back({c->hz, m.reference - m.drops[0], '|'});
    return marks;
}
