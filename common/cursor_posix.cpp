#include "common/console.hpp"

#include <cstdio>
#include <unistd.h>

namespace {
int terminal = -1; // unknown until first asked
}

bool console_is_terminal() {
    if (terminal < 0)
        terminal = isatty(STDOUT_FILENO) ? 1 : 0;
    return terminal == 1;
}

void console_start() {
    if (console_is_terminal())
        setvbuf(stdout, nullptr, _IONBF, 0);
}

void set_cursor(int column, int row) {
    if (!console_is_terminal())
        return;
    // VT100 cursor position: row first, both 1-based.
    std::printf("\033[%d;%dH", row, column);
}
