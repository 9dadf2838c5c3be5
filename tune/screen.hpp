// The terminal talvik-tune draws on: ncurses on POSIX (screen_curses.cpp),
// the console API on Windows (screen_win32.cpp). Both present a grid of
// cells at once and read keys without echo; both give the terminal back as
// they found it on every way out.
#pragma once
#include "tune/grid.hpp"

#include <string>

// Keys that are not characters, as both screens report them.
enum screen_key_code : int {
    key_left = 0x1000,
    key_right,
    key_far_left,  // Shift-Left or Page Down
    key_far_right, // Shift-Right or Page Up
    key_resize,
};

// Whether standard output is a terminal that can show the screen; false
// with the reason.
bool terminal_can_draw(std::string *why);

// Takes the terminal. Standard error is held back while the screen is up
// and shown once it is gone, so that a message from a run that ends is not
// lost. False with the reason when the terminal cannot show it.
bool screen_start(std::string *reason);
// Gives the terminal back and shows what standard error held; safe to call
// twice and where screen_start failed.
void screen_stop();
// The terminal's size now.
void screen_size(int *rows, int *cols);
// Shows the grid (sized by screen_size) in one write.
void screen_show(const grid &g);
// The next key, waiting at most wait_ms (0: not at all); -1 when none.
int screen_key(int wait_ms);

// Gives the terminal back when its scope ends, on every way out of a run.
struct screen_guard {
    screen_guard() = default;
    ~screen_guard() { screen_stop(); }
    screen_guard(const screen_guard &) = delete;
    screen_guard &operator=(const screen_guard &) = delete;
};
