// A screen's worth of character cells. The view draws into it and a screen
// (screen.hpp) presents it, so that what is drawn is the same on every
// platform and a test can read it back.
#pragma once
#include <string>
#include <vector>

// How a cell is shown; each screen maps these to what its terminal has.
enum class tone : unsigned char {
    plain,
    dim,    // grid lines and their labels
    bold,   // the status line
    last,   // the last complete sweep
    live,   // the sweep in progress
    hold,   // the max-hold trace
    mark,   // markers on the curve
    cursor, // the cursor and the delta marker
    alarm,  // what is clipped or cannot be read
};

struct cell {
    char c = ' ';
    tone t = tone::plain;
};

struct grid {
    int rows = 0, cols = 0;
    std::vector<cell> cells;

    // Blank, rows by cols; the cells kept where the size is the same.
    void reset(int rows, int cols);
    // One cell; nothing outside the grid.
    void set(int row, int column, char c, tone t = tone::plain);
    // Text from (row, column), at most limit characters, cut at the edge.
    void put(int row, int column, const std::string &text, tone t = tone::plain,
             int limit = 1 << 30);
    const cell &at(int row, int column) const {
        return cells[static_cast<size_t>(row) * static_cast<size_t>(cols) +
                     static_cast<size_t>(column)];
    }
    // A row's characters, trailing blanks kept.
    std::string row_text(int row) const;
};
