#include "tune/grid.hpp"

#include <algorithm>

void grid::reset(int r, int c) {
    rows = std::max(0, r);
    cols = std::max(0, c);
    cells.assign(static_cast<size_t>(rows) * static_cast<size_t>(cols), cell());
}

void grid::set(int row, int column, char c, tone t) {
    if (row < 0 || row >= rows || column < 0 || column >= cols)
        return;
    // Only printable ASCII reaches a terminal from here.
    cells[static_cast<size_t>(row) * static_cast<size_t>(cols) + static_cast<size_t>(column)] = {
        c >= ' ' && c < 127 ? c : '?', t};
}

void grid::put(int row, int column, const std::string &text, tone t, int limit) {
    int n = static_cast<int>(std::min<size_t>(text.size(), static_cast<size_t>(std::max(0, limit))));
    for (int i = 0; i < n; ++i)
        set(row, column + i, text[static_cast<size_t>(i)], t);
}

std::string grid::row_text(int row) const {
    std::string text;
    if (row < 0 || row >= rows)
        return text;
    for (int c = 0; c < cols; ++c)
        text += at(row, c).c;
    return text;
}
