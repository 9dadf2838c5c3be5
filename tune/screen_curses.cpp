// The screen on a POSIX terminal, through ncurses.
#include "tune/screen.hpp"

#include <cstdio>
#include <curses.h>
#include <unistd.h>

namespace {

bool up = false;
SCREEN *terminal = nullptr;
std::FILE *held_errors = nullptr;
int saved_stderr = -1;

chtype attributes(tone t) {
    bool colour = has_colors();
    switch (t) {
    case tone::dim:
        return A_DIM;
    case tone::bold:
        return A_BOLD;
    case tone::last:
        return colour ? COLOR_PAIR(1) : A_NORMAL;
    case tone::live:
        return A_BOLD | (colour ? COLOR_PAIR(2) : A_NORMAL);
    case tone::hold:
        return A_NORMAL;
    case tone::mark:
        return A_BOLD | A_REVERSE;
    case tone::cursor:
        return A_BOLD | A_REVERSE | (colour ? COLOR_PAIR(2) : A_NORMAL);
    case tone::alarm:
        return A_BOLD | (colour ? COLOR_PAIR(3) : A_NORMAL);
    case tone::plain:
        break;
    }
    return A_NORMAL;
}

} // namespace

bool screen_start(std::string *reason) {
    std::fflush(stderr);
    held_errors = std::tmpfile();
    if (held_errors) {
        saved_stderr = dup(2);
        dup2(fileno(held_errors), 2);
    }
    terminal = newterm(nullptr, stdout, stdin);
    if (!terminal) {
        screen_stop();
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

void screen_stop() {
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

void screen_size(int *rows, int *cols) {
    *rows = LINES;
    *cols = COLS;
}

void screen_show(const grid &g) {
    erase();
    for (int r = 0; r < g.rows && r < LINES; ++r)
        for (int c = 0; c < g.cols && c < COLS; ++c) {
            const cell &x = g.at(r, c);
            if (x.c != ' ' || x.t != tone::plain)
                mvaddch(r, c, static_cast<chtype>(static_cast<unsigned char>(x.c)) | attributes(x.t));
        }
    refresh();
}

int screen_key(int wait_ms) {
    timeout(wait_ms);
    int key = getch();
    switch (key) {
    case ERR:
        return -1;
    case KEY_LEFT:
        return key_left;
    case KEY_RIGHT:
        return key_right;
    case KEY_SLEFT:
    case KEY_NPAGE:
        return key_far_left;
    case KEY_SRIGHT:
    case KEY_PPAGE:
        return key_far_right;
    case KEY_RESIZE:
        return key_resize;
    default:
        return key < 0x100 ? key : -1; // other function keys mean nothing here
    }
}
